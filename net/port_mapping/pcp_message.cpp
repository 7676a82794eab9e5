#include "net/port_mapping/pcp_message.h"

#include <cstring>

namespace morlanex::portmap {

namespace {

constexpr uint8_t kVersion = 2;
constexpr uint8_t kResponseBit = 0x80;
constexpr size_t kHeaderSize = 24;
constexpr size_t kMapDataSize = 36;

uint16_t read16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t read32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
void write16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
void write32(uint8_t *p, uint32_t v) {
    write16(p, uint16_t(v >> 16));
    write16(p + 2, uint16_t(v));
}

// An IPv4 address as PCP carries it: ::ffff:a.b.c.d.
void writeMapped(uint8_t *p, in_addr address) {
    std::memset(p, 0, 10);
    p[10] = p[11] = 0xff;
    std::memcpy(p + 12, &address.s_addr, 4);
}

in_addr readMapped(const uint8_t *p) {
    static constexpr uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    in_addr address{};
    if (std::memcmp(p, prefix, sizeof prefix) == 0) std::memcpy(&address.s_addr, p + 12, 4);
    return address;
}

}  // namespace

const char *toString(PcpResult result) {
    switch (result) {
    case PcpResult::Success:
        return "success";
    case PcpResult::UnsupportedVersion:
        return "unsupported version";
    case PcpResult::NotAuthorized:
        return "not authorized";
    case PcpResult::MalformedRequest:
        return "malformed request";
    case PcpResult::UnsupportedOpcode:
        return "unsupported opcode";
    case PcpResult::UnsupportedOption:
        return "unsupported option";
    case PcpResult::MalformedOption:
        return "malformed option";
    case PcpResult::NetworkFailure:
        return "network failure";
    case PcpResult::NoResources:
        return "no resources";
    case PcpResult::UnsupportedProtocol:
        return "unsupported protocol";
    case PcpResult::UserExceededQuota:
        return "user exceeded quota";
    case PcpResult::CannotProvideExternal:
        return "cannot provide the outside port or address";
    case PcpResult::AddressMismatch:
        return "address mismatch";
    case PcpResult::ExcessiveRemotePeers:
        return "excessive remote peers";
    }
    return "unknown result code";
}

const char *toString(PcpError error) {
    switch (error) {
    case PcpError::None:
        return "no error";
    case PcpError::TooShort:
        return "too short";
    case PcpError::TooLong:
        return "too long";
    case PcpError::NotMultipleOfFour:
        return "length not a multiple of 4";
    case PcpError::NotPcp:
        return "a NAT-PMP message";
    case PcpError::UnknownVersion:
        return "unknown version";
    case PcpError::NotAResponse:
        return "not a response";
    case PcpError::UnknownOpcode:
        return "unknown opcode";
    }
    return "unknown error";
}

std::array<uint8_t, kPcpMapRequestSize> encodeMapRequest(const MapRequest &request) {
    std::array<uint8_t, kPcpMapRequestSize> out{};
    uint8_t *p = out.data();
    p[0] = kVersion;
    p[1] = uint8_t(PcpOpcode::Map);
    write32(p + 4, uint32_t(request.lifetime.count()));
    writeMapped(p + 8, request.client);
    p += kHeaderSize;
    std::memcpy(p, request.nonce.data(), request.nonce.size());
    p[12] = request.protocol;
    write16(p + 16, request.insidePort);
    write16(p + 18, request.suggestedOutsidePort);
    writeMapped(p + 20, in_addr{});  // any outside address: ::ffff:0.0.0.0 asks for IPv4
    return out;
}

PcpError readPcpResponse(std::span<const uint8_t> datagram, PcpResponse *response) {
    const uint8_t *p = datagram.data();
    // A NAT-PMP server's "unsupported version" answer has 8 bytes or more.
    if (datagram.size() >= 8 && p[0] == 0) return PcpError::NotPcp;
    if (datagram.size() < kHeaderSize) return PcpError::TooShort;
    if (datagram.size() > kPcpMaxMessageSize) return PcpError::TooLong;
    if (datagram.size() % 4 != 0) return PcpError::NotMultipleOfFour;
    if (p[0] != kVersion) return PcpError::UnknownVersion;
    if (!(p[1] & kResponseBit)) return PcpError::NotAResponse;
    const uint8_t opcode = p[1] & ~kResponseBit;
    if (opcode != uint8_t(PcpOpcode::Announce) && opcode != uint8_t(PcpOpcode::Map)) return PcpError::UnknownOpcode;
    if (opcode == uint8_t(PcpOpcode::Map) && datagram.size() < kHeaderSize + kMapDataSize) return PcpError::TooShort;

    PcpResponse r;
    r.opcode = PcpOpcode(opcode);
    r.result = PcpResult(p[3]);
    r.lifetime = read32(p + 4);
    r.epoch = read32(p + 8);
    if (r.opcode == PcpOpcode::Map) {
        const uint8_t *m = p + kHeaderSize;
        std::memcpy(r.nonce.data(), m, r.nonce.size());
        r.protocol = m[12];
        r.insidePort = read16(m + 16);
        r.outsidePort = read16(m + 18);
        r.outsideAddress = readMapped(m + 20);
    }
    // Options after the opcode's data are not needed and left unread.
    *response = r;
    return PcpError::None;
}

bool epochShowsRestart(uint32_t previousEpoch, std::chrono::steady_clock::time_point previousAt, uint32_t epoch,
                       std::chrono::steady_clock::time_point at) {
    // Its clock went back by more than a second: it started again.
    if (int64_t(epoch) + 1 < int64_t(previousEpoch)) return true;
    const int64_t client = std::chrono::duration_cast<std::chrono::seconds>(at - previousAt).count();
    const int64_t server = int64_t(epoch) - int64_t(previousEpoch);
    // The two clocks drifted apart by more than 1/16 (plus 2 s of rounding): state lost.
    return client + 2 < server - server / 16 || server + 2 < client - client / 16;
}

bool EpochWatch::note(uint32_t epoch) {
    const auto now = std::chrono::steady_clock::now();
    const bool restarted = epoch_ && epochShowsRestart(*epoch_, at_, epoch, now);
    epoch_ = epoch;
    at_ = now;
    return restarted;
}

}  // namespace morlanex::portmap
