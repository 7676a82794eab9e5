// Public header file.
//
// Admission: the pool of connections whose request is still incomplete, kept apart from the
// served ones so that idle or slow connections can never lock newcomers out. Both HTTP
// servers (the network sink and the directory's channel page) admit through one.
//
// Rules (no sockets here; the loop acts on the answers):
//  - while the pool is at least half full, at most `maxPerAddress` incomplete requests from
//    one IPv4 address; one more is refused (the loop answers 503 where it still can);
//  - at most `maxPending` in all; when the pool is full a newcomer is still admitted and the
//    oldest incomplete request is evicted instead, as it is the likeliest to be hostile;
//  - a request must be complete within `timeout`, or within `timeoutUnderPressure` while the
//    pool is at least half full (as nginx and Icecast shorten theirs under load).
// Connections are named by the loop's unique connection id.
//
// Threads: not thread-safe; used by one server's loop thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>

namespace morlanex {

class Admission {
public:
    using Clock = std::chrono::steady_clock;
    struct Limits {
        size_t maxPending = 1024;
        size_t maxPerAddress = 32;
        std::chrono::milliseconds timeout{5000};
        std::chrono::milliseconds timeoutUnderPressure{1000};
    };

    explicit Admission(const Limits &limits) : limits_(limits) {}

    enum class Verdict { Admit, Refuse };
    // A connection whose request is incomplete. On Admit with a full pool, `*evicted` names
    // the oldest incomplete connection, which has left the pool and must be closed.
    Verdict admit(uint64_t id, uint32_t address, Clock::time_point now, std::optional<uint64_t> *evicted);
    // Its request is complete, or it closed.
    void leave(uint64_t id);
    // The oldest connection whose time is up, which leaves the pool; nullopt when none is.
    std::optional<uint64_t> expired(Clock::time_point now);
    // When the oldest connection's time is up; Clock::time_point::max() when the pool is empty.
    Clock::time_point nextDeadline();

    size_t pending() const { return addressOf_.size(); }
    bool underPressure() const { return pending() * 2 >= limits_.maxPending; }

private:
    struct Entry {
        uint64_t id;
        Clock::time_point since;
    };
    void dropLeftEntries();
    void remove(uint64_t id);

    Limits limits_;
    std::deque<Entry> order_;  // by arrival; may hold ids that left
    std::unordered_map<uint64_t, uint32_t> addressOf_;  // every id in the pool
    std::unordered_map<uint32_t, uint32_t> perAddress_;
};

}  // namespace morlanex
