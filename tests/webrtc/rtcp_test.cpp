// RTCP: compound packets built by hand after RFC 3550, 4585 and 5104, and our sender report.
#include "webrtc/rtcp.h"

#include <gtest/gtest.h>

#include <vector>

using namespace morlanex::webrtc;

namespace {

struct Heard : RtcpVisitor {
    std::vector<ReceptionReport> reports;
    std::vector<std::uint16_t> nacked;
    int pictureLosses = 0;
    std::vector<std::uint8_t> firs;
    std::uint64_t remb = 0;
    int transportFeedback = 0;

    void onReceptionReport(std::uint32_t, const ReceptionReport &r) override { reports.push_back(r); }
    void onNack(std::uint32_t ssrc, std::uint16_t seq) override {
        EXPECT_EQ(ssrc, 0x11223344u);
        nacked.push_back(seq);
    }
    void onPictureLoss(std::uint32_t ssrc) override { pictureLosses += ssrc == 0x11223344u; }
    void onFullIntraRequest(std::uint32_t ssrc, std::uint8_t n) override {
        EXPECT_EQ(ssrc, 0x11223344u);
        firs.push_back(n);
    }
    void onRemb(std::uint64_t bps) override { remb = bps; }
    void onTransportFeedback(std::uint32_t) override { ++transportFeedback; }
};

// RR from 0xAAAAAAAA with one block on 0x11223344; NACK of 100 with BLP 0x0005; PLI; FIR
// #7; REMB of 1.5 Mbit/s (mantissa 187500 << 3); a transport-cc packet.
const std::vector<std::uint8_t> Compound = {
    0x81, 201,  0,    7,    0xAA, 0xAA, 0xAA, 0xAA,  // RR, one block
    0x11, 0x22, 0x33, 0x44, 0x40, 0xFF, 0xFF, 0xFF,  // ssrc, 1/4 lost, -1 cumulative
    0,    1,    0x03, 0xE8, 0,    0,    0x04, 0xD2,  // highest 66536, jitter 1234
    0x12, 0x34, 0x56, 0x78, 0,    1,    0,    0,  // LSR, DLSR one second
    0x81, 205,  0,    3,    0xAA, 0xAA, 0xAA, 0xAA, 0x11, 0x22, 0x33,
    0x44, 0,    100,  0x00, 0x05, 0x81, 206,  0,    2,    0xAA, 0xAA,
    0xAA, 0xAA, 0x11, 0x22, 0x33, 0x44, 0x84, 206,  0,    4,    0xAA,
    0xAA, 0xAA, 0xAA, 0,    0,    0,    0,    0x11, 0x22, 0x33, 0x44,
    7,    0,    0,    0,    0x8F, 206,  0,    5,    0xAA, 0xAA, 0xAA,
    0xAA, 0,    0,    0,    0,    'R',  'E',  'M',  'B',  1,    (3 << 2) | 0x02,
    0xDC, 0x6C, 0x11, 0x22, 0x33, 0x44, 0x8F, 205,  0,    4,    0xAA,
    0xAA, 0xAA, 0xAA, 0x11, 0x22, 0x33, 0x44, 0,    1,    0,    1,
    0,    0,    0,    0,
};

}  // namespace

TEST(Rtcp, ReadsReportsNacksPictureLossFirAndRemb) {
    Heard heard;
    ASSERT_EQ(readRtcp(Compound, heard), RtcpError::None);
    ASSERT_EQ(heard.reports.size(), 1u);
    const ReceptionReport &r = heard.reports[0];
    EXPECT_EQ(r.ssrc, 0x11223344u);
    EXPECT_EQ(r.fractionLost, 0x40);
    EXPECT_EQ(r.cumulativeLost, -1);
    EXPECT_EQ(r.highestSequence, 66536u);
    EXPECT_EQ(r.jitter, 1234u);
    EXPECT_EQ(r.lastSenderReport, 0x12345678u);
    EXPECT_EQ(r.delaySinceLastSenderReport, 65536u);
    EXPECT_EQ(heard.nacked, (std::vector<std::uint16_t>{100, 101, 103}));
    EXPECT_EQ(heard.pictureLosses, 1);
    EXPECT_EQ(heard.firs, (std::vector<std::uint8_t>{7}));
    EXPECT_EQ(heard.remb, 1500000u);
    EXPECT_EQ(heard.transportFeedback, 1);
}

TEST(Rtcp, RefusesMalformedCompoundsBeforeTellingAnything) {
    // Cut anywhere inside a packet: refused, and the visitor heard nothing.
    for (std::size_t size = 0; size < Compound.size(); ++size) {
        Heard heard;
        const RtcpError error = readRtcp(std::span(Compound).first(size), heard);
        const bool boundary = size == 32 || size == 48 || size == 60 || size == 80 || size == 104;
        EXPECT_EQ(error == RtcpError::None, boundary) << size;
        if (error != RtcpError::None) {
            EXPECT_TRUE(heard.reports.empty() && heard.nacked.empty()) << size;
        }
    }
    auto badVersion = Compound;
    badVersion[32] = 0x41;
    Heard heard;
    EXPECT_EQ(readRtcp(badVersion, heard), RtcpError::BadVersion);
    auto tooManyBlocks = Compound;
    tooManyBlocks[0] = 0x82;
    EXPECT_EQ(readRtcp(tooManyBlocks, heard), RtcpError::BadPacket);
    auto padding = Compound;
    padding[48] |= 0x20;  // the PLI's last byte (0x44) taken as its padding length
    EXPECT_EQ(readRtcp(padding, heard), RtcpError::BadPadding);
}

TEST(Rtcp, WritesASenderReportWithItsCname) {
    SenderReport report{0x01020304, toNtpTime(std::chrono::system_clock::time_point{}), 90000, 10, 12000};
    EXPECT_EQ(report.ntpTime, 2208988800ull << 32);
    std::array<std::uint8_t, 64> out{};
    const std::size_t size = writeSenderReport(out, report, "morlanex");
    ASSERT_EQ(size, 28u + 20u);  // SR; SDES header, SSRC, CNAME of 8, end, padding
    const std::uint8_t expected[] = {0x80, 200, 0,    6,    1, 2, 3,   4,   0x83, 0xAA, 0x7E, 0x80, 0,    0,   0, 0,
                                     0,    1,   0x5F, 0x90, 0, 0, 0,   10,  0,    0,    0x2E, 0xE0, 0x81, 202, 0, 4,
                                     1,    2,   3,    4,    1, 8, 'm', 'o', 'r',  'l',  'a',  'n',  'e',  'x', 0, 0};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), out.begin()));
    Heard heard;
    EXPECT_EQ(readRtcp(std::span(out).first(size), heard), RtcpError::None);
    EXPECT_EQ(writeSenderReport(std::span(out).first(size - 1), report, "morlanex"), 0u);
}
