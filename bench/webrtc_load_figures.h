// What each of the WebRTC load's viewers received, and the figures summed from it (see
// webrtc_load.h for what they mean).
#pragma once

#include "webrtc_load.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace morlanex::bench {

using LoadClock = std::chrono::steady_clock;

struct TrackFigures {
    uint64_t expected = 0, received = 0;  // in the window; expected 0: the stream did not begin
};

struct WholeFrame {
    float at;  // s from the window's start
    float lateness;  // arrival less RTP time, before the viewer's origin is taken off
};

struct ViewerFigures {
    size_t group = 0;
    bool storm = false;
    LoadClock::time_point requested{}, firstFrame{}, lastFrame{};  // firstFrame: its first whole one ever
    std::vector<WholeFrame> frames;  // in the window
    TrackFigures video, audio;
    uint64_t bytesAfterLink = 0;  // in the window
    std::vector<uint32_t> offeredPerSecond;  // bytes that came to its link in each second of the window
};

struct WindowTimes {
    LoadClock::time_point start, end;
    LoadClock::time_point stormStart, stormEnd;  // the storm's joins from the first on, and 5 s after the last
};

// Fills `result`'s figures (all but viewers, joined, failures, windowBytes and windowSeconds).
void summarize(const std::vector<ViewerFigures> &viewers, const WebrtcLoadOptions &options, const WindowTimes &times,
               WebrtcLoadResult &result);

}  // namespace morlanex::bench
