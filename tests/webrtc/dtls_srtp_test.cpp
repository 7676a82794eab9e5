// DTLS-SRTP: our server endpoint against an OpenSSL DTLS client over memory, each SRTP profile;
// both sides must export the same keys, and SRTP made with one side's keys must open with the
// other's.
#include "webrtc/dtls.h"
#include "webrtc/rtp.h"
#include "webrtc/srtp.h"
#include "webrtc/srtp_gcm.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <srtp2/srtp.h>

#include <vector>

using namespace morlanex::webrtc;

namespace {

// A browser's side: an OpenSSL DTLS client on memory BIOs with its own certificate.
class Client {
public:
    Client(const DtlsContext &identity, const char *profiles) {
        ctx_ = SSL_CTX_new(DTLS_client_method());
        SSL_CTX_use_certificate(ctx_, SSL_CTX_get0_certificate(identity.sslContext()));
        SSL_CTX_use_PrivateKey(ctx_, SSL_CTX_get0_privatekey(identity.sslContext()));
        SSL_CTX_set_tlsext_use_srtp(ctx_, profiles);
        ssl_ = SSL_new(ctx_);
        in_ = BIO_new(BIO_s_mem());
        out_ = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(in_, -1);
        SSL_set_bio(ssl_, in_, out_);
        SSL_set_connect_state(ssl_);
    }
    ~Client() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
    }
    bool step() { return SSL_do_handshake(ssl_) == 1; }
    void receive(std::span<const std::uint8_t> datagram) { BIO_write(in_, datagram.data(), int(datagram.size())); }
    std::vector<std::uint8_t> written() {
        std::vector<std::uint8_t> bytes(BIO_ctrl_pending(out_));
        BIO_read(out_, bytes.data(), int(bytes.size()));
        return bytes;
    }
    SrtpKeys keys() {
        SrtpKeys k;
        k.profile = SSL_get_selected_srtp_profile(ssl_)->id == SRTP_AEAD_AES_128_GCM ? SrtpProfile::AeadAes128Gcm
                                                                                     : SrtpProfile::Aes128CmSha1_80;
        const std::size_t salt = srtpKeySaltSize(k.profile) - 16;
        unsigned char m[60];
        SSL_export_keying_material(ssl_, m, 2 * (16 + salt), "EXTRACTOR-dtls_srtp", 19, nullptr, 0, 0);
        std::copy(m, m + 16, k.local.begin());  // the client's own
        std::copy(m + 32, m + 32 + salt, k.local.begin() + 16);
        std::copy(m + 16, m + 32, k.remote.begin());  // the server's
        std::copy(m + 32 + salt, m + 32 + 2 * salt, k.remote.begin() + 16);
        return k;
    }

private:
    SSL_CTX *ctx_;
    SSL *ssl_;
    BIO *in_;
    BIO *out_;
};

// Made once: key generation is the slow part of a handshake test.
const std::pair<std::unique_ptr<DtlsContext>, std::unique_ptr<DtlsContext>> &contexts() {
    static const auto pair = std::pair{DtlsContext::create(nullptr), DtlsContext::create(nullptr)};
    return pair;
}

struct Handshake {
    std::vector<std::vector<std::uint8_t>> sent;  // the server's datagrams
    DtlsEndpoint endpoint;
    Client client;

    Handshake(const char *profiles, const std::string &offeredFingerprint)
        : endpoint(*contexts().first, "sha-256", offeredFingerprint,
                   [this](auto d) { sent.emplace_back(d.begin(), d.end()); }),
          client(*contexts().second, profiles) {}

    // Flights back and forth until both sides are done or nothing moves.
    bool run() {
        bool clientDone = false;
        for (int flight = 0; flight < 10; ++flight) {
            clientDone = client.step() || clientDone;
            if (clientDone && endpoint.state() == DtlsState::Connected) return true;
            const auto toServer = client.written();
            if (!toServer.empty() && endpoint.receive(toServer) == DtlsState::Failed) return false;
            for (const auto &datagram : sent) client.receive(datagram);
            sent.clear();
        }
        return false;
    }
};

