// Token buckets and the log limiter with explicit times: bursts, refills, the
// bound on remembered sources, and the summary of held-back lines.
#include "common/log_limiter.h"

#include <gtest/gtest.h>

using namespace morlanex;
using namespace std::chrono_literals;

namespace {
const TokenBucket::Clock::time_point Start{};
}  // namespace

TEST(TokenBucket, GivesItsBurstThenRefillsAtItsRate) {
    TokenBucket bucket(3, 2, Start);  // 3 at once, then 2 a second
    EXPECT_TRUE(bucket.take(Start));
    EXPECT_TRUE(bucket.take(Start));
    EXPECT_TRUE(bucket.take(Start));
    EXPECT_FALSE(bucket.take(Start));
    EXPECT_FALSE(bucket.take(Start + 400ms));
    EXPECT_TRUE(bucket.take(Start + 500ms));
    EXPECT_FALSE(bucket.full(Start + 1s));
    EXPECT_TRUE(bucket.full(Start + 2s));
    // Never more than the burst, however long it waited.
    const auto later = Start + 1h;
    int taken = 0;
    while (bucket.take(later)) ++taken;
    EXPECT_EQ(taken, 3);
}

TEST(SourceBuckets, EachSourceHasItsOwnAndForgedSourcesAreBounded) {
    SourceBuckets sources(2, 1, 3);
    EXPECT_TRUE(sources.take("10.0.0.1", Start));
    EXPECT_TRUE(sources.take("10.0.0.1", Start));
    EXPECT_FALSE(sources.take("10.0.0.1", Start));
    EXPECT_TRUE(sources.take("10.0.0.2", Start));  // another source is not held back
    EXPECT_TRUE(sources.take("10.0.0.3", Start));
    // Three sources draining: a fourth gets nothing, and is not remembered.
    EXPECT_FALSE(sources.take("10.0.0.4", Start));
    EXPECT_EQ(sources.size(), 3u);
    // Refilled sources are forgotten, which makes room.
    EXPECT_TRUE(sources.take("10.0.0.4", Start + 3s));
    EXPECT_EQ(sources.size(), 1u);
}

TEST(LogLimiter, AFloodFromOneSourceIsHeldBackAndSummedUp) {
    LogLimiter limiter(5, 1, 100);
    int logged = 0;
    for (int i = 0; i < 1000; ++i) logged += limiter.allow("10.0.0.9", Start) ? 1 : 0;
    EXPECT_EQ(logged, 5);
    EXPECT_TRUE(limiter.allow("10.0.0.10", Start)) << "another source still logs";
    const auto summary = limiter.summary(Start + 10s);
    ASSERT_TRUE(summary);
    EXPECT_EQ(*summary, "995 log lines held back from 1 sources, most from 10.0.0.9 (995)");
    EXPECT_FALSE(limiter.summary(Start + 20s)) << "nothing new to sum up";
}
