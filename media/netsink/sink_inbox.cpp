#include "media/netsink/sink_inbox.h"

namespace morlanex {

void SinkInbox::open(std::function<void()> wake) {
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
    items_.clear();
    open_ = true;
    stop_ = false;
}

void SinkInbox::close() {
    std::lock_guard lock(mutex_);
    open_ = false;
    items_.clear();
    wake_ = nullptr;
}

void SinkInbox::wakeLocked() {
    if (wake_) wake_();
}

void SinkInbox::postHeader(std::shared_ptr<const StreamHeader> header, size_t stream) {
    std::lock_guard lock(mutex_);
    if (last_.size() <= stream) last_.resize(stream + 1);
    last_[stream] = header;
    if (!open_) return;
    if (items_.empty()) wakeLocked();
    items_.push_back({std::move(header), {}, stream});
}

bool SinkInbox::postPacket(std::vector<uint8_t> &&packet, size_t stream, bool startPoint, uint8_t rendition) {
    std::lock_guard lock(mutex_);
    if (!open_ || items_.size() >= kMaxQueuedItems) return false;
    if (items_.empty()) wakeLocked();
    items_.push_back({nullptr, std::move(packet), stream, startPoint, rendition});
    return true;
}

bool SinkInbox::postRtcFrame(std::vector<uint8_t> &&frame, RtcMedia kind, uint64_t ptsNs, bool keyFrame,
                             uint8_t rendition) {
    std::lock_guard lock(mutex_);
    if (!open_ || items_.size() >= kMaxQueuedItems) return false;
    if (items_.empty()) wakeLocked();
    items_.push_back({nullptr, std::move(frame), 0, false, rendition, true, kind, keyFrame, ptsNs});
    return true;
}

void SinkInbox::postStop() {
    std::lock_guard lock(mutex_);
    stop_ = true;
    wakeLocked();
}

void SinkInbox::take(std::vector<InboxItem> *items, bool *stop) {
    std::lock_guard lock(mutex_);
    items->swap(items_);
    items_.clear();
    *stop = stop_;
}

std::shared_ptr<const StreamHeader> SinkInbox::lastHeader(size_t stream) const {
    std::lock_guard lock(mutex_);
    return stream < last_.size() ? last_[stream] : nullptr;
}

}  // namespace morlanex
