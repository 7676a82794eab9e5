#include "media/netsink/mmsh_framing.h"

#include "media/asf/byte_order.h"

#include <algorithm>

namespace morlanex {
namespace {

constexpr uint8_t kFrame = 0x24;  // '$' with the "next packet follows" bit clear
constexpr uint8_t kHeaderId = 'H', kDataId = 'D', kEndId = 'E';
constexpr uint8_t kHeaderFirst = 0x04, kHeaderLast = 0x08;

std::array<uint8_t, kMmshPrefixBytes> prefix(uint8_t id, uint32_t locationId, uint8_t afFlags, size_t payloadBytes) {
    std::array<uint8_t, kMmshPrefixBytes> p{};
    const auto length = uint16_t(8 + payloadBytes);
    p[0] = kFrame;
    p[1] = id;
    le::put16(&p[2], length);
    le::put32(&p[4], locationId);
    p[8] = 0;  // Incarnation
    p[9] = afFlags;
    le::put16(&p[10], length);
    return p;
}

}  // namespace

std::vector<uint8_t> frameMmshHeader(std::span<const uint8_t> header) {
    std::vector<uint8_t> out;
    const size_t pieces = std::max<size_t>(1, (header.size() + kMmshMaxPayloadBytes - 1) / kMmshMaxPayloadBytes);
    out.reserve(header.size() + pieces * kMmshPrefixBytes);
    for (size_t i = 0; i < pieces; ++i) {
        const size_t at = i * kMmshMaxPayloadBytes;
        const size_t n = std::min(kMmshMaxPayloadBytes, header.size() - at);
        const uint8_t flags = uint8_t((i == 0 ? kHeaderFirst : 0) | (i + 1 == pieces ? kHeaderLast : 0));
        const auto p = prefix(kHeaderId, uint32_t(i), flags, n);
        out.insert(out.end(), p.begin(), p.end());
        out.insert(out.end(), header.begin() + std::ptrdiff_t(at), header.begin() + std::ptrdiff_t(at + n));
    }
    return out;
}

std::array<uint8_t, kMmshPrefixBytes> mmshDataPrefix(uint32_t locationId, uint8_t afFlags, size_t payloadBytes) {
    return prefix(kDataId, locationId, afFlags, payloadBytes);
}

std::array<uint8_t, kMmshEndBytes> mmshEnd(uint32_t reason) {
    std::array<uint8_t, kMmshEndBytes> e{};
    e[0] = kFrame;
    e[1] = kEndId;
    le::put16(&e[2], 4);
    le::put32(&e[4], reason);
    return e;
}

}  // namespace morlanex
