// The shared packet window: join points, slow-viewer limit, trimming, header changes.
#include "media/asf/asf_packet.h"
#include "media/netsink/stream_buffer.h"
#include "netsink_test_support.h"

#include <gtest/gtest.h>

namespace morlanex {
namespace {

using test::startPackets;

std::shared_ptr<const StreamHeader> recordedHeader() {
    std::string error;
    auto h = StreamHeader::fromMuxer(test::testStream().header, &error);
    EXPECT_TRUE(h) << error;
    return h;
}

void pushRecorded(StreamBuffer &b, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        std::vector<uint8_t> p = test::testStream().packets[i];
        ASSERT_EQ(b.push(std::move(p)), StreamBuffer::PushResult::Accepted);
    }
}

TEST(StreamBuffer, NewViewersJoinAtTheLastKeyFrame) {
    const auto starts = startPackets();
    ASSERT_GE(starts.size(), 3u);
    StreamBuffer b(1 << 20, 4 << 20);
    EXPECT_EQ(b.push(std::vector<uint8_t>(4800)), StreamBuffer::PushResult::NoHeader);
    b.setHeader(recordedHeader());
    EXPECT_EQ(b.joinSeq(), StreamBuffer::kNoPacket);
    pushRecorded(b, 0, starts[1] + 3);
    EXPECT_EQ(b.joinSeq(), starts[1]);
    ASSERT_NE(b.packet(starts[1]), nullptr);
    EXPECT_EQ(**b.packet(starts[1]), test::testStream().packets[starts[1]]);
    EXPECT_EQ(b.packet(b.nextSeq()), nullptr);
    // A viewer that waited from the start gets the first key frame even when it comes in a batch.
    EXPECT_EQ(b.startFrom(0), starts[0]);
    EXPECT_EQ(b.startFrom(starts[0] + 1), starts[1]);
    EXPECT_EQ(b.startFrom(starts[1] + 1), StreamBuffer::kNoPacket);
}

TEST(StreamBuffer, SlowViewersAndTheWindowAreBounded) {
    StreamBuffer b(10 * 4800, 20 * 4800);
    b.setHeader(recordedHeader());
    const auto &packets = test::testStream().packets;
    pushRecorded(b, 0, packets.size());
    EXPECT_LE(b.windowPackets(), 20u);
    EXPECT_GE(b.windowPackets(), 10u);
    EXPECT_EQ(b.backlogPackets(), 10u);
    const uint64_t newest = b.nextSeq() - 1;
    EXPECT_FALSE(b.tooFarBehind(newest - 9));
    EXPECT_TRUE(b.tooFarBehind(newest - 10));
    // Every packet a viewer within the limit still needs is there.
    for (uint64_t s = b.nextSeq() - b.backlogPackets(); s < b.nextSeq(); ++s) EXPECT_NE(b.packet(s), nullptr) << s;
    // With key frames further apart than half the backlog a viewer waits for the next one.
    if (b.joinSeq() != StreamBuffer::kNoPacket) {
        EXPECT_LE(b.nextSeq() - b.joinSeq(), 5u);
    }
}

TEST(StreamBuffer, PadsShortPacketsAndRejectsLongOnes) {
    StreamBuffer b(1 << 20, 1 << 20);
    b.setHeader(recordedHeader());
    std::vector<uint8_t> shortPacket = test::testStream().packets[0];
    const std::vector<uint8_t> original = shortPacket;
    shortPacket.resize(1000);
    ASSERT_EQ(b.push(std::move(shortPacket)), StreamBuffer::PushResult::Accepted);
    const auto &stored = **b.packet(0);
    ASSERT_EQ(stored.size(), 4800u);
    EXPECT_TRUE(std::equal(stored.begin(), stored.begin() + 1000, original.begin()));
    EXPECT_TRUE(std::all_of(stored.begin() + 1000, stored.end(), [](uint8_t v) { return v == 0; }));
    EXPECT_EQ(b.push(std::vector<uint8_t>(4801)), StreamBuffer::PushResult::TooLarge);
    EXPECT_EQ(b.nextSeq(), 1u);
}

TEST(StreamBuffer, ANewHeaderStartsANewJoinPoint) {
    const auto starts = startPackets();
    StreamBuffer b(1 << 20, 4 << 20);
    EXPECT_TRUE(b.setHeader(recordedHeader()));
    EXPECT_FALSE(b.setHeader(recordedHeader())) << "same bytes: no change";
    pushRecorded(b, 0, starts[1] + 1);
    ASSERT_NE(b.joinSeq(), StreamBuffer::kNoPacket);
    auto changed = std::make_shared<StreamHeader>(*recordedHeader());
    changed->raw.back() ^= 1;
    EXPECT_TRUE(b.setHeader(changed));
    EXPECT_EQ(b.headerStart(), b.nextSeq());
    EXPECT_EQ(b.joinSeq(), StreamBuffer::kNoPacket) << "old packets belong to the old header";
    pushRecorded(b, starts[2], starts[2] + 1);
    EXPECT_EQ(b.joinSeq(), b.headerStart());
}

}  // namespace
}  // namespace morlanex
