// Public header.
//
// SrtpSession: SRTP protection for one direction of one peer, made from the keys the DTLS
// handshake exported and the profile it negotiated. Outbound sessions protect our RTP and RTCP
// (any SSRC); inbound ones unprotect the peer's RTCP (and RTP, for tests and completeness).
// AES-GCM's RTP and RTCP go through OpenSSL directly (see srtp_gcm.h); AES-CM, and the opening
// of RTP, through libsrtp2, whose session is made when first needed.
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

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "webrtc/dtls.h"

struct srtp_ctx_t_;

namespace morlanex::webrtc {

class SrtpGcmRtp;
class SrtcpGcm;

class SrtpSession {
public:
    enum Direction { Outbound, Inbound };
    // Room a protected packet may need beyond its plain size (libsrtp2's bound, RTCP's included).
    static constexpr std::size_t MaxOverhead = 16 + 128 + 4;

    SrtpSession(SrtpProfile profile, std::span<const std::uint8_t> keySalt, Direction direction);
    ~SrtpSession();
    SrtpSession(const SrtpSession &) = delete;
    SrtpSession &operator=(const SrtpSession &) = delete;

    bool valid() const { return valid_; }

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
    bool makeLibsrtpSession();

    SrtpProfile profile_;
    Direction direction_;
    std::array<std::uint8_t, 32> keySalt_{};
    bool valid_ = false;
    srtp_ctx_t_ *session_ = nullptr;
    bool sessionTried_ = false;
    std::unique_ptr<SrtpGcmRtp> rtp_;  // AES-GCM, outbound
    std::unique_ptr<SrtcpGcm> rtcp_;  // AES-GCM
};

}  // namespace morlanex::webrtc
