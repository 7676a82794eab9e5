// STUN against the test vectors of RFC 5769 and the first-byte demultiplexing of RFC 7983.
#include "webrtc/stun.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace morlanex::webrtc;

namespace {

std::vector<std::uint8_t> fromHex(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(std::uint8_t(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

// RFC 5769 2.1-2.3 (short-term password below); the padding bytes there are spaces.
const auto Request = fromHex("000100582112a442b7e7a701bc34d686fa87dfae802200105354554e207465737420636c69656e74"
                             "002400046e0001ff80290008932ff9b151263b36000600096576746a3a68367659202020000800149a"
                             "eaa70cbfd8cb56781ef2b5b2d3f249c1b571a280280004e57a3bcf");
const auto ResponseV4 = fromHex("0101003c2112a442b7e7a701bc34d686fa87dfae8022000b7465737420766563746f7220002000080001"
                                "a147e112a643000800142b91f599fd9e90c38c7489f92af9ba53f06be7d780280004c07d4c96");
const auto ResponseV6 = fromHex("010100482112a442b7e7a701bc34d686fa87dfae8022000b7465737420766563746f72200020001400"
                                "02a1470113a9faa5d3f179bc25f4b5bed2b9d900080014a382954e4be67bf11784c97c8292c275bfe3"
                                "ed4180280004c8fb0b4c");
constexpr std::string_view Password = "VOkJxbRl1RmTxUk/WvJxBt";
// In both responses XOR-MAPPED-ADDRESS follows a 16-byte SOFTWARE attribute.
constexpr std::size_t VectorAddressAt = 20 + 16;

}  // namespace

TEST(Stun, ReadsTheSampleRequestAndChecksItsIntegrity) {
    auto request = readStun(Request);
    ASSERT_TRUE(request) << toString(request.error());
    EXPECT_TRUE(request->isBindingRequest());
    EXPECT_EQ(request->username, "evtj:h6vY");
    EXPECT_EQ(request->priority, 0x6e0001ffu);
    EXPECT_TRUE(request->iceControlled);
    EXPECT_EQ(request->tieBreaker, 0x932ff9b151263b36u);
    EXPECT_TRUE(request->hasFingerprint);
    EXPECT_FALSE(request->useCandidate);
    EXPECT_EQ(request->transactionId[0], 0xb7);
    EXPECT_EQ(checkIntegrity(Request, *request, Password), StunError::None);
    EXPECT_EQ(checkIntegrity(Request, *request, "VOkJxbRl1RmTxUk/WvJxBT"), StunError::BadIntegrity);
}

TEST(Stun, RefusesDamagedRequests) {
    auto flipped = Request;
    flipped[65] ^= 1;  // inside the username: the FINGERPRINT no longer matches
    EXPECT_EQ(readStun(flipped).error(), StunError::BadFingerprint);

    auto noCookie = Request;
    noCookie[4] = 0;
    EXPECT_EQ(readStun(noCookie).error(), StunError::NotStun);

    // Every shorter cut is refused, whatever its reason.
    for (std::size_t size = 0; size < Request.size(); ++size)
        EXPECT_FALSE(readStun(std::span(Request).first(size))) << size;

    // A length field saying more than the datagram holds.
    auto longer = Request;
    longer[3] += 4;
    EXPECT_EQ(readStun(longer).error(), StunError::BadLength);
}

TEST(Stun, ChecksTheSampleResponses) {
    for (const auto *vector : {&ResponseV4, &ResponseV6}) {
        auto response = readStun(*vector);
        ASSERT_TRUE(response) << toString(response.error());
        EXPECT_EQ(response->type, 0x0101);
        EXPECT_EQ(checkIntegrity(*vector, *response, Password), StunError::None);
    }
}

TEST(Stun, WritesTheSampleXorMappedAddressesWithIntegrity) {
    TransactionId id;
    std::copy(Request.begin() + 8, Request.begin() + 20, id.begin());

    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(32853);
    inet_pton(AF_INET, "192.0.2.1", &v4.sin_addr);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(32853);
    inet_pton(AF_INET6, "2001:db8:1234:5678:11:2233:4455:6677", &v6.sin6_addr);

    const std::pair<const sockaddr *, const std::vector<std::uint8_t> *> cases[] = {
        {reinterpret_cast<const sockaddr *>(&v4), &ResponseV4}, {reinterpret_cast<const sockaddr *>(&v6), &ResponseV6}};
    for (auto [peer, vector] : cases) {
        std::array<std::uint8_t, MaxBindingSuccessSize> out{};
        const std::size_t size = writeBindingSuccess(out, id, peer, Password);
        ASSERT_GT(size, 0u);
        const std::size_t attributeSize = peer->sa_family == AF_INET ? 12 : 24;
        EXPECT_TRUE(std::equal(out.begin() + 20, out.begin() + 20 + attributeSize, vector->begin() + VectorAddressAt));
        const auto written = std::span(out).first(size);
        auto response = readStun(written);
        ASSERT_TRUE(response) << toString(response.error());
        EXPECT_TRUE(response->hasFingerprint);
        EXPECT_EQ(response->transactionId, id);
        EXPECT_EQ(checkIntegrity(written, *response, Password), StunError::None);
        EXPECT_EQ(writeBindingSuccess(std::span(out).first(size - 1), id, peer, Password), 0u);
    }
}

TEST(Stun, WrittenRequestsReadBackWithTheirAttributesAndIntegrity) {
    BindingRequest r;
    std::copy(Request.begin() + 8, Request.begin() + 20, r.transactionId.begin());
    r.username = "evtj:h6vY";
    r.password = Password;
    r.priority = 0x6e0001ff;
    r.controlling = false;
    r.tieBreaker = 0x932ff9b151263b36;
    for (bool nominate : {false, true}) {
        r.useCandidate = nominate;
        std::array<std::uint8_t, 128> out{};
        const std::size_t size = writeBindingRequest(out, r);
        ASSERT_GT(size, 0u);
        const auto written = std::span(out).first(size);
        const auto read = readStun(written);
        ASSERT_TRUE(read) << toString(read.error());
        EXPECT_TRUE(read->isBindingRequest());
        EXPECT_EQ(read->username, r.username);
        EXPECT_EQ(read->priority, r.priority);
        EXPECT_TRUE(read->iceControlled);
        EXPECT_EQ(read->tieBreaker, r.tieBreaker);
        EXPECT_EQ(read->useCandidate, nominate);
        EXPECT_EQ(read->transactionId, r.transactionId);
        EXPECT_EQ(checkIntegrity(written, *read, Password), StunError::None);
        EXPECT_EQ(writeBindingRequest(std::span(out).first(size - 1), r), 0u);
    }
}

TEST(Stun, ClassifiesTheSharedPortsFirstByte) {
    const std::uint8_t dtls[] = {22, 0xfe, 0xfd};
    const std::uint8_t rtp[] = {0x80, 0x60};
    const std::uint8_t rtcp[] = {0x80, 201};
    const std::uint8_t other[] = {64, 0};
    EXPECT_EQ(classifyPacket(Request), PacketKind::Stun);
    EXPECT_EQ(classifyPacket(dtls), PacketKind::Dtls);
    EXPECT_EQ(classifyPacket(rtp), PacketKind::Rtp);
    EXPECT_EQ(classifyPacket(rtcp), PacketKind::Rtcp);
    EXPECT_EQ(classifyPacket(other), PacketKind::Unknown);
    EXPECT_EQ(classifyPacket({}), PacketKind::Unknown);
}
