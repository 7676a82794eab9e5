#include "media/netsink/fan_out_policy.h"

namespace morlanex {

ViewerPosition FanOutPolicy::join(Clock::time_point now) const {
    ViewerPosition p;
    p.header = buffer_.header();
    uint64_t at = buffer_.joinSeq();
    // A start point this old would leave the viewer half way to being dropped at once.
    if (at != StreamBuffer::kNoPacket && now - buffer_.arrivedAt(at) > maxLag_ / 2) at = StreamBuffer::kNoPacket;
    p.joinFrom = at != StreamBuffer::kNoPacket ? at : buffer_.nextSeq();
    return p;
}

FanOutPolicy::Next FanOutPolicy::next(ViewerPosition &p) const {
    const bool headerReplaced = p.header != buffer_.header();
    if (p.seq == StreamBuffer::kNoPacket) {
        const uint64_t start = buffer_.startFrom(p.joinFrom);
        // Under a replaced header only a start point made under that header will do.
        if (headerReplaced && (start == StreamBuffer::kNoPacket || start >= buffer_.headerStart()))
            return {Step::EndStream};
        if (start == StreamBuffer::kNoPacket) return {Step::Wait};
        p.seq = p.firstSeq = start;
        p.offset = 0;
    }
    const uint64_t end = headerReplaced ? buffer_.headerStart() : buffer_.nextSeq();
    if (p.seq < end) return {Step::Write, end};
    if (headerReplaced && p.offset == 0) return {Step::EndStream};
    return {Step::Wait};
}

bool FanOutPolicy::tooFarBehind(const ViewerPosition &p, Clock::time_point now) const {
    if (p.seq == StreamBuffer::kNoPacket || p.seq >= buffer_.nextSeq()) return false;
    if (buffer_.tooFarBehind(p.seq) || buffer_.packet(p.seq) == nullptr) return true;
    return now - buffer_.arrivedAt(p.seq) > maxLag_;
}

}  // namespace morlanex
