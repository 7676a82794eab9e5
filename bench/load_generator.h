// The benchmark's load generator: many HTTP viewers in one process on one epoll loop. Each
// viewer sends a plain GET, reads the response and counts the body bytes; nothing is stored.
//
// Timeline of run(): connect all viewers (a few hundred at a time), wait until every one has
// its response head or failed, warm up (the join burst from the last key frame passes), then
// measure for `window`: per viewer, the body bytes received inside the window. A viewer
// "kept up" when it received at least 99% of referenceBytesPerSecond * window, less what
// `edgeAllowance` of stream is worth: a server that writes in bursts (every 400 ms, say)
// may have one burst fall just outside the window.
//
// Slow links: a viewer may be given a link rate. It then reads no faster than that (a token
// bucket refilled every 50 ms, holding at most 250 ms of the rate) through a small receive
// buffer and in segments of an Ethernet link (1448 bytes), so what it cannot take waits in the
// server's socket and leaves it in small steps, as behind a slow link.
//
// Delay: asked for, each viewer follows the ASF stream it gets (header, then fixed-size
// packets, or the same in Windows Media framing, which VLC sends) and reads every packet's
// send time. Its delay at a moment is that moment less the
// send time of the newest packet it has, from an origin of its own (only changes count). Over
// the last `delayTail` of the window the result gives how much the delay grew: from its
// smallest in that part to its value at the end. A viewer that keeps up holds it steady; one
// that falls behind adds up to a second each second.
//
// Delay from the join: at the moments `delaySamples` after each viewer sent its request, its
// delay behind the stream's newest packet: that moment less the send time of the newest
// packet it has, plus the smallest lag between a packet's send time and its coming that any
// viewer saw (the server's own moment of the newest packet, as near as a reader sees it).
// Drop: after the window, the viewers marked in `dropping` have their links cut to
// `dropToBytesPerSecond` and are sampled the same way from that moment; the figures of the
// window are taken before.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace morlanex::bench {

struct LoadResult {
    size_t viewers = 0;  // attempted
    size_t served = 0;  // got 200
    size_t refused = 0;  // other status, or could not connect
    size_t dropped = 0;  // served, then closed by the server before the end
    size_t keptUp = 0;  // served, still there, >= 99% of the reference in the window
    uint64_t windowBytes = 0;
    double windowSeconds = 0;
    double meanBytesPerSecond = 0;  // per served viewer, in the window
    // Per viewer, in the order of LoadOptions::linkBytesPerSecond; only when the delay is followed.
    struct Viewer {
        bool served = false;
        bool dropped = false;  // closed by the server before the end
        uint64_t windowBytes = 0;
        bool delayKnown = false;  // packets came in the last part of the window
        double delayGrowth = 0;  // seconds, over the last part of the window
        // Seconds behind the newest packet at each of LoadOptions::delaySamples after its
        // request, and after the drop; negative: it had no packet by then or was gone.
        std::vector<double> afterJoin, afterDrop;
    };
    std::vector<Viewer> perViewer;
};

struct LoadOptions {
    uint16_t port = 0;
    size_t viewers = 1;
    std::chrono::seconds warmUp{5};
    std::chrono::seconds window{60};
    std::chrono::milliseconds edgeAllowance{500};
    double referenceBytesPerSecond = 0;  // 0: do not judge "kept up"
    // Per viewer (by index) the rate its link carries, bytes per second; 0 or missing: no limit.
    std::vector<double> linkBytesPerSecond;
    int slowLinkReceiveBuffer = 4096;  // SO_RCVBUF of a viewer with a link rate (the kernel doubles it)
    std::chrono::seconds delayTail{0};  // 0: the delay is not followed
    std::vector<double> delaySamples;  // seconds after the join (and after the drop), ascending
    std::vector<bool> dropping;  // by index: its link drops after the window
    double dropToBytesPerSecond = 0;  // 0: no drop
    std::function<void()> onWindowStart, onWindowEnd;
};

LoadResult runLoad(const LoadOptions &options);

}  // namespace morlanex::bench
