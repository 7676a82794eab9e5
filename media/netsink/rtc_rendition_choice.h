// Internal header file.
//
// RtcRenditionChoice: which of the VP8 renditions one WebRTC viewer's link carries, from what
// its receiver reports say. Renditions are numbered from the top (0, the level's rate) down.
//
// Down one at once when the browser's bandwidth estimate (REMB) falls below the rendition's
// rate, or when two reports running say more than a tenth of the packets were lost. Up one
// once the link has looked able to carry it for a while: no report over 2 % lost for 10 s,
// and an estimate (when the browser sends one) a fifth above the higher rate. A move up that
// is followed by a move down within that time doubles the wait before the next try (at most
// 80 s), so a link at its limit is not flipped to and fro.
//
// Threads: the sink's loop thread; time is passed in, so tests step it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace morlanex {

class RtcRenditionChoice {
public:
    using Clock = std::chrono::steady_clock;

    // `rates`: each rendition's video bits per second, the top first. Starts on the top.
    RtcRenditionChoice(std::span<const uint32_t> rates, Clock::time_point now);

    void onLoss(uint8_t fractionLost, Clock::time_point now);  // of 256, since the last report
    void onEstimate(uint64_t bitsPerSecond, Clock::time_point now);

    // The rendition the viewer should be on.
    size_t wanted() const { return wanted_; }

private:
    void moveTo(size_t rendition, Clock::time_point now);
    void considerUp(Clock::time_point now);

    std::span<const uint32_t> rates_;
    size_t wanted_ = 0;
    int lossyReports_ = 0;
    std::optional<uint64_t> estimate_;
    Clock::time_point clearSince_;  // no report over the up limit since then
    Clock::time_point lastUp_;
    std::chrono::seconds upWait_;
};

}  // namespace morlanex
