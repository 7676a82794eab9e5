// What the pusher sends and keeps, without sockets: the rendition cut into whole segments as the
// sink cuts it, a slow uplink's queue dropping the oldest waiting whole, and a manifest and
// "latest" that name only what reached the tier.
#include "media/push/push_plan.h"
#include "tests/netsink/webm_test_stream.h"

#include <gtest/gtest.h>

namespace morlanex {
namespace {

namespace w = webmtest;

std::span<const uint8_t> span(const w::Bytes &bytes) { return bytes; }

TEST(PushPlan, ASlowUplinkDropsWholeSegmentsAndOnlyThePushedOnesAreNamed) {
    PushAssembler assembler;
    ASSERT_TRUE(assembler.header(w::liveHeader()));
    PushQueue queue(2, 1 << 20);
    uint64_t skipped = 0;
    size_t dropped = 0;
    std::vector<PushSegment> made;
    // Before the first start point nothing counts; then a cluster every 3 s, each in two chunks.
    EXPECT_FALSE(assembler.chunk(span(w::simpleBlock(1, 10)), false, &skipped));
    for (uint64_t ms = 0; ms <= 15000; ms += 3000) {
        const w::Bytes cluster = w::liveCluster(ms);
        const size_t half = cluster.size() / 2;
        if (std::optional<PushSegment> s = assembler.chunk({cluster.data(), half}, true, &skipped)) {
            made.push_back(*s);
            dropped += queue.add(*s);
        }
        EXPECT_FALSE(assembler.chunk({cluster.data() + half, cluster.size() - half}, false, &skipped));
    }
    ASSERT_EQ(made.size(), 5u);  // the sixth is still being made
    EXPECT_EQ(skipped, 0u);
    EXPECT_EQ(*made[1].bytes, w::liveCluster(3000));
    EXPECT_EQ(made[1].number, 1u);
    EXPECT_EQ(made[1].startMs, 3000u);
    EXPECT_EQ(made[1].durationMs, 3000u);

    // Two may wait: the three oldest went whole, the newest two wait in order.
    EXPECT_EQ(dropped, 3u);
    EXPECT_EQ(queue.bytes(), w::liveCluster(9000).size() + w::liveCluster(12000).size());
    EXPECT_EQ(queue.take()->number, 3u);
    EXPECT_EQ(queue.take()->number, 4u);
    EXPECT_FALSE(queue.take());

    // On the tier: 0, then (after a gap) 3 and 4. The manifest lists those and no others.
    PushedWindow window;
    window.reset("1a2b3c4d", assembler.info());
    for (size_t i : {0, 3, 4}) window.pushed(made[i], {1000, 200});
    EXPECT_EQ(window.latest(), "{\"session\":\"1a2b3c4d\",\"segment\":4}");
    const std::string manifest = window.manifest(std::chrono::system_clock::now());
    for (const char *s : {"<S t=\"0\" d=\"3000\"/>", "<S t=\"9000\" d=\"3000\"/>", "<S t=\"12000\" d=\"3000\"/>"})
        EXPECT_NE(manifest.find(s), std::string::npos) << manifest;
    for (const char *s : {"t=\"3000\"", "t=\"6000\"", "t=\"15000\""}) EXPECT_EQ(manifest.find(s), std::string::npos);
    EXPECT_NE(manifest.find("media=\"1a2b3c4d/t1/$Time$\""), std::string::npos);
    // Each track's rate over the 9 s listed: 3 x 1000 bytes of video.
    EXPECT_NE(manifest.find("bandwidth=\"2666\""), std::string::npos) << manifest;
}

TEST(PushPlan, ASegmentTooLargeToPushOrWithoutTimesIsLeftOut) {
    PushAssembler assembler;
    EXPECT_FALSE(assembler.header(w::Bytes(40, 0x42))) << "not WebM";
    ASSERT_TRUE(assembler.header(w::liveHeader()));
    uint64_t skipped = 0;
    EXPECT_FALSE(assembler.chunk(span(w::liveCluster(0)), true, &skipped));
    const w::Bytes big(PushAssembler::kMaxSegmentBytes, 0);
    EXPECT_FALSE(assembler.chunk(span(big), false, &skipped));
    EXPECT_FALSE(assembler.chunk(span(w::liveCluster(3000)), true, &skipped));
    EXPECT_EQ(skipped, 1u);
    // A start point whose time does not read ends the segment before it, which has no end time.
    EXPECT_FALSE(assembler.chunk(span(w::simpleBlock(1, 10)), true, &skipped));
    EXPECT_EQ(skipped, 2u);
    EXPECT_FALSE(assembler.chunk(span(w::liveCluster(9000)), true, &skipped)) << "its start did not read";
    EXPECT_EQ(skipped, 3u);
    const std::optional<PushSegment> next = assembler.chunk(span(w::liveCluster(12000)), true, &skipped);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->startMs, 9000u);
    EXPECT_EQ(next->number, 0u) << "numbers go to segments made";
}

}  // namespace
}  // namespace morlanex
