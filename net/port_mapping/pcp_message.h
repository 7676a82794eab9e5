// Internal header file.
//
// The Port Control Protocol's wire format (RFC 6887), the little of it a client needs: MAP
// requests (create, renew, delete with lifetime 0), the responses to them, the server's
// unsolicited ANNOUNCE, and the epoch check that tells a restarted server from a live one.
//
// The reader checks every length before it reads and returns an error for anything that is
// not a well-formed PCP response: these bytes come from the network.
//
// Threads: free functions without shared state.
//
// Example:
//   MapRequest request{nonce, IPPROTO_TCP, 8080, 8080, 3600s, ourAddress};
//   send(encodeMapRequest(request));
//   PcpResponse response;
//   if (readPcpResponse(datagram, &response) == PcpError::None && response.map.nonce == nonce) ...
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <netinet/in.h>

namespace morlanex::portmap {

constexpr uint16_t kPcpServerPort = 5351;
constexpr uint16_t kPcpClientAnnouncePort = 5350;  // unsolicited responses go to 224.0.0.1 there
constexpr size_t kPcpMapRequestSize = 60;
constexpr size_t kPcpMaxMessageSize = 1100;

enum class PcpOpcode : uint8_t { Announce = 0, Map = 1 };

// Result codes, section 7.4.
enum class PcpResult : uint8_t {
    Success = 0,
    UnsupportedVersion = 1,
    NotAuthorized = 2,
    MalformedRequest = 3,
    UnsupportedOpcode = 4,
    UnsupportedOption = 5,
    MalformedOption = 6,
    NetworkFailure = 7,
    NoResources = 8,
    UnsupportedProtocol = 9,
    UserExceededQuota = 10,
    CannotProvideExternal = 11,
    AddressMismatch = 12,
    ExcessiveRemotePeers = 13,
};
// "network failure", ...; "result code N" for codes the RFC does not name.
const char *toString(PcpResult result);

using PcpNonce = std::array<uint8_t, 12>;

struct MapRequest {
    PcpNonce nonce{};
    uint8_t protocol = IPPROTO_TCP;  // IANA protocol number
    uint16_t insidePort = 0;
    uint16_t suggestedOutsidePort = 0;
    std::chrono::seconds lifetime{0};  // 0 deletes
    in_addr client{};  // our own address, as the server sees it
};
std::array<uint8_t, kPcpMapRequestSize> encodeMapRequest(const MapRequest &request);

enum class PcpError {
    None,
    TooShort,  // under the 24-byte header, or a MAP response under 60 bytes
    TooLong,  // over 1100 bytes
    NotMultipleOfFour,
    NotPcp,  // version 0 is NAT-PMP: the server speaks only that (section 9)
    UnknownVersion,
    NotAResponse,  // R bit clear: a request, perhaps our own looped back
    UnknownOpcode,  // neither ANNOUNCE nor MAP
};
const char *toString(PcpError error);

struct PcpResponse {
    PcpOpcode opcode = PcpOpcode::Announce;
    PcpResult result = PcpResult::Success;
    uint32_t lifetime = 0;  // seconds
    uint32_t epoch = 0;  // the server's seconds since it last lost its state
    // MAP only:
    PcpNonce nonce{};
    uint8_t protocol = 0;
    uint16_t insidePort = 0;
    uint16_t outsidePort = 0;
    in_addr outsideAddress{};  // the IPv4 address of the IPv4-mapped field; 0 when not IPv4-mapped
};
PcpError readPcpResponse(std::span<const uint8_t> datagram, PcpResponse *response);

// Section 8.5: whether a server's epoch shows that it lost its state between two responses.
// `previousEpoch` and `previousAt` are from the earlier response, `epoch` and `at` from this one
// (the client's own clock). NAT-PMP's epoch (RFC 6886, section 3.6) is checked the same way.
bool epochShowsRestart(uint32_t previousEpoch, std::chrono::steady_clock::time_point previousAt, uint32_t epoch,
                       std::chrono::steady_clock::time_point at);

// The epoch of one server as last seen.
class EpochWatch {
public:
    // Notes the epoch of a response received now; true when it shows the server lost its state.
    bool note(uint32_t epoch);

private:
    std::optional<uint32_t> epoch_;
    std::chrono::steady_clock::time_point at_{};
};

}  // namespace morlanex::portmap
