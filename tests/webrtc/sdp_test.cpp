// SDP: a WHEP offer as Chromium writes it, our answer to it, and the offers we refuse.
#include "webrtc/sdp.h"

#include <gtest/gtest.h>

#include <string>

using namespace morlanex::webrtc;

namespace {

std::string chromiumOffer() {
    const std::string credentials = "a=ice-ufrag:EsAw\r\n"
                                    "a=ice-pwd:bP+XJMM09aR8AiX1jdukzR6Y\r\n"
                                    "a=ice-options:trickle\r\n"
                                    "a=fingerprint:sha-256 4F:0A:7B:22:91:C3:5E:D8:12:6A:B0:9E:33:C7:48:F1:0D:A2:65:"
                                    "B9:7C:14:E0:5F:A8:3D:91:26:CB:70:E4:19\r\n"
                                    "a=setup:actpass\r\n";
    return "v=0\r\n"
           "o=- 4215775240449105457 2 IN IP4 127.0.0.1\r\n"
           "s=-\r\n"
           "t=0 0\r\n"
           "a=group:BUNDLE 0 1 2\r\n"
           "a=extmap-allow-mixed\r\n"
           "a=msid-semantic: WMS\r\n"
           "m=audio 9 UDP/TLS/RTP/SAVPF 111 63 9 0 8 13 110 126\r\n"
           "c=IN IP4 0.0.0.0\r\n"
           "a=rtcp:9 IN IP4 0.0.0.0\r\n" +
        credentials +
        "a=mid:0\r\n"
        "a=extmap:1 urn:ietf:params:rtp-hdrext:ssrc-audio-level\r\n"
        "a=extmap:2 http://www.webrtc.org/experiments/rtp-hdrext/abs-send-time\r\n"
        "a=extmap:3 http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01\r\n"
        "a=extmap:4 urn:ietf:params:rtp-hdrext:sdes:mid\r\n"
        "a=recvonly\r\n"
        "a=rtcp-mux\r\n"
        "a=rtpmap:111 opus/48000/2\r\n"
        "a=rtcp-fb:111 transport-cc\r\n"
        "a=fmtp:111 minptime=10;useinbandfec=1\r\n"
        "a=rtpmap:63 red/48000/2\r\n"
        "a=fmtp:63 111/111\r\n"
        "a=rtpmap:9 G722/8000\r\n"
        "a=rtpmap:0 PCMU/8000\r\n"
        "a=rtpmap:8 PCMA/8000\r\n"
        "a=rtpmap:13 CN/8000\r\n"
        "a=rtpmap:110 telephone-event/48000\r\n"
        "a=rtpmap:126 telephone-event/8000\r\n"
        "m=video 9 UDP/TLS/RTP/SAVPF 96 97 102 103 45 46 98 99\r\n"
        "c=IN IP4 0.0.0.0\r\n"
        "a=rtcp:9 IN IP4 0.0.0.0\r\n" +
        credentials +
        "a=mid:1\r\n"
        "a=extmap:14 urn:ietf:params:rtp-hdrext:toffset\r\n"
        "a=extmap:2 http://www.webrtc.org/experiments/rtp-hdrext/abs-send-time\r\n"
        "a=extmap:13 urn:3gpp:video-orientation\r\n"
        "a=extmap:3 http://www.ietf.org/id/draft-holmer-rmcat-transport-wide-cc-extensions-01\r\n"
        "a=extmap:4 urn:ietf:params:rtp-hdrext:sdes:mid\r\n"
        "a=recvonly\r\n"
        "a=rtcp-mux\r\n"
        "a=rtcp-rsize\r\n"
        "a=rtpmap:96 VP8/90000\r\n"
        "a=rtcp-fb:96 goog-remb\r\n"
        "a=rtcp-fb:96 transport-cc\r\n"
        "a=rtcp-fb:96 ccm fir\r\n"
        "a=rtcp-fb:96 nack\r\n"
        "a=rtcp-fb:96 nack pli\r\n"
        "a=rtpmap:97 rtx/90000\r\n"
        "a=fmtp:97 apt=96\r\n"
        "a=rtpmap:102 H264/90000\r\n"
        "a=rtcp-fb:102 nack pli\r\n"
        "a=fmtp:102 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42001f\r\n"
        "a=rtpmap:103 rtx/90000\r\n"
        "a=fmtp:103 apt=102\r\n"
        "a=rtpmap:45 AV1/90000\r\n"
        "a=rtpmap:46 rtx/90000\r\n"
        "a=fmtp:46 apt=45\r\n"
        "a=rtpmap:98 VP9/90000\r\n"
        "a=fmtp:98 profile-id=0\r\n"
        "a=rtpmap:99 rtx/90000\r\n"
        "a=fmtp:99 apt=98\r\n"
        "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"
        "c=IN IP4 0.0.0.0\r\n" +
        credentials +
        "a=mid:2\r\n"
        "a=sctp-port:5000\r\n"
        "a=max-message-size:262144\r\n";
}

// The text without every line that starts with `prefix`.
std::string without(std::string text, std::string_view prefix) {
    for (auto at = text.find(prefix); at != std::string::npos; at = text.find(prefix))
        text.erase(at, text.find("\r\n", at) + 2 - at);
    return text;
}

}  // namespace