// The profile the browser offers; ours offers both.
class DtlsSrtp : public testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(DtlsSrtp, HandshakeExportsTheSameKeysOnBothSidesAndSrtpOpens) {
    ASSERT_TRUE(contexts().first && contexts().second);
    EXPECT_EQ(contexts().first->fingerprint().size(), 32u * 3 - 1);
    Handshake h(GetParam().c_str(), contexts().second->fingerprint());
    ASSERT_TRUE(h.run()) << h.endpoint.failure();
    EXPECT_FALSE(h.endpoint.nextTimeout());
    const SrtpKeys server = h.endpoint.keys();
    const SrtpKeys browser = h.client.keys();
    EXPECT_EQ(server.profile,
              GetParam() == "SRTP_AEAD_AES_128_GCM" ? SrtpProfile::AeadAes128Gcm : SrtpProfile::Aes128CmSha1_80);
    EXPECT_EQ(server.local, browser.remote);
    EXPECT_EQ(server.remote, browser.local);

    // Our RTP, protected with the server's keys, opens with the browser's.
    SrtpSession send(server.profile, server.localKeySalt(), SrtpSession::Outbound);
    SrtpSession receive(browser.profile, browser.remoteKeySalt(), SrtpSession::Inbound);
    ASSERT_TRUE(send.valid() && receive.valid());
    const std::uint8_t frame[] = {0xfc, 0xff, 0xfe, 1, 2, 3, 4, 5};
    OpusPacketizer opus(111, 0x1234);
    RtpPacket packet;
    ASSERT_TRUE(opus.packetize(frame, 960, packet));
    std::array<std::uint8_t, MaxRtpPacketSize + SrtpSession::MaxOverhead> buffer{};
    std::copy(packet.bytes.begin(), packet.bytes.begin() + packet.size, buffer.begin());
    std::size_t size = packet.size;
    ASSERT_TRUE(send.protectRtp(buffer, size));
    EXPECT_GT(size, packet.size);
    auto tampered = buffer;
    std::size_t tamperedSize = size;
    tampered[RtpHeaderSize] ^= 1;
    EXPECT_FALSE(receive.unprotectRtp(tampered, tamperedSize));
    ASSERT_TRUE(receive.unprotectRtp(buffer, size));
    ASSERT_EQ(size, packet.size);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + size, packet.bytes.begin()));

    // The browser's RTCP (a PLI), protected with its keys, opens with the server's.
    SrtpSession browserSend(browser.profile, browser.localKeySalt(), SrtpSession::Outbound);
    SrtpSession serverReceive(server.profile, server.remoteKeySalt(), SrtpSession::Inbound);
    const std::uint8_t pli[] = {0x81, 206, 0, 2, 0, 0, 0, 1, 0, 0, 0x12, 0x34};
    std::copy(std::begin(pli), std::end(pli), buffer.begin());
    size = sizeof pli;
    ASSERT_TRUE(browserSend.protectRtcp(buffer, size));
    ASSERT_TRUE(serverReceive.unprotectRtcp(buffer, size));
    ASSERT_EQ(size, sizeof pli);
    EXPECT_TRUE(std::equal(std::begin(pli), std::end(pli), buffer.begin()));
}

INSTANTIATE_TEST_SUITE_P(Profiles, DtlsSrtp, testing::Values("SRTP_AES128_CM_SHA1_80", "SRTP_AEAD_AES_128_GCM"));

