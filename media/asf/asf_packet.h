// Public header file.
//
// AsfPacket: reads one ASF data packet (error-correction data, payload parsing information,
// single or multiple payloads): its payloads, whether a viewer may start there, and when it is
// due to be sent.
//
// A packet is a start point when one of its payloads begins a key frame of a video stream
// (stream number byte with the 0x80 key-frame bit and offset 0 into the media object). With no
// video stream every packet is a start point. Malformed packets are never start points, and
// reading them never goes past the given bytes.
//
// Threads: plain functions on immutable input; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace morlanex {

// One payload: a media object (frame) or a piece of one. The spans point into the packet.
struct AsfPayload {
    uint8_t stream = 0;  // 1..127
    bool keyFrame = false;
    uint32_t objectNumber = 0;
    uint32_t offset = 0;  // into the media object; with a compressed payload, a time
    std::span<const uint8_t> replicated;
    std::span<const uint8_t> data;

    // With one byte of replicated data the payload holds whole objects.
    bool compressed() const { return replicated.size() == 1; }
    bool startsObject() const { return compressed() || offset == 0; }
    // From the replicated data; 0 when it is shorter than 8 bytes.
    uint32_t objectSize() const;
    uint32_t presentationMs() const;
};

struct AsfPacketContents {
    uint32_t sendTimeMs = 0;
    uint16_t durationMs = 0;
    uint32_t paddingBytes = 0;
    size_t payloadsEnd = 0;  // where the last payload ends
    std::vector<AsfPayload> payloads;
};

// Every payload of the packet; nullopt when it is malformed.
std::optional<AsfPacketContents> readAsfPacket(std::span<const uint8_t> packet);

// The send time from the packet's first bytes (its parsing information); nullopt when they do
// not hold it.
std::optional<uint32_t> asfPacketSendTime(std::span<const uint8_t> start);

struct AsfPacketInfo {
    uint32_t sendTime_ms = 0;
    bool startsVideoKeyFrame = false;
};

// Parses the packet's parsing information and payload headers. nullopt when it is malformed.
std::optional<AsfPacketInfo> parseAsfPacket(std::span<const uint8_t> packet, std::span<const uint8_t> videoStreams);

// The join rule above: true for a valid packet that starts a video key frame, or for any
// valid packet when `videoStreams` is empty.
bool isAsfStartPoint(std::span<const uint8_t> packet, std::span<const uint8_t> videoStreams);

}  // namespace morlanex
