#include "media/push/push_plan.h"

#include "media/netsink/dash_manifest.h"

#include <cstdlib>

namespace morlanex {
namespace {

// A change of this much in when media time 0 was live means the encoder's clock jumped, not
// the uplink's jitter (as the sink's own manifest reckons it).
constexpr int64_t kReanchorMs = 1000;

int64_t unixMs(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

bool PushAssembler::header(std::span<const uint8_t> bytes) {
    const std::optional<WebmHeaderInfo> info = readWebmHeader(bytes);
    if (!info) return false;
    header_.assign(bytes.begin(), bytes.end());
    info_ = *info;
    started_ = oversized_ = false;
    pending_.clear();
    pendingStartMs_.reset();
    next_ = 0;
    return true;
}

std::optional<PushSegment> PushAssembler::chunk(std::span<const uint8_t> bytes, bool startPoint, uint64_t *skipped) {
    if (header_.empty() || (!started_ && !startPoint)) return std::nullopt;  // from the first start point on
    std::optional<PushSegment> done;
    if (startPoint) {
        const std::optional<uint64_t> startMs = clusterTimeMs(bytes, info_.timecodeScaleNs);
        if (started_) {
            if (oversized_ || !pendingStartMs_ || !startMs || *startMs <= *pendingStartMs_)
                ++*skipped;  // no place in a timeline, or too large to push
            else
                done = PushSegment{next_++, *pendingStartMs_, *startMs - *pendingStartMs_,
                                   std::make_shared<const std::vector<uint8_t>>(std::move(pending_)),
                                   std::chrono::system_clock::now()};
        }
        started_ = true;
        oversized_ = false;
        pending_ = {};
        pendingStartMs_ = startMs;
    }
    if (oversized_) return done;
    if (pending_.size() + bytes.size() > kMaxSegmentBytes) {
        oversized_ = true;
        pending_ = {};  // freed now, not at the next start point
        return done;
    }
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return done;
}

size_t PushQueue::add(PushSegment segment) {
    bytes_ += segment.bytes->size();
    waiting_.push_back(std::move(segment));
    size_t dropped = 0;
    while (waiting_.size() > 1 && (waiting_.size() > maxSegments_ || bytes_ > maxBytes_)) {
        bytes_ -= waiting_.front().bytes->size();
        waiting_.pop_front();
        ++dropped;
    }
    return dropped;
}

std::optional<PushSegment> PushQueue::take() {
    if (waiting_.empty()) return std::nullopt;
    PushSegment segment = std::move(waiting_.front());
    waiting_.pop_front();
    bytes_ -= segment.bytes->size();
    return segment;
}

void PushedWindow::reset(std::string session, WebmHeaderInfo info) {
    session_ = std::move(session);
    info_ = std::move(info);
    listed_.clear();
    availabilityStartMs_.reset();
}

void PushedWindow::pushed(const PushSegment &segment, std::vector<uint64_t> trackBytes) {
    listed_.push_back({segment.number, segment.startMs, segment.durationMs, std::move(trackBytes)});
    if (listed_.size() > kListed) listed_.pop_front();
    // When media time 0 was live: the segment's end came at its completion.
    const int64_t candidate = unixMs(segment.completedAt) - int64_t(segment.startMs + segment.durationMs);
    if (!availabilityStartMs_ || std::llabs(candidate - *availabilityStartMs_) > kReanchorMs)
        availabilityStartMs_ = candidate;
}

std::string PushedWindow::latest() const {
    return "{\"session\":\"" + session_ +
        "\",\"segment\":" + std::to_string(listed_.empty() ? 0 : listed_.back().number) + "}";
}

std::string PushedWindow::manifest(std::chrono::system_clock::time_point now) const {
    DashManifest m;
    m.session = session_;
    m.stream = info_;
    m.bandwidthBps.assign(info_.tracks.size(), 0);
    for (const Listed &s : listed_) {
        m.segments.push_back({s.number, s.startMs, s.durationMs});
        for (size_t i = 0; i < s.trackBytes.size() && i < m.bandwidthBps.size(); ++i)
            m.bandwidthBps[i] += s.trackBytes[i];
    }
    // Each track's bit rate over the listed segments (gaps left out).
    uint64_t spanMs = 0;
    for (const Listed &s : listed_) spanMs += s.durationMs;
    for (uint64_t &bps : m.bandwidthBps) bps = spanMs ? bps * 8000 / spanMs : 0;
    m.availabilityStart =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(availabilityStartMs_.value_or(0)));
    m.published = now;
    return m.text();
}

}  // namespace morlanex
