// Internal header file.
//
// Network byte order reads and writes on raw buffers; callers check the bounds.
#pragma once

#include <cstdint>

namespace morlanex::webrtc::bytes {

inline std::uint16_t read16(const std::uint8_t *p) { return std::uint16_t(p[0] << 8 | p[1]); }
inline std::uint32_t read32(const std::uint8_t *p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
inline std::uint64_t read64(const std::uint8_t *p) { return std::uint64_t(read32(p)) << 32 | read32(p + 4); }
inline void write16(std::uint8_t *p, std::uint16_t v) {
    p[0] = std::uint8_t(v >> 8);
    p[1] = std::uint8_t(v);
}
inline void write32(std::uint8_t *p, std::uint32_t v) {
    write16(p, std::uint16_t(v >> 16));
    write16(p + 2, std::uint16_t(v));
}

}  // namespace morlanex::webrtc::bytes
