// Internal header of the directory daemon.
//
// LogLimiter: how many log lines each source address may cause. Every source
// has a bucket of `burst` lines that refills at `perSecond`; all sources
// together may log at most `totalPerSecond` lines a second. Lines over the
// limit are counted, and summary() reports them once in a while, so a flood
// from one address costs a few lines a second however fast it comes.
//
// Threads: one (the daemon's loop).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace morlanex {

class TokenBucket {
public:
    using Clock = std::chrono::steady_clock;
    TokenBucket() = default;
    TokenBucket(double burst, double perSecond, Clock::time_point now)
        : tokens_(burst), burst_(burst), perSecond_(perSecond), last_(now) {}

    // Takes one token when there is one.
    bool take(Clock::time_point now);
    // True when it has refilled to its burst (nothing to remember about the source).
    bool full(Clock::time_point now) const;

private:
    void refill(Clock::time_point now);

    double tokens_ = 0;
    double burst_ = 0;
    double perSecond_ = 0;
    Clock::time_point last_{};
};

// TokenBuckets by source address; sources that have refilled are forgotten.
// At most maxSources are remembered: when that many are still draining (a
// flood from forged addresses), a new source gets nothing until some refill.
class SourceBuckets {
public:
    using Clock = TokenBucket::Clock;
    static constexpr std::size_t DefaultMaxSources = 65536;
    SourceBuckets(double burst, double perSecond, std::size_t maxSources = DefaultMaxSources)
        : burst_(burst), perSecond_(perSecond), maxSources_(maxSources) {}

    bool take(const std::string &source, Clock::time_point now);
    void forgetFull(Clock::time_point now);
    std::size_t size() const { return buckets_.size(); }

private:
    double burst_;
    double perSecond_;
    std::size_t maxSources_;
    std::unordered_map<std::string, TokenBucket> buckets_;
};

class LogLimiter {
public:
    using Clock = TokenBucket::Clock;
    LogLimiter(double burst, double perSecond, double totalPerSecond);

    bool allow(const std::string &source, Clock::time_point now);
    // A line about the lines held back since the last summary, if any.
    std::optional<std::string> summary(Clock::time_point now);

private:
    SourceBuckets sources_;
    TokenBucket total_;
    std::uint64_t suppressed_ = 0;
    std::unordered_map<std::string, std::uint64_t> suppressedBySource_;
};

}  // namespace morlanex