// Ours protects, libsrtp2 opens (and so does our own opener, which refuses a changed packet).
TEST(Srtp, GcmPacketsOpenAcrossTheSequenceNumbersRollover) {
    std::array<std::uint8_t, 28> keySalt{};
    for (std::size_t i = 0; i < keySalt.size(); ++i) keySalt[i] = std::uint8_t(i * 7 + 1);
    SrtpSession send(SrtpProfile::AeadAes128Gcm, keySalt, SrtpSession::Outbound);
    SrtpSession receive(SrtpProfile::AeadAes128Gcm, keySalt, SrtpSession::Inbound);
    SrtpGcmRtp opener(keySalt);
    ASSERT_TRUE(send.valid() && receive.valid() && opener.valid());
    const std::uint8_t frame[] = {0xfc, 0xff, 0xfe, 1, 2, 3};
    OpusPacketizer opus(111, 0x1234, 65533);
    RtpPacket packet;
    for (int i = 0; i < 5; ++i) {  // 65533 .. 1
        ASSERT_TRUE(opus.packetize(frame, std::uint32_t(960 * i), packet));
        std::array<std::uint8_t, MaxRtpPacketSize + SrtpSession::MaxOverhead> buffer{};
        std::copy(packet.bytes.begin(), packet.bytes.begin() + packet.size, buffer.begin());
        std::size_t size = packet.size;
        ASSERT_TRUE(send.protectRtp(buffer, size));
        auto copy = buffer, changed = buffer;
        std::size_t copySize = size, changedSize = size;
        changed[RtpHeaderSize + 1] ^= 0x10;
        EXPECT_FALSE(opener.open(changed, changedSize));
        ASSERT_TRUE(opener.open(copy, copySize)) << packet.sequence();
        ASSERT_TRUE(receive.unprotectRtp(buffer, size)) << packet.sequence();
        ASSERT_EQ(size, packet.size);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + size, packet.bytes.begin()));
        EXPECT_TRUE(std::equal(copy.begin(), copy.begin() + size, packet.bytes.begin()));
    }
}

// Ours and libsrtp2 open each other's SRTCP; ours refuses a replay.
TEST(Srtp, GcmRtcpOpensBothWaysWithLibsrtp) {
    std::array<std::uint8_t, 28> keySalt{};
    for (std::size_t i = 0; i < keySalt.size(); ++i) keySalt[i] = std::uint8_t(i * 5 + 3);
    const auto libsrtp = [&](srtp_ssrc_type_t type) {
        srtp_policy_t policy{};
        srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtp);
        srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtcp);
        policy.ssrc.type = type;
        policy.key = keySalt.data();
        srtp_t session = nullptr;
        EXPECT_EQ(srtp_create(&session, &policy), srtp_err_status_ok);
        return session;
    };
    SrtpSession ours(SrtpProfile::AeadAes128Gcm, keySalt, SrtpSession::Outbound);
    SrtpSession oursIn(SrtpProfile::AeadAes128Gcm, keySalt, SrtpSession::Inbound);
    srtp_t theirsIn = libsrtp(ssrc_any_inbound), theirsOut = libsrtp(ssrc_any_outbound);
    const std::uint8_t pli[] = {0x81, 206, 0, 2, 0, 0, 0, 1, 0, 0, 0x12, 0x34};
    std::array<std::uint8_t, 64 + SrtpSession::MaxOverhead> buffer{};
    for (int i = 0; i < 2; ++i) {
        std::copy(std::begin(pli), std::end(pli), buffer.begin());
        std::size_t size = sizeof pli;
        ASSERT_TRUE(ours.protectRtcp(buffer, size));
        int length = int(size);
        ASSERT_EQ(srtp_unprotect_rtcp(theirsIn, buffer.data(), &length), srtp_err_status_ok);
        ASSERT_EQ(std::size_t(length), sizeof pli);
        EXPECT_TRUE(std::equal(std::begin(pli), std::end(pli), buffer.begin()));

        length = int(sizeof pli);
        ASSERT_EQ(srtp_protect_rtcp(theirsOut, buffer.data(), &length), srtp_err_status_ok);
        auto replay = buffer;
        size = std::size_t(length);
        ASSERT_TRUE(oursIn.unprotectRtcp(buffer, size));
        ASSERT_EQ(size, sizeof pli);
        EXPECT_TRUE(std::equal(std::begin(pli), std::end(pli), buffer.begin()));
        size = std::size_t(length);
        EXPECT_FALSE(oursIn.unprotectRtcp(replay, size));
    }
    srtp_dealloc(theirsIn);
    srtp_dealloc(theirsOut);
}

