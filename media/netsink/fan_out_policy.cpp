#include "media/netsink/fan_out_policy.h"

#include "media/asf/asf_packet.h"

#include <algorithm>

namespace morlanex {

namespace {

using std::chrono::milliseconds;

constexpr uint64_t kNoPacket = StreamBuffer::kNoPacket;
// Key frames of the renditions are at the same times; their packets' send times may differ by
// the other renditions' packets sent between them, never by a group of pictures.
constexpr uint32_t kSameKeyFrameMs = 1000;
constexpr auto kLinkRateKept = std::chrono::seconds(120);
constexpr uint16_t kMaxUpWaitSeconds = 120;
constexpr uint64_t kOldLookBack = 64;  // packets
constexpr milliseconds kLinkSpan{1200};
// Below this a write carries too little to be worth its system call.
constexpr size_t kMinUnsentBytes = 4096;

// The presentation time of the newest frame a packet holds a part of (0: none); with `first`,
// of the frame it begins with. A rendition's packet goes out once full, so it may hold frames
// later than another rendition's next key frame that went out before it: frames' times tell,
// packets' send times do not.
uint32_t frameMs(const PacketBytes &packet, bool first = false) {
    uint32_t newest = 0;
    if (const std::optional<AsfPacketContents> contents = readAsfPacket(*packet))
        for (const AsfPayload &payload : contents->payloads) {
            if (first) return payload.presentationMs();
            newest = std::max(newest, payload.presentationMs());
        }
    return newest;
}

// The rendition a new viewer starts on: the top one. A player that guesses the frame rate from
// the first frames (ffmpeg does) then never sees it rise, and a fast link needs no move.
uint8_t startRendition(uint8_t count) { return count; }

}  // namespace

bool viewerTakes(const ViewerPosition &p, const StreamBuffer &buffer, uint64_t seq) {
    const uint8_t r = buffer.rendition(seq);
    if (r == 0 || p.rendition == 0) return true;
    if (p.soundOnly) return false;
    if (p.target == p.rendition) return r == p.rendition;
    if (r == p.rendition) return seq < std::min(p.stopOldAt, p.switchAt);
    return r == p.target && p.switchAt != kNoPacket && seq >= p.switchAt;
}

ViewerPosition FanOutPolicy::join(Clock::time_point now) const {
    ViewerPosition p;
    p.header = buffer_.header();
    if (buffer_.renditionCount() > 0) p.rendition = p.target = startRendition(buffer_.renditionCount());
    // A viewer of renditions too: until it has kept up, its socket takes only a little of the
    // burst of the last seconds, and the rest is stepped over if its link turns out short.
    uint64_t at = buffer_.joinSeq(p.rendition);
    // A start point this old would leave the viewer half way to being dropped at once.
    if (at != StreamBuffer::kNoPacket && now - buffer_.arrivedAt(at) > maxLag_ / 2) at = StreamBuffer::kNoPacket;
    p.joinFrom = at != StreamBuffer::kNoPacket ? at : buffer_.nextSeq();
    return p;
}

FanOutPolicy::Next FanOutPolicy::next(ViewerPosition &p) const {
    const bool headerReplaced = p.header != buffer_.header();
    if (p.seq == StreamBuffer::kNoPacket) {
        if (p.rendition == 0 && buffer_.renditionCount() > 0)
            p.rendition = p.target = startRendition(buffer_.renditionCount());
        const uint64_t start = p.rendition ? buffer_.startFrom(p.joinFrom, p.rendition) : buffer_.startFrom(p.joinFrom);
        // Under a replaced header only a start point made under that header will do.
        if (headerReplaced && (start == StreamBuffer::kNoPacket || start >= buffer_.headerStart()))
            return {Step::EndStream};
        if (start == StreamBuffer::kNoPacket) return {Step::Wait};
        p.seq = p.firstSeq = start;
        p.offset = 0;
    }
    progressMove(p);
    // A step over waits for the packet begun: only that one is written first.
    const bool finishPacket = stepOverBacklog(p);
    const uint64_t end = headerReplaced ? buffer_.headerStart() : buffer_.nextSeq();
    if (p.seq < end) return {Step::Write, finishPacket ? std::min(end, p.seq + 1) : end};
    if (headerReplaced && p.offset == 0) return {Step::EndStream};
    return {Step::Wait};
}

bool FanOutPolicy::tooFarBehind(const ViewerPosition &p, Clock::time_point now) const {
    if (p.seq == StreamBuffer::kNoPacket || p.seq >= buffer_.nextSeq()) return false;
    if (!buffer_.tooFarBehind(p.seq) && buffer_.packet(p.seq) != nullptr && now - buffer_.arrivedAt(p.seq) <= maxLag_)
        return false;
    if (p.rendition == 0 || p.soundOnly || p.control.sampledAt == Clock::time_point{}) return true;
    // A viewer of renditions steps over what waits for it once its socket takes more (see
    // stepOverBacklog and a move down): it is too far behind only when nothing has left its
    // socket for that long.
    return now - p.control.leftAt > maxLag_;
}

void FanOutPolicy::beginMove(ViewerPosition &p, uint8_t to, Clock::time_point now) const {
    p.target = to;
    // A packet partly written is finished first.
    p.moveFrom = p.seq + (p.offset > 0 ? 1 : 0);
    p.switchAt = kNoPacket;
    p.stopOldAt = to < p.rendition ? p.moveFrom : kNoPacket;
    p.oldEndMs = 0;
    for (uint64_t s = p.moveFrom; to < p.rendition && s-- > 0 && s + kOldLookBack >= p.moveFrom;) {
        const PacketBytes *packet = buffer_.packet(s);
        if (!packet) break;
        if (buffer_.rendition(s) != p.rendition) continue;
        p.oldEndMs = frameMs(*packet);
        break;
    }
    p.control.lastMove = p.control.calmSince = now;
    progressMove(p);
}

void FanOutPolicy::progressMove(ViewerPosition &p) const {
    if (p.target == p.rendition) return;
    const uint64_t from = std::max(p.moveFrom, p.seq + (p.offset > 0 ? 1 : 0));
    if (p.target < p.rendition) {
        // Moving down: the old rendition has stopped already. Its viewer is behind, and could
        // not catch up at a lower rate either, so it steps over what waits for it (the sound
        // too) to the new rendition's newest key frame. One before the last old frame written
        // would make the picture step back. Once it has begun the new rendition it keeps it.
        if (p.switchAt != kNoPacket && p.seq >= p.switchAt) return finishMove(p);
        // Key frames come in time order: when the newest is not past the old end, none is.
        uint64_t newest = kNoPacket;
        for (uint64_t s = buffer_.startFrom(from, p.target); s != kNoPacket; s = buffer_.startFrom(s + 1, p.target))
            newest = s;
        if (newest != kNoPacket && (!p.oldEndMs || frameMs(*buffer_.packet(newest), true) > p.oldEndMs))
            p.switchAt = newest;
        if (p.switchAt != kNoPacket && p.offset == 0 && p.seq < p.switchAt) p.seq = p.switchAt;
        return finishMove(p);
    }
    for (uint64_t s = buffer_.startFrom(from, p.target); p.switchAt == kNoPacket && s != kNoPacket;
         s = buffer_.startFrom(s + 1, p.target)) {
        // Moving up: the old rendition goes on until its own key frame of the same time, unless
        // that one (or a later one) was written already; then wait for the next key frame.
        const uint32_t keyTime = buffer_.startTimeMs(s);
        const uint32_t sameTime = keyTime > kSameKeyFrameMs ? keyTime - kSameKeyFrameMs : 0;
        bool passed = false;
        for (uint64_t o = buffer_.startFrom(p.moveFrom, p.rendition); o != kNoPacket && o < from;
             o = buffer_.startFrom(o + 1, p.rendition))
            passed = passed || buffer_.startTimeMs(o) >= sameTime;
        if (passed) continue;
        uint64_t stop = s;
        for (uint64_t o = buffer_.startFrom(from, p.rendition); o != kNoPacket && o < s;
             o = buffer_.startFrom(o + 1, p.rendition))
            if (buffer_.startTimeMs(o) >= sameTime) {
                stop = o;
                break;
            }
        p.stopOldAt = stop;
        p.switchAt = s;
    }
    finishMove(p);
}

bool FanOutPolicy::stepOverBacklog(ViewerPosition &p) const {
    if (p.rendition == 0 || p.target != p.rendition || p.soundOnly) return false;
    const uint64_t newest = buffer_.nextSeq();
    if (p.seq >= newest) return false;
    // A place that has left the window (kept while its socket drained) is behind too.
    if (buffer_.packet(p.seq) && buffer_.arrivedAt(newest - 1) - buffer_.arrivedAt(p.seq) <= kDownBehind) return false;
    // Writable again but this far behind in what waits here: a move down would step over it,
    // and on the rendition its link carries there may be no lower one to move to. So it goes
    // on from its rendition's newest key frame, once the packet begun is finished.
    const uint64_t key = buffer_.joinSeq(p.rendition);
    if (key == kNoPacket || key <= p.seq) return false;
    if (p.offset > 0) return true;
    p.seq = key;
    return false;
}

void FanOutPolicy::finishMove(ViewerPosition &p) {
    if (p.switchAt != kNoPacket && p.seq >= p.switchAt) {
        p.rendition = p.target;
        p.switchAt = p.stopOldAt = kNoPacket;
    }
}

void FanOutPolicy::adapt(ViewerPosition &p, Clock::time_point now, size_t queuedBytes) const {
    const uint8_t count = buffer_.renditionCount();
    if (count < 2 || p.rendition == 0 || p.seq == kNoPacket || p.soundOnly) return;
    RenditionControl &c = p.control;
    if (c.sampledAt == Clock::time_point{}) {
        c.calmSince = now;  // a new viewer may move down at once, up only once it has kept up
        c.leftAt = now;
    } else {
        if (queuedBytes == 0 || queuedBytes < uint64_t(c.queuedBytes) + c.writtenBytes) c.leftAt = now;
        // Bytes queued at every sample: the link was busy all along, so what left is its rate.
        // Taken over kLinkSpan: the viewer's receive window opens in steps, so what leaves in
        // one pass may be a step more or less than the link carried.
        if (c.queuedBytes > 0 && queuedBytes > 0) {
            const uint64_t had = uint64_t(c.queuedBytes) + c.writtenBytes;
            if (c.busySince == Clock::time_point{}) c.busySince = c.sampledAt, c.busyBytes = 0;
            c.busyBytes =
                uint32_t(std::min<uint64_t>(c.busyBytes + had - std::min<uint64_t>(had, queuedBytes), UINT32_MAX));
            const auto ms = std::chrono::duration_cast<milliseconds>(now - c.busySince).count();
            if (ms >= kLinkSpan.count()) {
                c.linkBps = uint32_t(std::min<uint64_t>(uint64_t(c.busyBytes) * 8000 / uint64_t(ms), UINT32_MAX));
                c.linkMeasuredAt = c.busySince = now;
                c.busyBytes = 0;
                // Moving up asks whether any recent measurement says no: keep the lowest.
                if (c.slowestAt == Clock::time_point{} || c.linkBps <= c.slowestBps ||
                    now - c.slowestAt >= kLinkRateKept) {
                    c.slowestBps = c.linkBps;
                    c.slowestAt = now;
                }
            }
        } else {
            c.busySince = {};
        }
    }
    c.sampledAt = now;
    c.queuedBytes = uint32_t(std::min<size_t>(queuedBytes, UINT32_MAX));
    c.writtenBytes = 0;
    if (p.target != p.rendition) {  // a move is under way: settling counts from its end
        c.lastMove = c.calmSince = now;
        c.keptUp = false;
        return;
    }

    const uint64_t rate = buffer_.bitsPerSecond(p.rendition);
    if (rate == 0) return;
    // What its socket holds reaches it at its link's rate, where known.
    const bool linkKnown = c.linkBps > 0 && now - c.linkMeasuredAt < kLinkRateKept;
    milliseconds behind{int64_t(uint64_t(queuedBytes) * 8000 / (linkKnown ? c.linkBps : rate))};
    // A place that has left the window waits at least as long as the oldest packet still in it.
    if (const auto since = buffer_.arrivedAt(std::max(p.seq, buffer_.oldestSeq()));
        p.seq < buffer_.nextSeq() && since != Clock::time_point::min())
        behind += std::chrono::duration_cast<milliseconds>(now - since);
    if (behind >= kCalmBehind) c.calmSince = now;
    c.keptUp = now - c.calmSince >= kSettle;
    if (now - c.lastMove < kSettle) return;

    const bool shortLink = linkKnown && c.linkBps < rate;
    if ((behind > kDownBehind || (shortLink && behind > kDownBehindShortLink)) && p.rendition > 1) {
        uint8_t to = uint8_t(p.rendition - 1);
        if (linkKnown)
            while (to > 1 && buffer_.bitsPerSecond(to) * 110 / 100 > c.linkBps) --to;
        if (c.movedUp) c.upWaitSeconds = uint16_t(std::min<int>(kMaxUpWaitSeconds, c.upWaitSeconds * 2));
        c.movedUp = false;
        return beginMove(p, to, now);
    }
    if (behind < kCalmBehind && p.rendition < count && now - c.calmSince >= std::chrono::seconds(c.upWaitSeconds)) {
        // A viewer that keeps up leaves its socket empty, so its link is measured only when it
        // falls behind. Each failed try up makes that measurement count for longer, and the
        // measured rate's last bits, which differ from viewer to viewer, spread the next try
        // over 15 s, so that viewers who came together do not all try at the same moment.
        const auto remembered =
            std::max<std::chrono::seconds>(kLinkRateKept, std::chrono::seconds(4 * c.upWaitSeconds)) +
            std::chrono::seconds(c.slowestBps % 16);
        if (c.slowestAt != Clock::time_point{} && now - c.slowestAt < remembered &&
            c.slowestBps < buffer_.bitsPerSecond(uint8_t(p.rendition + 1)) * 120 / 100)
            return;
        c.movedUp = true;
        beginMove(p, uint8_t(p.rendition + 1), now);
    }
}

size_t FanOutPolicy::unsentLimit(const ViewerPosition &p) const {
    const uint8_t lower = std::min(p.rendition, p.target);
    if (lower == 0 || p.soundOnly || (lower == buffer_.renditionCount() && p.control.keptUp)) return 0;
    const uint64_t rate = buffer_.bitsPerSecond(lower);
    return std::max<size_t>(kMinUnsentBytes, size_t(rate * uint64_t(kUnsentAhead.count()) / 8000));
}

}  // namespace morlanex
