// Public header file.
//
// AsfHeader: reads the stream header that an ASF writer emits (Header Object followed by the
// 50-byte start of the Data Object) and prepares it for live serving.
//
// The network sink needs three facts from it: the fixed data packet size, which streams carry
// video (their key frames are where a viewer may join), and a copy whose File Properties say
// "broadcast" so that players treat the stream as unbounded. Everything is bounds-checked:
// the bytes come from another component and a bad header must give an error, never a crash.
//
// Threads: plain functions on immutable input; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "media/asf/asf_guids.h"

namespace morlanex {

// Size of the fixed start of the ASF Data Object that ends every stream header.
inline constexpr size_t kAsfDataObjectHeaderBytes = 50;

struct AsfHeaderInfo {
    size_t headerObjectBytes = 0;  // Header Object only
    size_t totalBytes = 0;  // Header Object + Data Object start
    uint32_t packetSize = 0;  // Maximum Data Packet Size (= minimum for live)
    uint32_t preroll_ms = 0;
    std::vector<uint8_t> videoStreams;  // stream numbers 1..127 of video streams
    std::vector<uint8_t> audioStreams;
};

// Parses `bytes`, which must hold exactly the header the muxer emits (no trailing packets
// unless `allowTrailing`). Returns nullopt and sets `*error` when it is not a usable header.
std::optional<AsfHeaderInfo> parseAsfHeader(std::span<const uint8_t> bytes, std::string *error,
                                            bool allowTrailing = false);

// One child of the Header Object: its GUID, and where it starts and how long it is in the
// header's bytes.
struct AsfObjectAt {
    AsfGuid guid{};
    size_t offset = 0;
    size_t size = 0;
};

// The Header Object's children in order. Expects a header that parseAsfHeader accepted.
std::vector<AsfObjectAt> asfHeaderObjects(std::span<const uint8_t> bytes, const AsfHeaderInfo &info);

// The same header with the fields a broadcast must not claim zeroed (file size, packet
// counts, durations, the data object's size), the broadcast flag set and the seekable flag
// cleared. Expects a header that parseAsfHeader accepted.
// `maxBitrateBps` goes into File Properties' Max Bitrate when the muxer left it 0 (some players
// refuse a stream whose header says 0); 0 keeps what the muxer wrote.
std::vector<uint8_t> makeLiveAsfHeader(std::span<const uint8_t> bytes, const AsfHeaderInfo &info,
                                       uint32_t maxBitrateBps = 0);

}  // namespace morlanex
