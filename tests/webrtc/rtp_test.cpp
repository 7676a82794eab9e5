// RTP: VP8 frames made into packets once and put back together, a viewer's rewrite of them,
// Opus packets, and the retransmission ring.
#include "webrtc/rtp.h"

#include <gtest/gtest.h>

#include <vector>

using namespace morlanex::webrtc;

namespace {

// RFC 7741 4.2 read back: the descriptor's PictureID and S bit, and the payload after it.
struct Vp8Payload {
    bool start = false;
    int pictureId = -1;
    std::span<const std::uint8_t> data;
};

Vp8Payload readVp8(std::span<const std::uint8_t> payload) {
    Vp8Payload p;
    std::size_t at = 1;
    p.start = payload[0] & 0x10;
    if (payload[0] & 0x80) {  // X
        const std::uint8_t flags = payload[at++];
        if (flags & 0x80) {  // I
            p.pictureId = payload[at] & 0x7F;
            if (payload[at++] & 0x80) p.pictureId = p.pictureId << 8 | payload[at++];
        }
        at += (flags & 0x40 ? 1 : 0) + (flags & 0x30 ? 1 : 0);
    }
    p.data = payload.subspan(at);
    return p;
}

std::vector<std::uint8_t> frameOf(std::size_t size) {
    std::vector<std::uint8_t> frame(size);
    for (std::size_t i = 0; i < size; ++i) frame[i] = std::uint8_t(i * 7 + i / 251);
    return frame;
}

}  // namespace

TEST(Vp8, FrameLargerThanTheMtuIsSplitAndReassembles) {
    Vp8Packetizer packetizer(96, 0xCAFE, 65534, 0x7FFF);
    RtpPackets packets;
    const auto frame = frameOf(3000);
    ASSERT_TRUE(packetizer.packetize(frame, 90000, packets));
    ASSERT_EQ(packets.packets().size(), 3u);

    std::vector<std::uint8_t> reassembled;
    std::uint16_t expectedSequence = 65534;  // and on across the wrap
    for (std::size_t i = 0; i < packets.packets().size(); ++i) {
        const RtpPacket &packet = packets.packets()[i];
        EXPECT_LE(packet.size, MaxRtpPacketSize);
        const auto header = readRtpHeader(packet.view());
        ASSERT_TRUE(header);
        EXPECT_EQ(header->payloadType, 96);
        EXPECT_EQ(header->ssrc, 0xCAFEu);
        EXPECT_EQ(header->timestamp, 90000u);
        EXPECT_EQ(header->sequence, expectedSequence++);
        EXPECT_EQ(header->marker, i == 2);
        const Vp8Payload vp8 = readVp8(packet.view().subspan(RtpHeaderSize));
        EXPECT_EQ(vp8.start, i == 0);
        EXPECT_EQ(vp8.pictureId, 0x7FFF);
        reassembled.insert(reassembled.end(), vp8.data.begin(), vp8.data.end());
    }
    EXPECT_EQ(reassembled, frame);

    // The next frame: the next PictureID (15 bits, wrapping) and sequence number, one packet.
    ASSERT_TRUE(packetizer.packetize(frameOf(100), 93000, packets));
    ASSERT_EQ(packets.packets().size(), 1u);
    EXPECT_EQ(readVp8(packets.packets()[0].view().subspan(RtpHeaderSize)).pictureId, 0);
    EXPECT_EQ(packets.packets()[0].sequence(), 1);
    EXPECT_TRUE(readRtpHeader(packets.packets()[0].view())->marker);
    EXPECT_FALSE(packetizer.packetize({}, 96000, packets));

    const std::uint8_t keyFrame[] = {0x50, 0x2d, 0x01, 0x9d, 0x01, 0x2a};
    const std::uint8_t interFrame[] = {0x31, 0x0e, 0x00};
    EXPECT_TRUE(isVp8KeyFrame(keyFrame));
    EXPECT_FALSE(isVp8KeyFrame(interFrame));
}

TEST(Rtp, ViewerRewriteChangesOnlyPayloadTypeSsrcSequenceAndTimestamp) {
    OpusPacketizer opus(111, 1, 100);
    RtpPacket packet;
    const std::uint8_t frame[] = {0x78, 1, 2, 3};
    ASSERT_TRUE(opus.packetize(frame, 4800, packet));
    ASSERT_EQ(packet.size, RtpHeaderSize + sizeof frame);

    const RtpRewrite viewer{0xABCDEF01, 65500, 0xFFFFFF00, 109};
    RtpPacket copy = packet;
    viewer.apply({copy.bytes.data(), copy.size});
    const auto header = readRtpHeader(copy.view());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->ssrc, 0xABCDEF01u);
    EXPECT_EQ(header->sequence, std::uint16_t(100 + 65500));
    EXPECT_EQ(header->timestamp, 4800u + 0xFFFFFF00u);
    EXPECT_EQ(header->payloadType, 109);
    EXPECT_FALSE(header->marker);
    EXPECT_EQ(viewer.sourceSequence(header->sequence), 100);
    EXPECT_TRUE(std::equal(copy.bytes.begin() + RtpHeaderSize, copy.bytes.begin() + copy.size, std::begin(frame)));
}

TEST(Rtp, HistoryKeepsTheLastPacketsForRetransmission) {
    RtpHistory history(500);  // 512 slots
    OpusPacketizer opus(111, 1, 65400);
    RtpPacket packet;
    const std::uint8_t frame[] = {1};
    for (int i = 0; i < 600; ++i) {
        opus.packetize(frame, std::uint32_t(i * OpusFrameSamples), packet);
        history.store(packet);
    }
    // Sent: 65400 .. 65535, 0 .. 463; the ring holds the last 512 of them.
    const RtpPacket *last = history.find(463);
    ASSERT_TRUE(last);
    EXPECT_EQ(readRtpHeader(last->view())->timestamp, 599u * OpusFrameSamples);
    EXPECT_TRUE(history.find(std::uint16_t(463 - 511)));
    EXPECT_FALSE(history.find(std::uint16_t(463 - 512)));
    EXPECT_FALSE(history.find(464));
}
