// Public header file.
//
// Little-endian loads and stores for ASF and framing fields. Callers check bounds first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morlanex::le {

inline uint16_t u16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t u32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t u64(const uint8_t *p) { return uint64_t(u32(p)) | uint64_t(u32(p + 4)) << 32; }

inline void put16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void put32(uint8_t *p, uint32_t v) {
    put16(p, uint16_t(v));
    put16(p + 2, uint16_t(v >> 16));
}
inline void put64(uint8_t *p, uint64_t v) {
    put32(p, uint32_t(v));
    put32(p + 4, uint32_t(v >> 32));
}

}  // namespace morlanex::le