TEST(Sdp, ReadsAChromiumWhepOffer) {
    auto offer = parseOffer(chromiumOffer());
    ASSERT_TRUE(offer) << offer.error().reason;
    EXPECT_EQ(offer->iceUfrag, "EsAw");
    EXPECT_EQ(offer->icePassword, "bP+XJMM09aR8AiX1jdukzR6Y");
    EXPECT_EQ(offer->fingerprintAlgorithm, "sha-256");
    EXPECT_EQ(offer->fingerprint.substr(0, 5), "4F:0A");
    EXPECT_EQ(offer->setup, "actpass");
    EXPECT_EQ(offer->bundle, (std::vector<std::string>{"0", "1", "2"}));
    ASSERT_EQ(offer->media.size(), 3u);

    const OfferedMedia *audio = offer->audio();
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->mid, "0");
    EXPECT_EQ(audio->payloadType, 111);
    EXPECT_EQ(audio->fmtp, "minptime=10;useinbandfec=1");
    EXPECT_EQ(audio->feedback, (std::vector<std::string>{"transport-cc"}));

    const OfferedMedia *video = offer->video();
    ASSERT_TRUE(video);
    EXPECT_EQ(video->mid, "1");
    EXPECT_EQ(video->payloadType, 96);
    EXPECT_EQ(video->rtpmap, "VP8/90000");
    EXPECT_EQ(video->feedback.size(), 5u);
    EXPECT_FALSE(offer->media[2].usable());
}

TEST(Sdp, AnswersWithIceLiteDtlsPassiveAndTheOffersPayloadTypes) {
    auto offer = parseOffer(chromiumOffer());
    ASSERT_TRUE(offer);
    const AnswerParameters p{
        "ufrag123", "password-of-24-characters", "AA:BB", "192.0.2.10", 40000, 1111, 2222, "morlanex", 42, {}, 0};
    const std::string answer = buildAnswer(*offer, p);
    const std::string_view expectedLines[] = {
        "v=0\r\no=- 42 2 IN IP4 127.0.0.1\r\n",
        "a=group:BUNDLE 0 1\r\n",
        "a=ice-lite\r\n",
        "m=audio 40000 UDP/TLS/RTP/SAVPF 111\r\n",
        "a=rtpmap:111 opus/48000/2\r\na=fmtp:111 minptime=10;useinbandfec=1\r\na=msid:",
        "a=ssrc:2222 cname:morlanex\r\n",
        "m=video 40000 UDP/TLS/RTP/SAVPF 96\r\n",
        "a=rtpmap:96 VP8/90000\r\na=rtcp-fb:96 nack\r\na=rtcp-fb:96 nack pli\r\n"
        "a=rtcp-fb:96 ccm fir\r\na=rtcp-fb:96 goog-remb\r\na=msid:",
        "a=ssrc:1111 cname:morlanex\r\n",
        "a=ice-ufrag:ufrag123\r\na=ice-pwd:password-of-24-characters\r\n"
        "a=fingerprint:sha-256 AA:BB\r\na=setup:passive\r\n"
        "a=candidate:1 1 udp 2130706431 192.0.2.10 40000 typ host\r\n",
        "a=sendonly\r\na=rtcp-mux\r\n",
        "m=application 0 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\na=mid:2\r\n"
        "a=inactive\r\n",
    };
    for (std::string_view line : expectedLines)
        EXPECT_NE(answer.find(line), std::string::npos) << line << "\nin\n" << answer;
    EXPECT_LT(answer.find("m=audio"), answer.find("m=video"));
    EXPECT_EQ(answer.find("transport-cc"), std::string::npos);
}

TEST(Sdp, OffersTheRoutersOutsideAddressBesideTheHostCandidateWhenItDiffers) {
    auto offer = parseOffer(chromiumOffer());
    ASSERT_TRUE(offer);
    AnswerParameters p{"ufrag123", "password-of-24-characters", "AA:BB", "192.168.77.2", 40000, 1, 2, "m", 42, {}, 0};
    p.announcedAddress = "11.77.0.1";
    p.announcedPort = 40001;
    std::string answer = buildAnswer(*offer, p);
    const std::string host = "a=candidate:1 1 udp 2130706431 192.168.77.2 40000 typ host\r\n";
    const std::string outside =
        "a=candidate:2 1 udp 1694498815 11.77.0.1 40001 typ srflx raddr 192.168.77.2 rport 40000\r\n";
    // In each bundled m-line, the outside one after the host one and before the list ends.
    for (size_t at = answer.find(host), n = 0; n < 2; ++n, at = answer.find(host, at + 1)) {
        ASSERT_NE(at, std::string::npos) << answer;
        EXPECT_EQ(answer.compare(at + host.size(), outside.size(), outside), 0) << answer;
    }
    // No second candidate where there is no router, or it maps to ourselves.
    p.announcedAddress = "192.168.77.2";
    p.announcedPort = 40000;
    answer = buildAnswer(*offer, p);
    EXPECT_EQ(answer.find("a=candidate:2"), std::string::npos) << answer;
}

TEST(Sdp, RefusesOffersWithAReason) {
    const std::string offer = chromiumOffer();
    const std::pair<std::string, std::string_view> cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", "not SDP"},
        {"", "not SDP"},
        {offer + std::string(MaxOfferSize, 'x'), "64 KiB"},
        {without(without(offer, "a=rtpmap:96 VP8"), "a=rtpmap:111 opus"), "neither VP8 video nor Opus audio"},
        {without(offer, "a=ice-pwd:"), "ICE"},
        {without(offer, "a=fingerprint:"), "fingerprint"},
    };
    for (const auto &[text, reason] : cases) {
        auto parsed = parseOffer(text);
        ASSERT_FALSE(parsed) << reason;
        EXPECT_NE(parsed.error().reason.find(reason), std::string::npos) << parsed.error().reason;
    }
}

TEST(Sdp, MakesFreshIceCredentials) {
    const std::string ufrag = makeIceUfrag();
    const std::string password = makeIcePassword();
    EXPECT_EQ(ufrag.size(), 8u);
    EXPECT_EQ(password.size(), 24u);
    EXPECT_NE(password, makeIcePassword());
    EXPECT_EQ(ufrag.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
              std::string::npos);
}