// Our server and our client, each with the other's fingerprint.
struct OurPair {
    std::vector<std::vector<std::uint8_t>> toServer, toClient;
    DtlsEndpoint server{*contexts().first, "sha-256", contexts().second->fingerprint(),
                        [this](auto d) { toClient.emplace_back(d.begin(), d.end()); }};
    DtlsEndpoint client{*contexts().second, "sha-256", contexts().first->fingerprint(),
                        [this](auto d) { toServer.emplace_back(d.begin(), d.end()); }, DtlsRole::Client};
    bool run() {
        client.start();
        for (int flight = 0; flight < 10; ++flight) {
            if (server.state() == DtlsState::Connected && client.state() == DtlsState::Connected) return true;
            for (const auto &d : std::exchange(toServer, {})) server.receive(d);
            for (const auto &d : std::exchange(toClient, {})) client.receive(d);
        }
        return false;
    }
};

TEST(Dtls, OurClientRoleHandshakesWithOurServerAndHoldsTheMirroredKeys) {
    OurPair p;
    EXPECT_EQ(p.server.start(), DtlsState::Handshaking);  // a server waits
    EXPECT_TRUE(p.toClient.empty());
    ASSERT_TRUE(p.run()) << p.client.failure() << p.server.failure();
    EXPECT_EQ(p.client.keys().profile, SrtpProfile::AeadAes128Gcm);  // the first both offer
    EXPECT_EQ(p.client.keys().local, p.server.keys().remote);
    EXPECT_EQ(p.client.keys().remote, p.server.keys().local);

    p.client.close();  // the server still reads the alert once its idle buffers are gone
    ASSERT_EQ(p.toServer.size(), 1u);
    EXPECT_EQ(p.server.receive(p.toServer[0]), DtlsState::Closed);
}

TEST(Dtls, ReleasedEndpointsStillCloseOnTheirPeersCloseNotifyAndSendTheirOwn) {
    OurPair p;
    ASSERT_TRUE(p.run());
    ASSERT_TRUE(p.server.release());
    EXPECT_TRUE(p.server.released());
    EXPECT_TRUE(p.toClient.empty());  // its close_notify is kept, not sent
    p.client.close();
    ASSERT_EQ(p.toServer.size(), 1u);
    auto forged = p.toServer[0];
    forged.back() ^= 1;
    EXPECT_EQ(p.server.receive(forged), DtlsState::Connected);
    EXPECT_EQ(p.server.receive(p.toServer[0]), DtlsState::Closed);

    OurPair q;
    ASSERT_TRUE(q.run());
    ASSERT_TRUE(q.client.release());
    q.client.close();
    ASSERT_EQ(q.toServer.size(), 1u);
    EXPECT_EQ(q.server.receive(q.toServer[0]), DtlsState::Closed);
}

TEST(Dtls, RefusesACertificateOtherThanTheOffered) {
    Handshake h("SRTP_AES128_CM_SHA1_80", contexts().first->fingerprint());
    EXPECT_FALSE(h.run());
    EXPECT_EQ(h.endpoint.state(), DtlsState::Failed);
    EXPECT_NE(h.endpoint.failure().find("fingerprint"), std::string::npos) << h.endpoint.failure();
    // The browser was told, by a bad_certificate alert, rather than left waiting.
    ASSERT_FALSE(h.sent.empty());
    EXPECT_EQ(readDtlsRecordHeader(h.sent.back())->contentType, 21);
}

TEST(Dtls, DropsJunkAndTimesItsFlights) {
    Handshake h("SRTP_AES128_CM_SHA1_80", contexts().second->fingerprint());
    const std::uint8_t junk[] = {22, 0xfe, 0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0};
    EXPECT_EQ(h.endpoint.receive(junk), DtlsState::Handshaking);
    EXPECT_TRUE(h.sent.empty());
    EXPECT_FALSE(h.endpoint.nextTimeout());

    h.client.step();
    EXPECT_EQ(h.endpoint.receive(h.client.written()), DtlsState::Handshaking);
    ASSERT_FALSE(h.sent.empty());
    for (const auto &datagram : h.sent) {
        EXPECT_LE(datagram.size(), 1200u);
        EXPECT_TRUE(isDtlsDatagram(datagram));
    }
    const auto first = readDtlsRecordHeader(h.sent[0]);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->contentType, 22);  // handshake: the server hello
    EXPECT_EQ(first->epoch, 0);
    EXPECT_TRUE(h.endpoint.nextTimeout());
}
