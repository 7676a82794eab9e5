// The benchmark's load generator: many HTTP viewers in one process on one epoll loop. Each
// viewer sends a plain GET, reads the response and counts the body bytes; nothing is stored.
//
// Timeline of run(): connect all viewers (a few hundred at a time), wait until every one has
// its response head or failed, warm up (the join burst from the last key frame passes), then
// measure for `window`: per viewer, the body bytes received inside the window. A viewer
// "kept up" when it received at least 99% of referenceBytesPerSecond * window, less what
// `edgeAllowance` of stream is worth: a server that writes in bursts (every 400 ms, say)
// may have one burst fall just outside the window.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace morlanex::bench {

struct LoadResult {
    size_t viewers = 0;      // attempted
    size_t served = 0;       // got 200
    size_t refused = 0;      // other status, or could not connect
    size_t dropped = 0;      // served, then closed by the server before the end
    size_t keptUp = 0;       // served, still there, >= 99% of the reference in the window
    uint64_t windowBytes = 0;
    double windowSeconds = 0;
    double meanBytesPerSecond = 0;  // per served viewer, in the window
};

struct LoadOptions {
    uint16_t port = 0;
    size_t viewers = 1;
    std::chrono::seconds warmUp{5};
    std::chrono::seconds window{60};
    std::chrono::milliseconds edgeAllowance{500};
    double referenceBytesPerSecond = 0;  // 0: do not judge "kept up"
    std::function<void()> onWindowStart, onWindowEnd;
};

LoadResult runLoad(const LoadOptions &options);

}  // namespace morlanex::bench
