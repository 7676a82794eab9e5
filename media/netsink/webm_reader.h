// Internal header file.
//
// What a DASH manifest needs to know of a live WebM stream, read from its own bytes, and the
// stream cut into one stream per track, as DASH players want it (each representation one
// track: ffmpeg and the browsers' DASH players take no muxed ones).
//
// Reading: from the header (EBML header, Segment, Info, Tracks) the time scale and each track's
// number, codec, picture size, frame duration and sample rate; from a chunk that begins a
// cluster, the cluster's time. Only the elements on those paths are read; everything else is
// stepped over, and anything cut off or malformed gives nullopt rather than a guess.
//
// Cutting: the header with one track entry only, and whole clusters with only that track's
// blocks. The clusters are written with an unknown size, as a live stream's are, so nothing
// needs counting; the header's SeekHead and Cues are left out (their positions would be wrong).
//
// Threads: plain functions; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace morlanex {

struct WebmTrack {
    uint64_t number = 0;  // TrackNumber, as its blocks name it
    uint64_t type = 0;  // TrackType: 1 video, 2 audio
    std::string codec;  // as DASH names it ("vp8", "vorbis"); empty for a codec it does not know
    uint32_t width = 0, height = 0;  // video; 0 when not written
    uint64_t frameDurationNs = 0;  // DefaultDuration; 0 when not written
    uint32_t sampleRateHz = 0;  // audio; 0 when not written

    bool video() const { return type == 1; }
    bool audio() const { return type == 2; }
};

struct WebmHeaderInfo {
    uint64_t timecodeScaleNs = 1000000;  // Info's TimecodeScale (1 ms unless the muxer says otherwise)
    std::vector<WebmTrack> tracks;  // in the header's order
};

std::optional<WebmHeaderInfo> readWebmHeader(std::span<const uint8_t> bytes);

// The time in ms of the cluster that `chunk` begins with, in the header's time scale; nullopt
// when the chunk does not begin with a cluster or its Timecode is not in it.
std::optional<uint64_t> clusterTimeMs(std::span<const uint8_t> chunk, uint64_t timecodeScaleNs);

// The header with track `number` only; empty when it does not read or has no such track.
std::vector<uint8_t> webmTrackHeader(std::span<const uint8_t> header, uint64_t number);
// Appends `clusters` (whole clusters, as a segment holds them) with the blocks of track
// `number` only. False, with what was read so far appended, when the bytes do not read.
bool appendWebmTrackClusters(std::span<const uint8_t> clusters, uint64_t number, std::vector<uint8_t> *out);

}  // namespace morlanex
