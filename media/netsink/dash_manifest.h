// Internal header file.
//
// DashManifest: a dynamic MPEG-DASH manifest (MPD) of a live WebM stream's cacheable segments,
// so that players other than our own page (ffmpeg, VLC, DASH players in browsers) can play
// them, through a tier of caches too.
//
// The manifest describes the segments the sink already serves (see
// MediaStreamConfig::segmentPrefix), one adaptation set per track: DASH players take one track
// per representation (ffmpeg labels every packet of a representation as one stream), so each
// track is served on its own, cut from the same segments ("<session>/t<track>/header" and
// "<session>/t<track>/<start>", see webm_reader.h). A track's segment is named by its start
// ($Time$, in ms) and the timeline numbered from 0: ffmpeg takes a segment's place in the
// timeline for its number once it reloads the manifest, so names by number would go wrong as
// the window moves on. The SegmentTemplate addresses are RELATIVE, so the manifest works below
// any prefix a cache puts in front; the SegmentTimeline lists the complete segments in the
// window, in ms taken from each cluster's own time code. The oldest
// complete segment is left out: it is the next to leave the window, and a player that starts
// there could find it gone.
//
// Wall-clock time: availabilityStartTime is when media time 0 was live, reckoned from when the
// newest listed segment became complete (its next start point reached the sink) and kept while
// later segments agree within a second, as DASH wants it constant; a jump (the encoder
// restarted its clock) sets it anew.
//
// Nothing a user or peer controls goes into the text: numbers, the sink's own session (hex)
// and codec names from a fixed table.
//
// Threads: not thread-safe; used by the sink's loop thread only.
#pragma once

#include "media/netsink/stream_buffer.h"
#include "media/netsink/webm_reader.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace morlanex {

struct DashSegment {
    uint64_t number = 0;
    uint64_t startMs = 0, durationMs = 0;  // media time
};

struct DashManifest {
    std::string session;  // the segments' folder
    WebmHeaderInfo stream;
    std::vector<uint64_t> bandwidthBps;  // of each track of `stream`
    std::chrono::system_clock::time_point availabilityStart, published;
    std::vector<DashSegment> segments;  // consecutive numbers, each starting where the last ended or later

    std::string text() const;
};

// The segment of `buffer` (a WebM stream) that starts at media time `startMs`, complete or the
// one being made; nullopt when there is none in the window.
struct SegmentAt {
    uint64_t number;
    bool complete;
};
std::optional<SegmentAt> segmentStartingAt(const StreamBuffer &buffer, uint64_t startMs);

class DashTimeline {
public:
    // The manifest of the complete segments of `buffer` (a WebM stream) now; nullopt when there
    // is no header that reads as WebM or no complete segment with readable times yet.
    std::optional<DashManifest> describe(const StreamBuffer &buffer, const std::string &session);

private:
    std::optional<int64_t> startMs_;  // availabilityStartTime, ms since the Unix epoch
    // Bytes of each track in the segments listed last, by segment: each is cut once.
    std::map<uint64_t, std::vector<uint64_t>> trackBytes_;
};

}  // namespace morlanex
