// Public header file.
//
// The ASF GUIDs we write and read, each defined once, as they appear on the wire: the first
// three fields little-endian, the last eight bytes as written.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace morlanex {

using AsfGuid = std::array<uint8_t, 16>;

// From the usual text form's fields: {a}-{b}-{c}-{d, 16 hex digits}.
constexpr AsfGuid asfGuid(uint32_t a, uint16_t b, uint16_t c, uint64_t d) {
    AsfGuid g{};
    for (int i = 0; i < 4; ++i) g[size_t(i)] = uint8_t(a >> (8 * i));
    for (int i = 0; i < 2; ++i) {
        g[size_t(4 + i)] = uint8_t(b >> (8 * i));
        g[size_t(6 + i)] = uint8_t(c >> (8 * i));
    }
    for (int i = 0; i < 8; ++i) g[size_t(8 + i)] = uint8_t(d >> (8 * (7 - i)));
    return g;
}

// Whether the 16 bytes at `p` are `g`. Callers check bounds first.
inline bool isAsfGuid(const uint8_t *p, const AsfGuid &g) { return std::memcmp(p, g.data(), g.size()) == 0; }

namespace asf_guid {

inline constexpr AsfGuid kHeaderObject = asfGuid(0x75B22630, 0x668E, 0x11CF, 0xA6D900AA0062CE6C);
inline constexpr AsfGuid kDataObject = asfGuid(0x75B22636, 0x668E, 0x11CF, 0xA6D900AA0062CE6C);
inline constexpr AsfGuid kFileProperties = asfGuid(0x8CABDCA1, 0xA947, 0x11CF, 0x8EE400C00C205365);
inline constexpr AsfGuid kStreamProperties = asfGuid(0xB7DC0791, 0xA9B7, 0x11CF, 0x8EE600C00C205365);
inline constexpr AsfGuid kHeaderExtension = asfGuid(0x5FBF03B5, 0xA92E, 0x11CF, 0x8EE300C00C205365);
inline constexpr AsfGuid kHeaderExtensionReserved = asfGuid(0xABD3D211, 0xA9BA, 0x11CF, 0x8EE600C00C205365);
inline constexpr AsfGuid kExtendedStreamProperties = asfGuid(0x14E6A5CB, 0xC672, 0x4332, 0x8399A96952065B5A);
inline constexpr AsfGuid kStreamBitrateProperties = asfGuid(0x7BF875CE, 0x468D, 0x11D1, 0x8D82006097C9A2B2);
inline constexpr AsfGuid kCodecList = asfGuid(0x86D15240, 0x311D, 0x11D0, 0xA3A400A0C90348F6);
inline constexpr AsfGuid kCodecListReserved = asfGuid(0x86D15241, 0x311D, 0x11D0, 0xA3A400A0C90348F6);
inline constexpr AsfGuid kAudioMedia = asfGuid(0xF8699E40, 0x5B4D, 0x11CF, 0xA8FD00805F5C442B);
inline constexpr AsfGuid kVideoMedia = asfGuid(0xBC19EFC0, 0x5B4D, 0x11CF, 0xA8FD00805F5C442B);
inline constexpr AsfGuid kNoErrorCorrection = asfGuid(0x20FB5700, 0x5B55, 0x11CF, 0xA8FD00805F5C442B);
inline constexpr AsfGuid kAudioSpread = asfGuid(0xBFC3CD50, 0x618F, 0x11CF, 0x8BB200AA00B4E220);

}  // namespace asf_guid
}  // namespace morlanex
