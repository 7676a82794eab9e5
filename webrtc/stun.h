// Public header.
//
// STUN for an ICE-lite server: the binding requests a browser sends to check and keep its
// candidate pair (written too, for clients of our own), our success responses, and the
// first-byte demultiplexing of the one UDP port that carries STUN, DTLS and SRTP/SRTCP together.
//
// A request is read in two steps because the password depends on the username: readStun()
// checks the structure (header, magic cookie, lengths, attributes, FINGERPRINT) and picks out
// the ICE attributes; checkIntegrity() then checks MESSAGE-INTEGRITY with the password of the
// session the username names. Both return an error value for any bad input and read nothing
// outside the datagram. The result's username is a view into the datagram.
//
// Threads: free functions without shared state.
//
// Example:
//   auto request = readStun(datagram);
//   if (request && request->isBindingRequest()) {
//       Session *s = sessions.find(request->username);
//       if (s && checkIntegrity(datagram, *request, s->localPassword) == StunError::None) {
//           std::size_t n = writeBindingSuccess(out, request->transactionId, peer, s->localPassword);
//           send(out.first(n));
//       }
//   }
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <sys/socket.h>

#include "webrtc/expected.h"

namespace morlanex::webrtc {

// RFC 7983: what one datagram on the shared port is, by its first byte (and, for RTP, second).
enum class PacketKind { Stun, Dtls, Rtp, Rtcp, Unknown };
PacketKind classifyPacket(std::span<const std::uint8_t> datagram);

enum class StunError {
    None,
    TooShort,  // less than a 20-byte header
    NotStun,  // first byte beyond 3, or magic cookie wrong
    BadLength,  // header length not a multiple of 4 or not the datagram's
    TruncatedAttribute,  // an attribute runs past the end
    BadAttribute,  // a known attribute with the wrong size, or a bad USERNAME
    UnknownRequiredAttribute,
    AttributeAfterFingerprint,
    BadFingerprint,
    MissingIntegrity,
    BadIntegrity,
};
const char *toString(StunError error);

using TransactionId = std::array<std::uint8_t, 12>;

struct StunMessage {
    std::uint16_t type = 0;  // 0x0001 binding request, 0x0101 success response
    TransactionId transactionId{};
    std::string_view username;  // "ours:theirs" for ICE; empty when absent
    std::uint32_t priority = 0;
    bool hasPriority = false;
    bool useCandidate = false;
    bool iceControlling = false;
    bool iceControlled = false;
    std::uint64_t tieBreaker = 0;
    bool hasFingerprint = false;
    // Offset of the MESSAGE-INTEGRITY attribute's header, 0 when there is none.
    std::size_t integrityOffset = 0;

    bool isBindingRequest() const { return type == 0x0001; }
};

// Structure, ICE attributes and FINGERPRINT (when present); not MESSAGE-INTEGRITY.
Expected<StunMessage, StunError> readStun(std::span<const std::uint8_t> datagram);

// MESSAGE-INTEGRITY of a message readStun() accepted, with a short-term password.
StunError checkIntegrity(std::span<const std::uint8_t> datagram, const StunMessage &message, std::string_view password);

// Bytes a binding success response takes at most (IPv6 address).
inline constexpr std::size_t MaxBindingSuccessSize = 20 + 24 + 24 + 8;

// Writes a binding success response with XOR-MAPPED-ADDRESS (IPv4 or IPv6 `peer`),
// MESSAGE-INTEGRITY and FINGERPRINT into `out`. Returns its size, or 0 when `out` is too small
// or the address family is neither.
std::size_t writeBindingSuccess(std::span<std::uint8_t> out, const TransactionId &transactionId, const sockaddr *peer,
                                std::string_view password);

// A connectivity check as an ICE agent sends it (a load generator's viewer, a test's browser).
struct BindingRequest {
    TransactionId transactionId{};
    std::string_view username;  // "theirs:ours"
    std::string_view password;  // the remote side's
    std::uint32_t priority = 0;
    bool controlling = true;  // ICE-CONTROLLING, else ICE-CONTROLLED
    std::uint64_t tieBreaker = 0;
    bool useCandidate = false;
};

// Writes a binding request with USERNAME, PRIORITY, the role, USE-CANDIDATE when asked,
// MESSAGE-INTEGRITY and FINGERPRINT. Returns its size, or 0 when `out` is too small or the
// username is empty or too long.
std::size_t writeBindingRequest(std::span<std::uint8_t> out, const BindingRequest &request);

}  // namespace morlanex::webrtc
