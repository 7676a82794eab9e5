#include "common/log_limiter.h"

#include <algorithm>

namespace morlanex {
namespace {
// Sources named in a summary's tally at most (the map is bounded by it).
constexpr std::size_t MaxTalliedSources = 4096;
}  // namespace

void TokenBucket::refill(Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - last_).count();
    if (seconds > 0) tokens_ = std::min(burst_, tokens_ + seconds * perSecond_);
    last_ = now;
}

bool TokenBucket::take(Clock::time_point now) {
    refill(now);
    if (tokens_ < 1.0) return false;
    tokens_ -= 1.0;
    return true;
}

bool TokenBucket::full(Clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - last_).count();
    return tokens_ + std::max(0.0, seconds) * perSecond_ >= burst_;
}

bool SourceBuckets::take(const std::string &source, Clock::time_point now) {
    auto it = buckets_.find(source);
    if (it == buckets_.end()) {
        if (buckets_.size() >= maxSources_) forgetFull(now);
        if (buckets_.size() >= maxSources_) return false;
        it = buckets_.emplace(source, TokenBucket(burst_, perSecond_, now)).first;
    }
    return it->second.take(now);
}

void SourceBuckets::forgetFull(Clock::time_point now) {
    std::erase_if(buckets_, [&](auto &entry) { return entry.second.full(now); });
}

LogLimiter::LogLimiter(double burst, double perSecond, double totalPerSecond)
    : sources_(burst, perSecond), total_(totalPerSecond, totalPerSecond, Clock::time_point{}) {}

bool LogLimiter::allow(const std::string &source, Clock::time_point now) {
    if (sources_.take(source, now) && total_.take(now)) return true;
    ++suppressed_;
    if (suppressedBySource_.size() < MaxTalliedSources || suppressedBySource_.contains(source))
        ++suppressedBySource_[source];
    return false;
}

std::optional<std::string> LogLimiter::summary(Clock::time_point now) {
    sources_.forgetFull(now);
    if (suppressed_ == 0) return std::nullopt;
    const auto busiest = std::max_element(suppressedBySource_.begin(), suppressedBySource_.end(),
                                          [](const auto &a, const auto &b) { return a.second < b.second; });
    std::string line = std::to_string(suppressed_) + " log lines held back from " +
        std::to_string(suppressedBySource_.size()) + " sources";
    if (busiest != suppressedBySource_.end())
        line += ", most from " + busiest->first + " (" + std::to_string(busiest->second) + ")";
    suppressed_ = 0;
    suppressedBySource_.clear();
    return line;
}

}  // namespace morlanex
