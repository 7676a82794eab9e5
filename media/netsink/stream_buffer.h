// Public header file.
//
// StreamBuffer: the live stream as the network sink's viewers see it, without any sockets.
//
// It holds the current stream header and a window of recent data packets shared by every
// viewer. Each packet gets the next sequence number (the "virtual file" packet number that
// framed clients see as LocationId) and is marked when a viewer may start there (see
// AsfPacket). A viewer keeps only a sequence number and an offset into the packet it is
// writing; packets are immutable and reference-counted, so nothing is copied per viewer.
//
// The same window carries streams of other formats (a browser rendition): their header is
// opaque bytes and their chunks have any size, each marked by its producer as a start point or
// not (pushChunk).
//
// Limits, in bytes: a viewer more than `maxBacklogBytes` behind the newest byte is too slow
// and must be dropped; the window keeps at least that much, plus the packets since the last
// start point (so a new viewer gets a burst from the last key frame), but never more than
// `maxWindowBytes`. A new viewer joins at the last start point, unless that is more than half
// the backlog limit old; then it waits for the next one, which it gets even when packets
// arrive in a batch.
//
// Renditions: an ASF stream may carry several encodings of its video, written under the same
// stream number in packets of their own (AsfWriter). Each packet is pushed with its rendition:
// 0 for the packets every viewer takes (the sound), r >= 1 for those of video rendition r. A
// start point then belongs to its rendition; the buffer keeps each start point's time and each
// rendition's bit rate over the window, so the fan-out policy can move a viewer between them.
//
// Threads: not thread-safe; owned by the sink's loop thread.
#pragma once

#include "media/asf/asf_header.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace morlanex {

// One broadcast's header, in both forms a viewer may need.
struct StreamHeader {
    std::vector<uint8_t> raw;  // live ASF header, for plain HTTP clients
    std::vector<uint8_t> framed;  // the same as $H pieces, for Windows Media clients
    AsfHeaderInfo info;

    // Builds it from the bytes the muxer emits; nullptr and `*error` when they are unusable.
    static std::shared_ptr<const StreamHeader> fromMuxer(std::span<const uint8_t> bytes, std::string *error,
                                                         uint32_t maxBitrateBps = 0);
    // The header of a stream of another format, sent as it is (no packet size, no framing).
    static std::shared_ptr<const StreamHeader> opaque(std::span<const uint8_t> bytes);
};

using PacketBytes = std::shared_ptr<const std::vector<uint8_t>>;

class StreamBuffer {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr uint64_t kNoPacket = UINT64_MAX;
    static constexpr uint8_t kMaxRenditions = 4;

    StreamBuffer(size_t maxBacklogBytes, size_t maxWindowBytes);

    // Replaces the header. Returns false when the bytes equal the current header's (no change).
    // Packets pushed before it stay for the viewers still sending them, but no new viewer
    // starts before the new header.
    bool setHeader(std::shared_ptr<const StreamHeader> header);
    const std::shared_ptr<const StreamHeader> &header() const { return header_; }
    // Sequence number of the first packet under the current header.
    uint64_t headerStart() const { return headerStart_; }

    enum class PushResult { Accepted, NoHeader, TooLarge };
    // Appends one packet of `rendition` that reached the sink at `arrived`; packets shorter
    // than the header's packet size are padded with zeros. A rendition above kMaxRenditions
    // is refused as TooLarge.
    PushResult push(std::vector<uint8_t> &&bytes, Clock::time_point arrived = Clock::now(), uint8_t rendition = 0);
    // Appends one chunk of a stream of another format, of any size; `startPoint`: a viewer may
    // start with it.
    PushResult pushChunk(std::vector<uint8_t> &&bytes, bool startPoint, Clock::time_point arrived = Clock::now());

