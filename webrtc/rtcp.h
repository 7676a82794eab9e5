// Public header.
//
// RTCP as a WebRTC sender hears and speaks it (RFC 3550, 4585, 5104): readRtcp() walks a
// compound packet from a viewer and tells a visitor what it asks for: reception reports
// (loss fraction, jitter), generic NACKs one lost sequence number at a time, picture loss,
// full intra requests, REMB estimates and transport-wide feedback (recognized, not read).
// Other packet types are skipped. The whole compound is checked before the visitor hears
// anything, so a malformed one is refused as a whole.
//
// writeSenderReport() writes our compound report: a sender report without report blocks and
// an SDES chunk with the CNAME.
//
// Threads: free functions without shared state; the visitor is called on the caller's thread.
//
// Example:
//   struct Viewer : RtcpVisitor {
//       void onNack(std::uint32_t ssrc, std::uint16_t seq) override { resend(ssrc, seq); }
//       void onPictureLoss(std::uint32_t) override { encoder.requestKeyFrame(); }
//   } viewer;
//   if (readRtcp(plainRtcp, viewer) != RtcpError::None) drop();
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace morlanex::webrtc {

struct ReceptionReport {
    std::uint32_t ssrc = 0;  // the source it reports on (ours)
    std::uint8_t fractionLost = 0;  // of 256, since the last report
    std::int32_t cumulativeLost = 0;  // 24-bit signed
    std::uint32_t highestSequence = 0;
    std::uint32_t jitter = 0;  // in timestamp units
    std::uint32_t lastSenderReport = 0;
    std::uint32_t delaySinceLastSenderReport = 0;  // 1/65536 s
};

class RtcpVisitor {
public:
    virtual ~RtcpVisitor() = default;
    virtual void onReceptionReport(std::uint32_t /*reporterSsrc*/, const ReceptionReport &) {}
    virtual void onNack(std::uint32_t /*mediaSsrc*/, std::uint16_t /*lostSequence*/) {}
    virtual void onPictureLoss(std::uint32_t /*mediaSsrc*/) {}
    virtual void onFullIntraRequest(std::uint32_t /*mediaSsrc*/, std::uint8_t /*requestNumber*/) {}
    virtual void onRemb(std::uint64_t /*bitsPerSecond*/) {}
    virtual void onTransportFeedback(std::uint32_t /*mediaSsrc*/) {}
};

enum class RtcpError {
    None,
    TooShort,  // empty, or less than a header left
    BadVersion,  // not version 2
    BadLength,  // a packet's length runs past the end
    BadPadding,  // padding larger than the packet
    BadPacket,  // a known packet too short for what its header says it holds
};
const char *toString(RtcpError error);

RtcpError readRtcp(std::span<const std::uint8_t> compound, RtcpVisitor &visitor);

struct SenderReport {
    std::uint32_t ssrc = 0;
    std::uint64_t ntpTime = 0;  // 32.32 fixed point seconds since 1900
    std::uint32_t rtpTimestamp = 0;
    std::uint32_t packetCount = 0;
    std::uint32_t octetCount = 0;
};

// `time` as NTP's 32.32 fixed-point seconds since 1900.
std::uint64_t toNtpTime(std::chrono::system_clock::time_point time);

// Writes SR + SDES(CNAME); returns the size, or 0 when `out` is too small or the CNAME is
// empty or longer than 255 bytes.
std::size_t writeSenderReport(std::span<std::uint8_t> out, const SenderReport &report, std::string_view cname);

}  // namespace morlanex::webrtc
