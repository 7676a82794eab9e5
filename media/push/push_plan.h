// Internal header file.
//
// What the pusher sends and keeps, without sockets (the policy beside BroadcastPusher's I/O):
//  - PushAssembler cuts the browser rendition (a WebM header, then chunks, some of them start
//    points: a cluster beginning with a key frame) into segments as the network sink does, each
//    the chunks from one start point to the next, numbered from 0 and timed by its clusters' own
//    time codes;
//  - PushQueue holds the complete segments waiting for the uplink, at most so many segments
//    and bytes: a newcomer over either bound drops the oldest waiting whole, so a slow link
//    skips segments and never sends a cut one;
//  - PushedWindow knows which segments are on the tier and answers for them as the sink answers
//    for its own: "latest" (the newest one pushed) and a dynamic DASH manifest listing only the
//    pushed ones (a skipped one is a gap in its timeline, which players step over).
//
// Threads: not thread-safe; BroadcastPusher guards them.
#pragma once

#include "media/netsink/webm_reader.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace morlanex {

struct PushSegment {
    uint64_t number = 0;
    uint64_t startMs = 0, durationMs = 0;  // media time
    std::shared_ptr<const std::vector<uint8_t>> bytes;  // whole clusters
    std::chrono::system_clock::time_point completedAt;  // when its end (the next start point) came
};

class PushAssembler {
public:
    static constexpr size_t kMaxSegmentBytes = 8 * 1024 * 1024;  // the shield's limit of a body

    // A new stream: numbering starts again. False when the header does not read as WebM.
    bool header(std::span<const uint8_t> bytes);
    const std::vector<uint8_t> &headerBytes() const { return header_; }
    const WebmHeaderInfo &info() const { return info_; }
    // The next chunk; the segment that a start point completes, if any. A segment whose times do
    // not read, or one over kMaxSegmentBytes, is left out (`*skipped` counts them).
    std::optional<PushSegment> chunk(std::span<const uint8_t> bytes, bool startPoint, uint64_t *skipped);

private:
    std::vector<uint8_t> header_;
    WebmHeaderInfo info_;
    bool started_ = false;  // a start point came since the header
    bool oversized_ = false;
    std::vector<uint8_t> pending_;
    std::optional<uint64_t> pendingStartMs_;
    uint64_t next_ = 0;
};

class PushQueue {
public:
    PushQueue(size_t maxSegments, size_t maxBytes) : maxSegments_(maxSegments), maxBytes_(maxBytes) {}

    // Adds a segment; returns how many of the oldest waiting were dropped to keep the bounds.
    size_t add(PushSegment segment);
    std::optional<PushSegment> take();
    void clear() { waiting_.clear(), bytes_ = 0; }
    bool empty() const { return waiting_.empty(); }
    bool full() const { return waiting_.size() >= maxSegments_; }
    size_t bytes() const { return bytes_; }

private:
    size_t maxSegments_, maxBytes_;
    std::deque<PushSegment> waiting_;
    size_t bytes_ = 0;
};

class PushedWindow {
public:
    static constexpr size_t kListed = 6;  // segments the manifest lists, about 18 s

    void reset(std::string session, WebmHeaderInfo info);
    // The segment is on the tier, its tracks `trackBytes` long (in the header's order).
    void pushed(const PushSegment &segment, std::vector<uint64_t> trackBytes);
    bool any() const { return !listed_.empty(); }
    // {"session":"...","segment":N}, N the newest pushed.
    std::string latest() const;
    // The dynamic manifest of the listed segments, published `now`.
    std::string manifest(std::chrono::system_clock::time_point now) const;

private:
    struct Listed {
        uint64_t number, startMs, durationMs;
        std::vector<uint64_t> trackBytes;
    };
    std::string session_;
    WebmHeaderInfo info_;
    std::deque<Listed> listed_;
    std::optional<int64_t> availabilityStartMs_;  // since the Unix epoch
};

}  // namespace morlanex