    uint64_t nextSeq() const { return nextSeq_; }
    uint64_t oldestSeq() const { return firstSeq_; }  // the first packet still in the window
    // The packet with this sequence number, or nullptr when it left the window or is not there yet.
    const PacketBytes *packet(uint64_t seq) const;
    // When the packet reached the sink; Clock::time_point::min() when it is not in the window.
    Clock::time_point arrivedAt(uint64_t seq) const;
    // Where a new viewer may start: the last start point (of `rendition`, when given), or
    // kNoPacket when there is none recent enough (then it starts at the first one from
    // nextSeq() on).
    uint64_t joinSeq(uint8_t rendition = 0) const;
    // The first start point at or after `from` still in the window, or kNoPacket. It may lie
    // before headerStart(): a viewer of the old header still needs the old start points.
    uint64_t startFrom(uint64_t from) const;
    bool tooFarBehind(uint64_t seq) const;

    // Renditions (see above). The highest rendition pushed so far; 0 for a single-rate stream.
    uint8_t renditionCount() const { return renditionCount_; }
    // The rendition of a packet in the window (0 when it is not there).
    uint8_t rendition(uint64_t seq) const;
    // The first start point of `rendition` at or after `from`, or kNoPacket.
    uint64_t startFrom(uint64_t from, uint8_t rendition) const;
    // The send time (ms) written in start point `seq`'s packet.
    uint32_t startTimeMs(uint64_t seq) const;
    // Bits per second a viewer of `rendition` takes (its packets and the shared ones), measured
    // over the window; 0 while the window spans less than two seconds.
    uint64_t bitsPerSecond(uint8_t rendition) const;

    // The backlog limit in whole packets of the header's packet size (0 for chunks of any size).
    size_t backlogPackets() const;
    size_t windowPackets() const { return window_.size(); }

    // Segments: the stream cut at its start points and numbered from the first start point
    // ever pushed (0, 1, ...). A complete segment (the next start point has come) never
    // changes, so an HTTP cache may keep it. The newest complete one's number, if any:
    std::optional<uint64_t> newestSegment() const;
    // The packets [first, end) of segment `number`, while it is complete and in the window.
    std::optional<std::pair<uint64_t, uint64_t>> segment(uint64_t number) const;
    // Appends the bytes of segment `number`; false when it is not complete and in the window.
    bool appendSegment(uint64_t number, std::vector<uint8_t> *out) const;
    void clearPackets();

private:
    void append(std::vector<uint8_t> &&bytes, bool startPoint, Clock::time_point arrived, uint8_t rendition = 0,
                uint32_t sendTimeMs = 0);
    void trim();
    // Bytes from the start of packet `seq` (in the window) to the newest byte.
    uint64_t bytesFrom(uint64_t seq) const { return streamBytes_ - offsets_[size_t(seq - firstSeq_)]; }

    size_t maxBacklogBytes_, maxWindowBytes_;
    std::shared_ptr<const StreamHeader> header_;
    uint64_t headerStart_ = 0;
    std::deque<PacketBytes> window_;  // window_[i] has sequence number firstSeq_ + i
    std::deque<Clock::time_point> arrivals_;  // arrivals_[i] belongs to window_[i]
    std::deque<uint32_t> sendTimes_;  // the stream's own send time of window_[i] (0: none)
    std::deque<uint64_t> offsets_;  // offsets_[i]: stream bytes before window_[i]
    uint64_t streamBytes_ = 0;  // stream bytes pushed, in all
    uint64_t firstSeq_ = 0, nextSeq_ = 0;
    std::deque<uint8_t> renditions_;  // renditions_[i] belongs to window_[i]
    std::deque<uint64_t> starts_;  // start points in the window (current header only), ascending
    std::deque<uint32_t> startTimes_;  // startTimes_[i]: the send time of start point starts_[i]
    uint8_t renditionCount_ = 0;
    uint64_t renditionBytes_[kMaxRenditions + 1] = {};  // bytes in the window, by rendition
    uint64_t startsPushed_ = 0;  // start points ever pushed: the number of the next segment
};

}  // namespace morlanex
