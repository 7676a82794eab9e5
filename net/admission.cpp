#include "net/admission.h"

namespace morlanex {

Admission::Verdict Admission::admit(uint64_t id, uint32_t address, Clock::time_point now,
                                    std::optional<uint64_t> *evicted) {
    evicted->reset();
    auto it = perAddress_.find(address);
    // A host may use a free pool as it likes (a NAT's burst of viewers); once the pool is
    // under pressure it gets no more than its share.
    if (it != perAddress_.end() && it->second >= limits_.maxPerAddress && underPressure()) return Verdict::Refuse;
    if (pending() >= limits_.maxPending) {
        dropLeftEntries();
        if (!order_.empty()) {
            *evicted = order_.front().id;
            remove(order_.front().id);
            order_.pop_front();
        }
    }
    addressOf_.emplace(id, address);
    ++perAddress_[address];
    order_.push_back({id, now});
    return Verdict::Admit;
}

void Admission::leave(uint64_t id) {
    remove(id);
    if (addressOf_.empty()) order_.clear();  // nothing in it is still pending
}

void Admission::remove(uint64_t id) {
    const auto it = addressOf_.find(id);
    if (it == addressOf_.end()) return;
    const auto a = perAddress_.find(it->second);
    if (a != perAddress_.end() && --a->second == 0) perAddress_.erase(a);
    addressOf_.erase(it);
}

void Admission::dropLeftEntries() {
    while (!order_.empty() && !addressOf_.count(order_.front().id)) order_.pop_front();
}

Admission::Clock::time_point Admission::nextDeadline() {
    dropLeftEntries();
    if (order_.empty()) return Clock::time_point::max();
    return order_.front().since + (underPressure() ? limits_.timeoutUnderPressure : limits_.timeout);
}

std::optional<uint64_t> Admission::expired(Clock::time_point now) {
    if (nextDeadline() > now) return std::nullopt;
    const uint64_t id = order_.front().id;
    remove(id);
    order_.pop_front();
    return id;
}

}  // namespace morlanex
