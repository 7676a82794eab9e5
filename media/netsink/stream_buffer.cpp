#include "media/netsink/stream_buffer.h"

#include "media/asf/asf_packet.h"
#include "media/netsink/mmsh_framing.h"

#include <algorithm>

namespace morlanex {

std::shared_ptr<const StreamHeader> StreamHeader::fromMuxer(std::span<const uint8_t> bytes, std::string *error,
                                                            uint32_t maxBitrateBps) {
    auto info = parseAsfHeader(bytes, error);
    if (!info) return nullptr;
    auto h = std::make_shared<StreamHeader>();
    h->raw = makeLiveAsfHeader(bytes, *info, maxBitrateBps);
    h->framed = frameMmshHeader(h->raw);
    h->info = std::move(*info);
    return h;
}

std::shared_ptr<const StreamHeader> StreamHeader::opaque(std::span<const uint8_t> bytes) {
    auto h = std::make_shared<StreamHeader>();
    h->raw.assign(bytes.begin(), bytes.end());
    return h;
}

StreamBuffer::StreamBuffer(size_t maxBacklogBytes, size_t maxWindowBytes)
    : maxBacklogBytes_(maxBacklogBytes), maxWindowBytes_(std::max(maxWindowBytes, maxBacklogBytes)) {}

bool StreamBuffer::setHeader(std::shared_ptr<const StreamHeader> header) {
    if (header_ && header && header_->raw == header->raw) return false;
    header_ = std::move(header);
    headerStart_ = nextSeq_;  // start points before it stay for viewers of the old header
    return true;
}

size_t StreamBuffer::backlogPackets() const {
    const size_t p = header_ ? header_->info.packetSize : 0;
    return p ? std::max<size_t>(1, maxBacklogBytes_ / p) : 0;
}

bool StreamBuffer::tooFarBehind(uint64_t seq) const {
    if (seq == kNoPacket || seq >= nextSeq_) return false;
    return seq < firstSeq_ || window_.empty() || bytesFrom(seq) > maxBacklogBytes_;
}

StreamBuffer::PushResult StreamBuffer::push(std::vector<uint8_t> &&bytes, Clock::time_point arrived,
                                            uint8_t rendition) {
    if (!header_) return PushResult::NoHeader;
    const size_t p = header_->info.packetSize;
    if (bytes.size() > p || rendition > kMaxRenditions) return PushResult::TooLarge;
    if (bytes.size() < p) bytes.resize(p, 0);
    const auto info = parseAsfPacket(bytes, header_->info.videoStreams);
    const bool start = info && (info->startsVideoKeyFrame || header_->info.videoStreams.empty());
    renditionCount_ = std::max(renditionCount_, rendition);
    append(std::move(bytes), start, arrived, rendition, info ? info->sendTime_ms : 0);
    return PushResult::Accepted;
}

StreamBuffer::PushResult StreamBuffer::pushChunk(std::vector<uint8_t> &&bytes, bool startPoint,
                                                 Clock::time_point arrived) {
    if (!header_) return PushResult::NoHeader;
    append(std::move(bytes), startPoint, arrived);
    return PushResult::Accepted;
}

void StreamBuffer::append(std::vector<uint8_t> &&bytes, bool startPoint, Clock::time_point arrived, uint8_t rendition,
                          uint32_t sendTimeMs) {
    if (startPoint) {
        starts_.push_back(nextSeq_);
        startTimes_.push_back(sendTimeMs);
        ++startsPushed_;
    }
    if (window_.empty()) firstSeq_ = nextSeq_;
    offsets_.push_back(streamBytes_);
    streamBytes_ += bytes.size();
    renditions_.push_back(rendition);
    renditionBytes_[rendition] += bytes.size();
    window_.push_back(std::make_shared<const std::vector<uint8_t>>(std::move(bytes)));
    arrivals_.push_back(arrived);
    sendTimes_.push_back(sendTimeMs);
    ++nextSeq_;
    trim();
}

void StreamBuffer::trim() {
    while (!window_.empty()) {
        const uint64_t windowBytes = bytesFrom(firstSeq_);
        const bool beyondBacklog = windowBytes > maxBacklogBytes_;
        const bool neededForJoin = !starts_.empty() && starts_.back() >= headerStart_ && firstSeq_ >= starts_.back();
        if (!beyondBacklog || (neededForJoin && windowBytes <= maxWindowBytes_)) break;
        if (!starts_.empty() && starts_.front() == firstSeq_) {
            starts_.pop_front();
            startTimes_.pop_front();
        }
        renditionBytes_[renditions_.front()] -= window_.front()->size();
        renditions_.pop_front();
        window_.pop_front();
        arrivals_.pop_front();
        sendTimes_.pop_front();
        offsets_.pop_front();
        ++firstSeq_;
    }
}

const PacketBytes *StreamBuffer::packet(uint64_t seq) const {
    if (seq < firstSeq_ || seq >= nextSeq_ || window_.empty()) return nullptr;
    return &window_[size_t(seq - firstSeq_)];
}

StreamBuffer::Clock::time_point StreamBuffer::arrivedAt(uint64_t seq) const {
    if (seq < firstSeq_ || seq >= nextSeq_ || window_.empty()) return Clock::time_point::min();
    return arrivals_[size_t(seq - firstSeq_)];
}

uint64_t StreamBuffer::joinSeq(uint8_t r) const {
    auto it = starts_.rbegin();
    while (r && it != starts_.rend() && *it >= firstSeq_ && rendition(*it) != r) ++it;
    if (it == starts_.rend() || *it < headerStart_ || *it < firstSeq_) return kNoPacket;
    return bytesFrom(*it) > maxBacklogBytes_ / 2 ? kNoPacket : *it;
}

uint64_t StreamBuffer::startFrom(uint64_t from) const {
    const auto it = std::lower_bound(starts_.begin(), starts_.end(), from);
    return it == starts_.end() ? kNoPacket : *it;
}

uint8_t StreamBuffer::rendition(uint64_t seq) const {
    if (seq < firstSeq_ || seq >= nextSeq_ || window_.empty()) return 0;
    return renditions_[size_t(seq - firstSeq_)];
}

uint64_t StreamBuffer::startFrom(uint64_t from, uint8_t r) const {
    for (auto it = std::lower_bound(starts_.begin(), starts_.end(), from); it != starts_.end(); ++it)
        if (rendition(*it) == r) return *it;
    return kNoPacket;
}

uint32_t StreamBuffer::startTimeMs(uint64_t seq) const {
    const auto it = std::lower_bound(starts_.begin(), starts_.end(), seq);
    return it != starts_.end() && *it == seq ? startTimes_[size_t(it - starts_.begin())] : 0;
}

uint64_t StreamBuffer::bitsPerSecond(uint8_t r) const {
    if (window_.empty() || r > kMaxRenditions) return 0;
    // By the stream's own clock where its packets carry one: packets handed over in a burst (a
    // replay's first seconds, an encoder catching up) are no higher rate.
    const auto span = sendTimes_.back() > sendTimes_.front()
        ? int64_t(sendTimes_.back() - sendTimes_.front())
        : std::chrono::duration_cast<std::chrono::milliseconds>(arrivals_.back() - arrivals_.front()).count();
    if (span < 2000) return 0;
    return (renditionBytes_[0] + (r ? renditionBytes_[r] : 0)) * 8000 / uint64_t(span);
}

std::optional<uint64_t> StreamBuffer::newestSegment() const {
    if (starts_.size() < 2) return std::nullopt;
    return startsPushed_ - 2;
}

std::optional<std::pair<uint64_t, uint64_t>> StreamBuffer::segment(uint64_t number) const {
    const uint64_t first = startsPushed_ - starts_.size();  // the number of starts_.front()
    if (number < first || number + 1 >= startsPushed_) return std::nullopt;
    const size_t i = size_t(number - first);
    return std::make_pair(starts_[i], starts_[i + 1]);
}

bool StreamBuffer::appendSegment(uint64_t number, std::vector<uint8_t> *out) const {
    const auto range = segment(number);
    if (!range) return false;
    for (uint64_t seq = range->first; seq < range->second; ++seq) {
        const std::vector<uint8_t> &chunk = **packet(seq);
        out->insert(out->end(), chunk.begin(), chunk.end());
    }
    return true;
}

void StreamBuffer::clearPackets() {
    window_.clear();
    arrivals_.clear();
    sendTimes_.clear();
    offsets_.clear();
    renditions_.clear();
    for (uint64_t &b : renditionBytes_) b = 0;
    firstSeq_ = nextSeq_;
    starts_.clear();
    startTimes_.clear();
}

}  // namespace morlanex
