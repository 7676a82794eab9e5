// WebRTC playback from the real sink: the WHEP resource over HTTP, and end to end with an
// independent WebRTC client (GStreamer's webrtcbin) that must decode the picture and the
// sound the sink sends, fed with real VP8 and Opus.
#include "sink_fixture.h"

#include "net/udp_socket.h"
#include "webrtc/stun.h"

#include <atomic>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include "webrtcbin_viewer.h"

namespace morlanex::sinktest {
namespace {

std::string offerFor(const std::string &audioCodec, const std::string &videoCodec) {
    const std::string common =
        "c=IN IP4 0.0.0.0\r\na=ice-ufrag:EsAw\r\na=ice-pwd:bP+XJMM09aR8AiX1jdukzR6Y\r\n"
        "a=fingerprint:sha-256 "
        "4F:0A:7B:22:91:C3:5E:D8:12:6A:B0:9E:33:C7:48:F1:0D:A2:65:B9:7C:14:E0:5F:A8:3D:91:26:CB:70:E4:19\r\n"
        "a=setup:actpass\r\na=recvonly\r\na=rtcp-mux\r\n";
    return "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0 1\r\n"
           "m=audio 9 UDP/TLS/RTP/SAVPF 111\r\n" +
        common + "a=mid:0\r\na=rtpmap:111 " + audioCodec + "\r\n" + "m=video 9 UDP/TLS/RTP/SAVPF 96\r\n" + common +
        "a=mid:1\r\na=rtpmap:96 " + videoCodec + "\r\na=rtcp-fb:96 nack pli\r\n";
}
const std::string kOffer = offerFor("opus/48000/2", "VP8/90000");

struct Reply {
    int status = 0;
    std::string head, body;
    std::string field(const std::string &name) const {
        const size_t at = head.find("\r\n" + name + ": ");
        if (at == std::string::npos) return {};
        const size_t from = at + name.size() + 4;
        return head.substr(from, head.find("\r\n", from) - from);
    }
};

Reply request(uint16_t port, const std::string &method, const std::string &path, const std::string &body = {},
              const std::string &type = "application/sdp", const char *source = nullptr, const char *to = nullptr) {
    Client c(port, 0, source, to);
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://elsewhere.example\r\n";
    if (method == "POST")
        text += "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    c.send(text + "\r\n" + body);
    Reply r;
    r.head = c.readHead();
    r.status = test::statusOf(r.head);
    const auto &bytes = c.readBody(size_t(std::atol(r.field("Content-Length").c_str())));
    r.body.assign(bytes.begin(), bytes.end());
    return r;
}

class WhepTest : public NetworkSinkTest {
protected:
    NetworkSinkConfig whepConfig() {
        NetworkSinkConfig c = baseConfig();
        c.webrtcWatchedChanged = [this](bool w) { watched_ = w; };
        c.keyFrameWanted = [this] { ++keyFramesWanted_; };
        return c;
    }
    std::atomic<bool> watched_{false};
    std::atomic<int> keyFramesWanted_{0};
};

TEST_F(WhepTest, OfferIsAnsweredWithASessionAndOneHostCandidateOnTheSinksUdpPort) {
    start(whepConfig(), false);
    ASSERT_NE(sink_->webrtcPort(), 0);
    const Reply r = request(port(), "POST", "/whep", kOffer);
    ASSERT_EQ(r.status, 201) << r.head << r.body;
    EXPECT_EQ(r.field("Content-Type"), "application/sdp");
    EXPECT_EQ(r.field("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(r.field("Access-Control-Expose-Headers"), "Location");
    const std::string location = r.field("Location");
    ASSERT_EQ(location.rfind("/whep/", 0), 0u) << r.head;
    EXPECT_NE(r.body.find(" 127.0.0.1 " + std::to_string(sink_->webrtcPort()) + " typ host\r\n"), std::string::npos)
        << r.body;
    EXPECT_TRUE(watched_);

    EXPECT_EQ(request(port(), "PATCH", location).status, 405);  // no trickle ICE
    EXPECT_EQ(request(port(), "DELETE", location).status, 200);
    EXPECT_FALSE(watched_);
    EXPECT_EQ(request(port(), "DELETE", location).status, 404);
    EXPECT_EQ(sink_->stats().webrtcViewers, 0u);
}

TEST_F(WhepTest, PreflightAllowsPagesOfOtherOrigins) {
    start(whepConfig(), false);
    const Reply r = request(port(), "OPTIONS", "/whep");
    EXPECT_EQ(r.status, 204);
    EXPECT_EQ(r.field("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(r.field("Access-Control-Allow-Methods"), "POST, OPTIONS");
    EXPECT_NE(r.field("Access-Control-Allow-Headers").find("Content-Type"), std::string::npos);
    EXPECT_EQ(request(port(), "GET", "/whep").status, 405);
}

TEST_F(WhepTest, BadOffersAreRefusedWithTheirReason) {
    start(whepConfig(), false);
    Reply r = request(port(), "POST", "/whep", "hello");
    EXPECT_EQ(r.status, 400);
    EXPECT_FALSE(r.body.empty());
    r = request(port(), "POST", "/whep", offerFor("PCMU/8000", "H264/90000"));
    EXPECT_EQ(r.status, 400);
    EXPECT_FALSE(r.body.empty());
    EXPECT_EQ(request(port(), "POST", "/whep", kOffer, "text/plain").status, 400);
    EXPECT_EQ(request(port(), "POST", "/whep", kOffer + std::string(70 * 1024, 'a')).status, 413);
    EXPECT_FALSE(watched_);
}

// The binding request a browser sends first, for the session `answer` describes; true once the
// sink has answered it.
bool checkIce(uint16_t udpPort, const std::string &answer) {
    const auto attribute = [&](const std::string &name) {
        const size_t from = answer.find("a=" + name + ":") + name.size() + 3;
        return answer.substr(from, answer.find("\r\n", from) - from);
    };
    const std::string username = attribute("ice-ufrag") + ":EsAw", password = attribute("ice-pwd");
    std::array<uint8_t, 512> bytes{};
    const size_t n = webrtc::writeBindingRequest(bytes, {{1, 2, 3}, username, password, 1, true, 7, true});
    const UniqueFd fd = openUdpSocket("127.0.0.1", 0, nullptr);
    sockaddr_in to{AF_INET, htons(udpPort), {htonl(INADDR_LOOPBACK)}, {}};
    if (!n || ::sendto(fd.get(), bytes.data(), n, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) != ssize_t(n))
        return false;
    pollfd in{fd.get(), POLLIN, 0};
    return ::poll(&in, 1, 10000) == 1;
}

// Sessions being set up count against the client limit; past the grace, the oldest no check has
// confirmed ends to make room for a newcomer (WebRTC or HTTP), never one a check has.
TEST_F(WhepTest, PendingSessionsAreLimitedPerAddressAndUncheckedOnesGiveWayPastTheirGrace) {
    for (const std::chrono::milliseconds grace : {std::chrono::milliseconds(1h), 0ms}) {
        SCOPED_TRACE(grace.count());
        NetworkSinkConfig c = whepConfig();
        c.maxClients = 5;
        c.webrtcCheckGrace = grace;
        start(c);
        std::vector<Reply> held;
        for (int i = 0; i < 4; ++i) held.push_back(request(port(), "POST", "/whep", kOffer));
        for (const Reply &r : held) ASSERT_EQ(r.status, 201);
        ASSERT_TRUE(checkIce(sink_->webrtcPort(), held[0].body));
        EXPECT_EQ(request(port(), "POST", "/whep", kOffer).status, 429);
        EXPECT_EQ(request(port(), "POST", "/whep", kOffer, "application/sdp", "127.0.0.2").status, 201);

        const Reply newcomer = request(port(), "POST", "/whep", kOffer, "application/sdp", "127.0.0.3");
        Client viewer(port());
        viewer.send("GET / HTTP/1.0\r\n\r\n");
        const int viewerStatus = test::statusOf(viewer.readHead());
        if (grace > 0ms) {  // all still within it
            EXPECT_EQ(newcomer.status, 503);
            EXPECT_EQ(viewerStatus, 503);
            continue;
        }
        EXPECT_EQ(newcomer.status, 201);
        EXPECT_EQ(viewerStatus, 200);
        EXPECT_EQ(request(port(), "HEAD", "/").status, 200);  // takes no room, so ends no one
        EXPECT_EQ(request(port(), "DELETE", held[1].field("Location")).status, 404);  // the two oldest unchecked
        EXPECT_EQ(request(port(), "DELETE", held[2].field("Location")).status, 404);
        EXPECT_EQ(request(port(), "DELETE", held[0].field("Location")).status, 200);  // checked, kept
        EXPECT_EQ(request(port(), "DELETE", held[3].field("Location")).status, 200);
        const auto lines = logLines();  // (rate-limited per address: the first is logged)
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string &l) {
            return l.ends_with(held[1].field("Location").substr(6) +
                               " session ended: no ICE check yet, room made for a newcomer");
        })) << ::testing::PrintToString(lines);
    }
}

TEST_F(WhepTest, WithoutWebrtcThereIsNoResource) {
    NetworkSinkConfig c = whepConfig();
    c.webrtcPort = -1;
    start(c, false);
    EXPECT_EQ(sink_->webrtcPort(), 0);
    EXPECT_EQ(request(port(), "POST", "/whep", kOffer).status, 404);
}

// Real VP8 and Opus, as the encoders would hand them to the sink.
class Feeder {
public:
    Feeder(NetworkSink &sink, const char *description, RtcMedia kind) : sink_(sink), kind_(kind) {
        pipeline_ = gst_parse_launch(description, nullptr);
        GstElement *out = gst_bin_get_by_name(GST_BIN(pipeline_), "out");
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = [](GstAppSink *s, gpointer self) { return static_cast<Feeder *>(self)->take(s); };
        gst_app_sink_set_callbacks(GST_APP_SINK(out), &callbacks, this, nullptr);
        gst_object_unref(out);
        gst_element_set_state(pipeline_, GST_STATE_PLAYING);
    }
    ~Feeder() {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }

private:
    GstFlowReturn take(GstAppSink *s) {
        GstSample *sample = gst_app_sink_pull_sample(s);
        GstBuffer *b = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (gst_buffer_map(b, &map, GST_MAP_READ)) {
            sink_.pushRtcFrame(kind_, {map.data, map.size}, GST_BUFFER_PTS(b),
                               !GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DELTA_UNIT));
            gst_buffer_unmap(b, &map);
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }
    NetworkSink &sink_;
    RtcMedia kind_;
    GstElement *pipeline_;
};

TEST_F(WhepTest, WebrtcbinDecodesPictureAndSound) {
    gst_init(nullptr, nullptr);
    start(whepConfig(), false);
    Feeder video(*sink_,
                 "videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=30/1 ! "
                 "vp8enc deadline=1 keyframe-max-dist=60 ! appsink name=out sync=false",
                 RtcMedia::Vp8);
    Feeder audio(*sink_,
                 "audiotestsrc is-live=true ! audioconvert ! audioresample ! opusenc frame-size=20 ! "
                 "appsink name=out sync=false",
                 RtcMedia::Opus);
    morlanex::testing::WebrtcbinViewer viewer;
    const std::string offer = viewer.offer();
    ASSERT_FALSE(offer.empty());
    const Reply r = request(port(), "POST", "/whep", offer, "application/sdp");
    ASSERT_EQ(r.status, 201) << r.body;
    ASSERT_TRUE(viewer.answer(r.body));
    ASSERT_TRUE(waitUntil([&] { return viewer.videoFrames >= 30 && viewer.audioBuffers >= 50; }, 30s))
        << viewer.videoFrames << " video frames, " << viewer.audioBuffers << " audio buffers decoded\n"
        << offer << r.body << ::testing::PrintToString(logLines());
    EXPECT_EQ(sink_->stats().webrtcViewers, 1u);
    EXPECT_EQ(request(port(), "DELETE", r.field("Location")).status, 200);
    EXPECT_EQ(sink_->stats().webrtcViewers, 0u);
}

}  // namespace
}  // namespace morlanex::sinktest
