// Public header file.
//
// AsfPacket: reads just enough of one ASF data packet (error-correction data, payload parsing
// information, single or multiple payloads) to tell whether a viewer may start there, and
// when it is due to be sent.
//
// A packet is a start point when one of its payloads begins a key frame of a video stream
// (stream number byte with the 0x80 key-frame bit and offset 0 into the media object). With no
// video stream every packet is a start point. Malformed packets are never start points, and
// reading them never goes past the given bytes.
//
// Threads: plain functions on immutable input; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace morlanex {

struct AsfPacketInfo {
    uint32_t sendTime_ms = 0;
    bool startsVideoKeyFrame = false;
};

// Parses the packet's parsing information and payload headers. nullopt when it is malformed.
std::optional<AsfPacketInfo> parseAsfPacket(std::span<const uint8_t> packet,
                                            std::span<const uint8_t> videoStreams);

// The join rule above: true for a valid packet that starts a video key frame, or for any
// valid packet when `videoStreams` is empty.
bool isAsfStartPoint(std::span<const uint8_t> packet, std::span<const uint8_t> videoStreams);

}  // namespace morlanex
