// Public header file.
//
// MmshFraming: the framing of the Windows Media HTTP streaming body. Every piece starts with
// '$' and a type byte, then little-endian lengths: $H carries the stream header, $D one whole
// data packet, $E ends the stream. The 8 bytes after the 4-byte framing header of $H/$D are
// LocationId (u32), Incarnation (u8), AFFlags (u8) and PacketSize (u16), and PacketSize always
// equals the framing's PacketLength, as the clients require.
//
// Threads: plain functions; callable from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace morlanex {

inline constexpr size_t kMmshPrefixBytes = 12;  // framing header + data packet header
inline constexpr size_t kMmshMaxPayloadBytes = 65535 - 8;  // PacketLength is a u16
inline constexpr size_t kMmshEndBytes = 8;

// The header as $H pieces: one piece when it fits, else first/middle/last pieces.
std::vector<uint8_t> frameMmshHeader(std::span<const uint8_t> header);

// The 12 bytes before one data packet of `payloadBytes` (at most kMmshMaxPayloadBytes).
// `locationId` numbers packets in the broadcast; `afFlags` counts the $D sent on this
// connection, modulo 256.
std::array<uint8_t, kMmshPrefixBytes> mmshDataPrefix(uint32_t locationId, uint8_t afFlags, size_t payloadBytes);

// $E with the given reason: 0 = broadcast finished, 1 = this entry ended and another follows.
std::array<uint8_t, kMmshEndBytes> mmshEnd(uint32_t reason);

}  // namespace morlanex
