// Test support: live WebM bytes written element by element, as webmmux writes a live stream
// (the Segment and each Cluster of unknown size), for the WebM reader's and the DASH
// manifest's tests and the reader's fuzzer seeds. Every size but the unknown ones is written
// in 8 bytes, which readers take as any other width.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace morlanex::webmtest {

using Bytes = std::vector<uint8_t>;

// An element of `id` (as written, its length marker included) holding `data`.
inline Bytes element(uint32_t id, const Bytes &data) {
    Bytes out;
    for (int shift = 24; shift >= 0; shift -= 8)
        if (id >> shift || !out.empty()) out.push_back(uint8_t(id >> shift));
    out.push_back(0x01);
    for (int shift = 48; shift >= 0; shift -= 8) out.push_back(uint8_t(data.size() >> shift));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}
inline Bytes uintElement(uint32_t id, uint64_t value) {
    Bytes data;
    for (int shift = 56; shift >= 0; shift -= 8)
        if (value >> shift || !data.empty() || shift == 0) data.push_back(uint8_t(value >> shift));
    return element(id, data);
}
inline Bytes floatElement(uint32_t id, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    Bytes data;
    for (int shift = 56; shift >= 0; shift -= 8) data.push_back(uint8_t(bits >> shift));
    return element(id, data);
}
inline Bytes textElement(uint32_t id, const std::string &text) { return element(id, Bytes(text.begin(), text.end())); }
inline Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// A master element of unknown size: its children follow to the end (or the next of its level).
inline Bytes openElement(uint32_t id) {
    return {uint8_t(id >> 24),
            uint8_t(id >> 16),
            uint8_t(id >> 8),
            uint8_t(id),
            0x01,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF,
            0xFF};
}

constexpr uint32_t kEbml = 0x1A45DFA3, kDocType = 0x4282, kSegment = 0x18538067, kSeekHead = 0x114D9B74,
                   kInfo = 0x1549A966, kTimecodeScale = 0x2AD7B1, kTracks = 0x1654AE6B, kTrackEntry = 0xAE,
                   kTrackNumber = 0xD7, kTrackType = 0x83, kCodecId = 0x86, kDefaultDuration = 0x23E383, kVideo = 0xE0,
                   kPixelWidth = 0xB0, kPixelHeight = 0xBA, kAudio = 0xE1, kSamplingFrequency = 0xB5,
                   kCluster = 0x1F43B675, kTimecode = 0xE7, kSimpleBlock = 0xA3, kBlockGroup = 0xA0, kBlock = 0xA1;

inline Bytes videoTrack(uint64_t number, const std::string &codec, uint32_t width, uint32_t height,
                        uint64_t frameDurationNs) {
    Bytes entry = join({uintElement(kTrackNumber, number), uintElement(kTrackType, 1), textElement(kCodecId, codec)});
    if (frameDurationNs) entry = join({entry, uintElement(kDefaultDuration, frameDurationNs)});
    if (width)
        entry =
            join({entry, element(kVideo, join({uintElement(kPixelWidth, width), uintElement(kPixelHeight, height)}))});
    return element(kTrackEntry, entry);
}
inline Bytes audioTrack(uint64_t number, const std::string &codec, double sampleRateHz) {
    Bytes entry = join({uintElement(kTrackNumber, number), uintElement(kTrackType, 2), textElement(kCodecId, codec)});
    if (sampleRateHz) entry = join({entry, element(kAudio, floatElement(kSamplingFrequency, sampleRateHz))});
    return element(kTrackEntry, entry);
}

// A live stream's header: EBML header, the Segment's start, Info and Tracks with `tracks`.
inline Bytes header(const Bytes &tracks, uint64_t timecodeScaleNs = 1000000) {
    return join({element(kEbml, textElement(kDocType, "webm")), openElement(kSegment), element(kSeekHead, Bytes(8, 0)),
                 element(kInfo, uintElement(kTimecodeScale, timecodeScaleNs)), element(kTracks, tracks)});
}
// VP8 320 x 240 at 15 frames/s as track 1, Vorbis at 44.1 kHz as track 2: what the browser
// rendition sends.
inline Bytes liveTracks() {
    return join({videoTrack(1, "V_VP8", 320, 240, 66666666), audioTrack(2, "A_VORBIS", 44100)});
}
inline Bytes liveHeader(uint64_t timecodeScaleNs = 1000000) { return header(liveTracks(), timecodeScaleNs); }

// A block's data: of `track`, with `payload` bytes at `offset` from its cluster's time.
inline Bytes blockData(uint64_t track, size_t payload, int16_t offset = 0, bool key = true) {
    Bytes data{uint8_t(0x80 | track), uint8_t(offset >> 8), uint8_t(offset), uint8_t(key ? 0x80 : 0)};
    data.resize(4 + payload, uint8_t(track));
    return data;
}
inline Bytes simpleBlock(uint64_t track, size_t payload, int16_t offset = 0) {
    return element(kSimpleBlock, blockData(track, payload, offset));
}
// The start of a cluster at `timecode` (in the header's scale); its blocks follow.
inline Bytes clusterStart(uint64_t timecode) { return join({openElement(kCluster), uintElement(kTimecode, timecode)}); }
// A cluster with one video frame of track 1 (1000 bytes) and two sound blocks of track 2 (100 bytes).
inline Bytes liveCluster(uint64_t timecode) {
    return join({clusterStart(timecode), simpleBlock(1, 1000), simpleBlock(2, 100), simpleBlock(2, 100, 20)});
}

}  // namespace morlanex::webmtest
