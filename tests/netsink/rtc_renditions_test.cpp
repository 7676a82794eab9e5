// The WebRTC viewers' VP8 renditions without sockets: which rendition a viewer's reports call
// for (time stepped by hand), and what a viewer is sent when it moves between them.
#include "media/netsink/rtc_rendition_choice.h"
#include "media/netsink/rtc_video_fan_out.h"

#include <gtest/gtest.h>

#include <vector>

namespace morlanex {
namespace {

using namespace std::chrono_literals;
using Clock = RtcRenditionChoice::Clock;

const std::vector<uint32_t> kRates = {600'000, 100'000};

TEST(RtcRenditionChoice, DownOnALowSettledEstimateOrTwoLossyReportsUpOnlyAfterAQuietWhile) {
    Clock::time_point t{};
    RtcRenditionChoice byEstimate(kRates, t);
    byEstimate.onEstimate(300'000, t += 1s);
    EXPECT_EQ(byEstimate.wanted(), 0u) << "the estimate climbs for its first seconds";
    byEstimate.onEstimate(500'000, t += 5s);
    EXPECT_EQ(byEstimate.wanted(), 0u) << "within a fifth of the rate";
    byEstimate.onEstimate(450'000, t += 1s);
    EXPECT_EQ(byEstimate.wanted(), 1u);
    byEstimate.onEstimate(200'000, t += 5s);
    EXPECT_EQ(byEstimate.wanted(), 1u) << "not before 10 s without loss";
    byEstimate.onEstimate(200'000, t += 6s);
    EXPECT_EQ(byEstimate.wanted(), 0u) << "the estimate follows what it receives: it cannot hold it down";

    RtcRenditionChoice byLoss(kRates, t);
    byLoss.onLoss(40, t += 1s);
    EXPECT_EQ(byLoss.wanted(), 0u) << "one lossy report is not enough";
    byLoss.onLoss(0, t += 1s);
    byLoss.onLoss(40, t += 1s);
    EXPECT_EQ(byLoss.wanted(), 0u) << "nor two apart";
    byLoss.onLoss(40, t += 1s);
    EXPECT_EQ(byLoss.wanted(), 1u);
    EXPECT_EQ((byLoss.onLoss(40, t += 1s), byLoss.onLoss(40, t += 1s), byLoss.wanted()), 1u) << "no lower one";
    for (int i = 0; i < 9; ++i) byLoss.onLoss(10, t += 1s);  // under 10 % but over 2 %
    byLoss.onLoss(0, t += 1s);
    EXPECT_EQ(byLoss.wanted(), 1u) << "some loss keeps it down";
    for (int i = 0; i < 10; ++i) byLoss.onLoss(0, t += 1s);
    EXPECT_EQ(byLoss.wanted(), 0u);

    // A move up that does not hold doubles the wait before the next.
    byLoss.onLoss(60, t += 1s);
    byLoss.onLoss(60, t += 1s);
    ASSERT_EQ(byLoss.wanted(), 1u);
    for (int i = 0; i < 15; ++i) byLoss.onLoss(0, t += 1s);
    EXPECT_EQ(byLoss.wanted(), 1u) << "15 s is not the 20 s it waits now";
    for (int i = 0; i < 5; ++i) byLoss.onLoss(0, t += 1s);
    EXPECT_EQ(byLoss.wanted(), 0u);
}

// VP8 frames the packetizer takes (a key frame has the P bit clear), `size` bytes each.
std::vector<uint8_t> frame(bool key, size_t size, uint8_t fill) {
    std::vector<uint8_t> f(size, fill);
    f[0] = key ? 0x10 : 0x11;
    return f;
}

struct Sent {
    uint16_t sequence;  // in the viewer's numbering
    uint8_t fill;  // which rendition's frame it carries
};

TEST(RtcVideoFanOut, AViewerMovesAtTheWantedRenditionsKeyFrameWithItsNumbersUnbroken) {
    RtcVideoFanOut fanOut(kRates);
    RtcSession viewer;
    viewer.wantsVideo = true;
    viewer.video.sequenceOffset = 1234;
    std::vector<Sent> sent;
    const RtcVideoFanOut::Send send = [&](RtcSession &s, const webrtc::RtpPacket &p) {
        sent.push_back({uint16_t(p.sequence() + s.video.sequenceOffset), p.bytes[webrtc::RtpHeaderSize + 4 + 1]});
    };
    std::vector<RtcSession *> viewers;

    // Both renditions' key frames at each second, 10 frames a second; the top is larger.
    const auto second = [&](int n) {
        for (int i = 0; i < 10; ++i) {
            const uint32_t ts = uint32_t((n * 10 + i) * 9000);
            fanOut.onFrame(0, frame(i == 0, 3000, 0xA0), ts, i == 0, viewers, send);
            fanOut.onFrame(1, frame(i == 0, 500, 0xB0), ts, i == 0, viewers, send);
        }
    };
    second(0);
    viewers.push_back(&viewer);
    ASSERT_TRUE(fanOut.startViewer(viewer, send)) << "it starts at the group kept";
    ASSERT_TRUE(viewer.choice);
    EXPECT_EQ(sent.size(), 10u * 3) << "the top's group: ten frames of three packets";
    second(1);
    EXPECT_EQ(sent.front().fill, 0xA0) << "it begins on the top";
    // Its link is found slow in the middle of the second: it moves at the next key frame.
    viewer.choice->onLoss(60, Clock::now());
    viewer.choice->onLoss(60, Clock::now());
    const size_t beforeMove = sent.size();
    second(2);
    for (size_t i = 1; i < sent.size(); ++i) ASSERT_EQ(sent[i].sequence, uint16_t(sent[i - 1].sequence + 1)) << i;
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].fill, i < beforeMove ? 0xA0 : 0xB0) << i;

    // A NACK names its own numbers: from before the move, another rendition's packet.
    const webrtc::RtpPacket *again = fanOut.resend(viewer, sent.back().sequence);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->bytes[webrtc::RtpHeaderSize + 4 + 1], 0xB0);
    EXPECT_EQ(fanOut.resend(viewer, sent[beforeMove - 1].sequence), nullptr);
}

}  // namespace
}  // namespace morlanex
