// Internal header file.
//
// RtcRenditionChoice: which of the VP8 renditions one WebRTC viewer's link carries, from what
// its receiver reports say. Renditions are numbered from the top (0, the level's rate) down.
//
// Down one at once when two reports running say more than a tenth of the packets were lost, or
// when the browser's bandwidth estimate (REMB) falls below four fifths of the rendition's rate
// once the viewer has been on it 5 s (the estimate starts low and climbs). Up one once the
// link has lost no more than 2 % in any report for 10 s. The estimate cannot say a link would
// carry more: a browser's never goes far above what it receives. A move up that is followed by
// a move down within that wait doubles the wait before the next try (at most 80 s), so a link
// at its limit is not flipped to and fro.
//
// Threads: the sink's loop thread; time is passed in, so tests step it.
#pragma once

#include <chrono>
#include <cstdint>
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
    Clock::time_point since_;  // on this rendition
    Clock::time_point clearSince_;  // no report over the up limit since then
    Clock::time_point lastUp_;
    std::chrono::seconds upWait_;
};

}  // namespace morlanex
