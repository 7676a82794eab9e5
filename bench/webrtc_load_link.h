// What the WebRTC load generator's viewers need besides the protocols: a slow link in front of
// a viewer, and the receiver side of RTCP as a browser speaks it.
//
// LinkQueue: a bottleneck link of a fixed rate with a drop-tail queue in front of it. A
// datagram (counted with its IPv4 and UDP headers) that the queue has no room for is lost;
// one that fits leaves the link when those before it and itself have gone through at the
// rate. No queue at all for rate 0.
//
// ReceptionStats: RFC 3550's receiver statistics of one RTP stream (loss since the last
// report, cumulative loss, the highest sequence number, interarrival jitter), written as a
// report block; writeReceiverReport() puts the blocks and an optional REMB into a compound.
//
// Threads: none of their own; one caller at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace morlanex::bench {

class LinkQueue {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t PacketOverhead = 28;  // IPv4 and UDP headers

    // `bytesPerSecond` 0: no limit. The queue holds `queueTime` of the rate (at least two
    // full-size datagrams).
    explicit LinkQueue(double bytesPerSecond = 0, std::chrono::milliseconds queueTime = std::chrono::milliseconds(150));

    bool limited() const { return rate_ > 0; }
    // When a datagram of `size` bytes arriving at `now` leaves the link; nullopt: dropped.
    std::optional<Clock::time_point> pass(size_t size, Clock::time_point now);

private:
    double rate_ = 0, queueBytes_ = 0;
    Clock::time_point busyUntil_{};
};

class ReceptionStats {
public:
    // One packet of the stream, `arrival` in the stream's clock units.
    void onPacket(uint32_t ssrc, uint16_t sequence, uint32_t rtpTimestamp, uint32_t arrival);
    bool started() const { return started_; }
    uint32_t ssrc() const { return ssrc_; }
    // The report block (24 bytes) for the time since the last; starts a new interval.
    void writeBlock(uint8_t *out);
    // The loss fraction of the last block written, of 256.
    uint8_t lastFractionLost() const { return lastFraction_; }

private:
    bool started_ = false;
    uint32_t ssrc_ = 0;
    uint64_t base_ = 0, highest_ = 0;  // extended sequence numbers
    uint64_t received_ = 0, expectedPrior_ = 0, receivedPrior_ = 0;
    int64_t lastTransit_ = 0;
    double jitter_ = 0;
    uint8_t lastFraction_ = 0;
};

// A receiver report from `senderSsrc` with the blocks of the started streams, then, if
// `estimate` is not 0, a REMB naming them. Returns the size, 0 when `out` is too small.
size_t writeReceiverReport(std::span<uint8_t> out, uint32_t senderSsrc, std::span<ReceptionStats *const> streams,
                           uint64_t estimate);

}  // namespace morlanex::bench
