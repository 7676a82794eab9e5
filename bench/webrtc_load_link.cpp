#include "webrtc_load_link.h"

#include <algorithm>
#include <cstdlib>

namespace morlanex::bench {
namespace {

constexpr size_t kBlockSize = 24;

void put16(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void put32(uint8_t *p, uint32_t v) {
    put16(p, v >> 16);
    put16(p + 2, v);
}

}  // namespace

LinkQueue::LinkQueue(double bytesPerSecond, std::chrono::milliseconds queueTime)
    : rate_(bytesPerSecond),
      queueBytes_(std::max(bytesPerSecond * std::chrono::duration<double>(queueTime).count(), 2.0 * 1500)) {}

std::optional<LinkQueue::Clock::time_point> LinkQueue::pass(size_t size, Clock::time_point now) {
    if (rate_ <= 0) return now;
    const double bytes = double(size + PacketOverhead);
    const double waiting = busyUntil_ > now ? std::chrono::duration<double>(busyUntil_ - now).count() * rate_ : 0;
    if (waiting + bytes > queueBytes_) return std::nullopt;
    busyUntil_ = std::max(busyUntil_, now) +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bytes / rate_));
    return busyUntil_;
}

void ReceptionStats::onPacket(uint32_t ssrc, uint16_t sequence, uint32_t rtpTimestamp, uint32_t arrival) {
    if (!started_ || ssrc != ssrc_) {
        *this = {};
        started_ = true;
        ssrc_ = ssrc;
        base_ = highest_ = (uint64_t(1) << 32) + sequence;
    } else {
        const int64_t delta = int16_t(uint16_t(sequence - uint16_t(highest_)));
        if (delta > 0) highest_ += uint64_t(delta);
    }
    ++received_;
    const int64_t transit = int64_t(arrival) - int64_t(rtpTimestamp);
    if (received_ > 1) jitter_ += (double(std::llabs(int64_t(int32_t(transit - lastTransit_)))) - jitter_) / 16;
    lastTransit_ = transit;
}

void ReceptionStats::writeBlock(uint8_t *out) {
    const uint64_t expected = highest_ - base_ + 1;
    const int64_t lost = std::clamp<int64_t>(int64_t(expected) - int64_t(received_), -0x800000, 0x7fffff);
    const int64_t expectedInterval = int64_t(expected - expectedPrior_);
    const int64_t lostInterval = expectedInterval - int64_t(received_ - receivedPrior_);
    expectedPrior_ = expected;
    receivedPrior_ = received_;
    lastFraction_ = expectedInterval > 0 && lostInterval > 0 ? uint8_t((lostInterval << 8) / expectedInterval) : 0;
    put32(out, ssrc_);
    out[4] = lastFraction_;
    put16(out + 5, uint32_t(lost >> 8));
    out[7] = uint8_t(lost);
    put32(out + 8, uint32_t(highest_));
    put32(out + 12, uint32_t(jitter_));
    put32(out + 16, 0);  // no sender report's time taken: the sink does not measure the round trip
    put32(out + 20, 0);
}

size_t writeReceiverReport(std::span<uint8_t> out, uint32_t senderSsrc, std::span<ReceptionStats *const> streams,
                           uint64_t estimate) {
    size_t blocks = 0;
    for (const ReceptionStats *s : streams) blocks += s->started();
    const size_t reportSize = 8 + kBlockSize * blocks, rembSize = estimate && blocks ? 20 + 4 * blocks : 0;
    if (out.size() < reportSize + rembSize || blocks > 31) return 0;
    uint8_t *p = out.data();
    p[0] = uint8_t(0x80 | blocks);
    p[1] = 201;
    put16(p + 2, uint32_t(reportSize / 4 - 1));
    put32(p + 4, senderSsrc);
    uint8_t *block = p + 8;
    for (ReceptionStats *s : streams)
        if (s->started()) s->writeBlock(block), block += kBlockSize;
    if (!rembSize) return reportSize;
    p += reportSize;
    p[0] = 0x80 | 15;  // payload-specific feedback, application layer
    p[1] = 206;
    put16(p + 2, uint32_t(rembSize / 4 - 1));
    put32(p + 4, senderSsrc);
    put32(p + 8, 0);
    p[12] = 'R', p[13] = 'E', p[14] = 'M', p[15] = 'B';
    unsigned exponent = 0;
    while ((estimate >> exponent) > 0x3ffff) ++exponent;
    const uint32_t mantissa = uint32_t(estimate >> exponent);
    p[16] = uint8_t(blocks);
    p[17] = uint8_t(exponent << 2 | mantissa >> 16);
    put16(p + 18, mantissa & 0xffff);
    uint8_t *ssrc = p + 20;
    for (const ReceptionStats *s : streams)
        if (s->started()) put32(ssrc, s->ssrc()), ssrc += 4;
    return reportSize + rembSize;
}

}  // namespace morlanex::bench
