// Public header.
//
// SrtpSession: libsrtp2 protection for one direction of one peer, made from the keys the DTLS
// handshake exported and the profile it negotiated. Outbound sessions protect our RTP and RTCP
// (any SSRC); inbound ones unprotect the peer's RTCP (and RTP, for tests and completeness).
// Packets are changed in place in the caller's buffer, which must have MaxOverhead bytes of
// room after the packet; nothing is allocated per packet (libsrtp2 makes a stream per SSRC on
// its first packet only). Retransmissions of a packet already sent may be protected again.
//
// Threads: a session belongs to the one thread that calls it.
//
// Example:
//   SrtpSession out(keys.profile, keys.localKeySalt(), SrtpSession::Outbound);
//   std::size_t size = rtpSize;                 // buffer.size() >= rtpSize + MaxOverhead
//   if (out.protectRtp(buffer, size)) send(buffer.first(size));
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "webrtc/dtls.h"

struct srtp_ctx_t_;

namespace morlanex::webrtc {

class SrtpGcmRtp;

class SrtpSession {
public:
    enum Direction { Outbound, Inbound };
    // Room a protected packet may need beyond its plain size (libsrtp2's bound, RTCP's included).
    static constexpr std::size_t MaxOverhead = 16 + 128 + 4;

    // An outbound AES-GCM session protects RTP on OpenSSL directly (see srtp_gcm.h), the rest
    // through libsrtp2.
    SrtpSession(SrtpProfile profile, std::span<const std::uint8_t> keySalt, Direction direction);
    ~SrtpSession();
    SrtpSession(const SrtpSession &) = delete;
    SrtpSession &operator=(const SrtpSession &) = delete;

    bool valid() const { return session_ != nullptr; }

    // Each takes the plain (or protected) packet's size in `size` and leaves the new size there.
    // False, with the buffer's content unspecified, when the packet is refused.
    bool protectRtp(std::span<std::uint8_t> buffer, std::size_t &size);
    bool protectRtcp(std::span<std::uint8_t> buffer, std::size_t &size);
    bool unprotectRtp(std::span<std::uint8_t> buffer, std::size_t &size);
    bool unprotectRtcp(std::span<std::uint8_t> buffer, std::size_t &size);

private:
    template <class Transform>
    bool apply(Transform transform, std::span<std::uint8_t> buffer, std::size_t &size, std::size_t room,
               std::size_t minimum);

    srtp_ctx_t_ *session_ = nullptr;
    std::unique_ptr<SrtpGcmRtp> gcm_;
};

}  // namespace morlanex::webrtc
