// The PCP wire format against the byte layout of RFC 6887 (sections 7 and 11), the reader's
// refusals of malformed responses, the epoch check, and which outside addresses mean a
// second NAT.
#include "net/port_mapping/gateway.h"
#include "net/port_mapping/pcp_message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <vector>

using namespace morlanex::portmap;
using namespace std::chrono_literals;

namespace {

in_addr address(const char *text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a;
}

const PcpNonce kNonce = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

// A MAP response as miniupnpd sends it: TCP 8080 mapped to 11.77.0.1:8081 for 3600 s, epoch 42.
std::vector<uint8_t> mapResponse() {
    std::vector<uint8_t> r = {2, 0x81, 0, 0, 0, 0, 0x0e, 0x10, 0, 0, 0, 42};
    r.resize(24);
    r.insert(r.end(), kNonce.begin(), kNonce.end());
    const uint8_t rest[] = {6, 0, 0, 0, 0x1f, 0x90, 0x1f, 0x91, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 11, 77, 0, 1};
    r.insert(r.end(), std::begin(rest), std::end(rest));
    return r;
}

TEST(PcpMessage, MapRequestHasTheLayoutOfTheRfc) {
    MapRequest request;
    request.nonce = kNonce;
    request.protocol = IPPROTO_UDP;
    request.insidePort = 8080;
    request.suggestedOutsidePort = 8081;
    request.lifetime = 3600s;
    request.client = address("192.168.77.2");
    const std::vector<uint8_t> expected = {
        2,    1,    0,    0,  // version, R=0 + MAP, reserved
        0,    0,    0x0e, 0x10,  // lifetime
        0,    0,    0,    0,    0, 0, 0, 0, 0, 0,  0xff, 0xff, 192, 168, 77, 2,  // client ::ffff:192.168.77.2
        1,    2,    3,    4,    5, 6, 7, 8, 9, 10, 11,   12,  // nonce
        17,   0,    0,    0,  // protocol, reserved
        0x1f, 0x90, 0x1f, 0x91,  // inside port, suggested outside port
        0,    0,    0,    0,    0, 0, 0, 0, 0, 0,  0xff, 0xff, 0,   0,   0,  0};  // any IPv4 outside address
    const auto bytes = encodeMapRequest(request);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), expected);
}

TEST(PcpMessage, ReadsAMapResponse) {
    const std::vector<uint8_t> bytes = mapResponse();
    PcpResponse r;
    ASSERT_EQ(readPcpResponse(bytes, &r), PcpError::None);
    EXPECT_EQ(r.opcode, PcpOpcode::Map);
    EXPECT_EQ(r.result, PcpResult::Success);
    EXPECT_EQ(r.lifetime, 3600u);
    EXPECT_EQ(r.epoch, 42u);
    EXPECT_EQ(r.nonce, kNonce);
    EXPECT_EQ(r.protocol, IPPROTO_TCP);
    EXPECT_EQ(r.insidePort, 8080);
    EXPECT_EQ(r.outsidePort, 8081);
    EXPECT_EQ(r.outsideAddress.s_addr, address("11.77.0.1").s_addr);
}

TEST(PcpMessage, RefusesMalformedResponses) {
    const std::vector<uint8_t> good = mapResponse();
    PcpResponse r;
    for (size_t size = 0; size < good.size(); ++size)
        EXPECT_NE(readPcpResponse(std::span(good.data(), size), &r), PcpError::None) << "cut to " << size;

    auto changed = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> bytes = good;
        bytes[at] = value;
        return readPcpResponse(bytes, &r);
    };
    EXPECT_EQ(changed(0, 0), PcpError::NotPcp);
    EXPECT_EQ(changed(0, 3), PcpError::UnknownVersion);
    EXPECT_EQ(changed(1, 0x01), PcpError::NotAResponse);
    EXPECT_EQ(changed(1, 0x82), PcpError::UnknownOpcode);  // PEER: never asked for

    std::vector<uint8_t> odd = good;
    odd.push_back(0);
    EXPECT_EQ(readPcpResponse(odd, &r), PcpError::NotMultipleOfFour);
    std::vector<uint8_t> huge = good;
    huge.resize(1104);
    EXPECT_EQ(readPcpResponse(huge, &r), PcpError::TooLong);
    // A MAP response with options after its data is read; an ANNOUNCE needs only the header.
    std::vector<uint8_t> options = good;
    options.resize(good.size() + 8);
    EXPECT_EQ(readPcpResponse(options, &r), PcpError::None);
    std::vector<uint8_t> announce(good.begin(), good.begin() + 24);
    announce[1] = 0x80;
    ASSERT_EQ(readPcpResponse(announce, &r), PcpError::None);
    EXPECT_EQ(r.opcode, PcpOpcode::Announce);
}

TEST(PcpMessage, EpochShowsARestartedServer) {
    const auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
    EXPECT_FALSE(epochShowsRestart(500, t0, 560, t0 + 60s));  // both clocks went on alike
    EXPECT_FALSE(epochShowsRestart(500, t0, 499, t0));  // a second back is rounding
    EXPECT_TRUE(epochShowsRestart(500, t0, 3, t0 + 60s));  // started again
    EXPECT_TRUE(epochShowsRestart(500, t0, 505, t0 + 600s));  // restarted and ran a while: fell behind
    EXPECT_TRUE(epochShowsRestart(500, t0, 1100, t0 + 60s));  // ran far ahead of us
}

TEST(Gateway, PrivateAndSharedOutsideAddressesMeanASecondNat) {
    for (const char *a : {"10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.0.1", "100.64.0.0", "100.127.255.255",
                          "169.254.1.1", "0.0.0.0"})
        EXPECT_TRUE(isPrivateOrShared(address(a))) << a;
    for (const char *a : {"11.77.0.1", "172.32.0.1", "100.128.0.1", "100.63.255.255", "192.169.0.1", "8.8.8.8"})
        EXPECT_FALSE(isPrivateOrShared(address(a))) << a;
}

}  // namespace
