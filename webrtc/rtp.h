// Public header.
//
// RTP for a broadcast to many WebRTC viewers: each encoded frame is made into packets once, for
// everyone; a viewer's copy differs only in payload type, SSRC, sequence number and timestamp,
// which RtpRewrite changes in place in the viewer's send buffer before SRTP protection. Packets keep
// to MaxRtpPacketSize so that SRTP's tag still fits a 1280-byte IPv6 path.
//
//   - Vp8Packetizer: one VP8 frame into packets (RFC 7741 descriptor with a 15-bit PictureID,
//     S bit on the partition's start, marker on the frame's last packet), 90 kHz timestamps.
//   - OpusPacketizer: one 20 ms Opus frame into one packet, 48 kHz timestamps.
//   - RtpHistory: a fixed ring of the stream's recent packets for NACK retransmission.
//
// Memory is fixed in the steady state: RtpPackets keeps its packets between frames and grows
// only past its largest frame so far; RtpHistory allocates its ring once.
//
// Threads: plain objects for the one thread that owns the stream.
//
// Example:
//   Vp8Packetizer video(96, sourceSsrc);
//   RtpPackets packets;
//   video.packetize(frame, timestamp90k, packets);
//   for (const RtpPacket &p : packets.packets()) {
//       history.store(p);
//       for (Viewer &v : viewers) {
//           std::memcpy(v.buffer, p.bytes.data(), p.size);
//           v.video.apply({v.buffer, p.size});      // payload type, SSRC, numbers
//           v.srtp.protectRtp(v.buffer, size);
//       }
//   }
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace morlanex::webrtc {

inline constexpr std::size_t MaxRtpPacketSize = 1200;
inline constexpr std::size_t RtpHeaderSize = 12;
inline constexpr std::uint32_t VideoClockRate = 90000;
inline constexpr std::uint32_t OpusClockRate = 48000;
inline constexpr std::uint32_t OpusFrameSamples = 960;  // 20 ms

struct RtpHeader {
    std::uint8_t payloadType = 0;
    bool marker = false;
    std::uint16_t sequence = 0;
    std::uint32_t timestamp = 0;
    std::uint32_t ssrc = 0;
};

// The fixed 12-byte header (no CSRCs, no extension); returns 12, or 0 when `out` is smaller.
std::size_t writeRtpHeader(std::span<std::uint8_t> out, const RtpHeader &header);
// The fixed header of an RTP version 2 packet, or empty.
std::optional<RtpHeader> readRtpHeader(std::span<const std::uint8_t> packet);

struct RtpPacket {
    std::array<std::uint8_t, MaxRtpPacketSize> bytes{};
    std::uint16_t size = 0;

    std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
    std::uint16_t sequence() const { return std::uint16_t(bytes[2] << 8 | bytes[3]); }
};

// A frame's packets, reused from frame to frame.
class RtpPackets {
public:
    void clear() { count_ = 0; }
    RtpPacket &add();
    std::span<const RtpPacket> packets() const { return {packets_.data(), count_}; }

private:
    std::vector<RtpPacket> packets_;
    std::size_t count_ = 0;
};

// One viewer's numbering of a stream: its SSRC, where its sequence and timestamp start, and
// the payload type its offer gave the codec (browsers differ: Chromium 96 and 111 for VP8 and
// Opus, Firefox 120 and 109).
struct RtpRewrite {
    std::uint32_t ssrc = 0;
    std::uint16_t sequenceOffset = 0;
    std::uint32_t timestampOffset = 0;
    std::uint8_t payloadType = 0;

    // Rewrites a copy of a packet made for everyone into this viewer's numbering.
    void apply(std::span<std::uint8_t> packet) const;
    // The stream's own sequence number of the viewer's `sequence` (for NACKs).
    std::uint16_t sourceSequence(std::uint16_t sequence) const { return std::uint16_t(sequence - sequenceOffset); }
};

// Whether an encoded VP8 frame is a key frame (RFC 6386 9.1: the P bit of its first byte is 0),
// where a new viewer can start.
inline bool isVp8KeyFrame(std::span<const std::uint8_t> frame) { return !frame.empty() && !(frame[0] & 1); }

class Vp8Packetizer {
public:
    Vp8Packetizer(std::uint8_t payloadType, std::uint32_t ssrc, std::uint16_t firstSequence = 0,
                  std::uint16_t firstPictureId = 0, std::size_t maxPacketSize = MaxRtpPacketSize);
    // Replaces `out` with the frame's packets; false for an empty frame.
    bool packetize(std::span<const std::uint8_t> frame, std::uint32_t timestamp, RtpPackets &out);

    static constexpr std::size_t DescriptorSize = 4;  // X, I and a 15-bit PictureID

private:
    std::uint8_t payloadType_;
    std::uint32_t ssrc_;
    std::uint16_t sequence_;
    std::uint16_t pictureId_;
    std::size_t maxPacketSize_;
};

class OpusPacketizer {
public:
    OpusPacketizer(std::uint8_t payloadType, std::uint32_t ssrc, std::uint16_t firstSequence = 0);
    // One frame into `out`; false when it is empty or does not fit one packet.
    bool packetize(std::span<const std::uint8_t> frame, std::uint32_t timestamp, RtpPacket &out);

private:
    std::uint8_t payloadType_;
    std::uint32_t ssrc_;
    std::uint16_t sequence_;
};

// The last `capacity` packets of a stream by sequence number, for answering NACKs.
class RtpHistory {
public:
    explicit RtpHistory(std::size_t capacity = 512);  // rounded up to a power of two
    void store(const RtpPacket &packet);
    // The stored packet with this sequence number, or null when it has gone or never was.
    const RtpPacket *find(std::uint16_t sequence) const;

private:
    std::vector<RtpPacket> ring_;
};

}  // namespace morlanex::webrtc
