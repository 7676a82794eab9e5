#include "media/netsink/sink_inbox.h"

#include <cerrno>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

namespace morlanex {

bool SinkInbox::open(std::string *error) {
    std::lock_guard lock(mutex_);
    wake_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_) {
        if (error) *error = std::string("cannot create the sink's wake-up event: ") + std::strerror(errno);
        return false;
    }
    items_.clear();
    open_ = true;
    stop_ = false;
    return true;
}

void SinkInbox::close() {
    std::lock_guard lock(mutex_);
    open_ = false;
    items_.clear();
    wake_.reset();
}

int SinkInbox::wakeFd() const {
    std::lock_guard lock(mutex_);
    return wake_.get();
}

void SinkInbox::wakeLocked() {
    const uint64_t one = 1;
    if (wake_ && ::write(wake_.get(), &one, sizeof one) < 0 && errno != EAGAIN) {
        // The counter cannot overflow in practice; a failed wake only delays the loop.
    }
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

void SinkInbox::postStop() {
    std::lock_guard lock(mutex_);
    stop_ = true;
    wakeLocked();
}

void SinkInbox::take(std::vector<InboxItem> *items, bool *stop) {
    std::lock_guard lock(mutex_);
    uint64_t count = 0;
    if (wake_ && ::read(wake_.get(), &count, sizeof count) < 0) {
        // EAGAIN: nothing was signalled since the last take.
    }
    items->swap(items_);
    items_.clear();
    *stop = stop_;
}

std::shared_ptr<const StreamHeader> SinkInbox::lastHeader(size_t stream) const {
    std::lock_guard lock(mutex_);
    return stream < last_.size() ? last_[stream] : nullptr;
}

}  // namespace morlanex
