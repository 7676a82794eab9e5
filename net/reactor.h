// Public header file.
//
// Reactor: one epoll loop with timers, at most one per thread.
//
// It tells handlers when the descriptors they watch are ready, runs timers (one-shot or
// periodic, on the monotonic clock) and runs tasks that other threads post. Each pass:
//   1. waits for readiness, at most until the next timer is due;
//   2. runs the tasks posted since the last pass, so I/O handled in this pass sees what they
//      brought (a producer's packets, a new header);
//   3. tells the handlers of every ready descriptor (a descriptor unwatched earlier in the
//      pass, even if its number was watched again since, is not told of the old events);
//   4. runs the timers that are due;
//   5. runs the before-wait hooks, which may compute deadlines from the pass's work.
// Any descriptor may be watched (TCP, UDP, eventfd, signalfd), so a server adds its own
// sockets beside the others (a UDP socket beside TCP connections); a handler may send as
// much as it likes per readiness, a batch of datagrams (sendmmsg) included.
//
// Threads: post() and quit() from any thread; everything else on the loop's thread
// (the one in run()), or before run() starts. The reactor owns its epoll descriptor and its
// wake-up eventfd; watched descriptors are only borrowed: unwatch() before closing one, or
// forget() it after.
//
// Example:
//   auto reactor = Reactor::create(&error);
//   reactor->watch(listener.get(), EPOLLIN, [&](uint32_t) { acceptAll(); });
//   reactor->every(std::chrono::seconds(1), [&] { expireIdle(); });
//   reactor->run();    // until quit()
#pragma once

#include "net/socket.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace morlanex {

// Told of readiness on descriptors it watches; cheaper than a function per descriptor when
// one object serves thousands of connections.
class IoHandler {
public:
    virtual void onIo(int fd, uint32_t events) = 0;

protected:
    ~IoHandler() = default;
};

class Reactor {
public:
    using Clock = std::chrono::steady_clock;
    using Task = std::function<void()>;
    using TimerId = uint64_t;
    static constexpr TimerId kNoTimer = 0;

    // Nullptr with `*error` set when the epoll or eventfd cannot be had.
    static std::unique_ptr<Reactor> create(std::string *error);
    ~Reactor();
    Reactor(const Reactor &) = delete;
    Reactor &operator=(const Reactor &) = delete;

    // Watches `fd` for `events` (EPOLLIN, EPOLLOUT, EPOLLET, ...). False with errno when epoll
    // refuses it. The handler must outlive the watch. Without one, the default handler is
    // told: a server of thousands of connections keeps no handler per descriptor here.
    bool watch(int fd, uint32_t events, IoHandler *handler = nullptr);
    bool watch(int fd, uint32_t events, std::function<void(uint32_t events)> handler);
    bool rewatch(int fd, uint32_t events);
    void unwatch(int fd);
    // The descriptor was closed (which left the epoll set): drops its handler, no system call.
    void forget(int fd);

    // A task run once at `due` (at once in this pass's timers when it is past).
    TimerId at(Clock::time_point due, Task task);
    TimerId after(Clock::duration delay, Task task) { return at(Clock::now() + delay, std::move(task)); }
    // A task run every `interval`, first after one interval.
    TimerId every(Clock::duration interval, Task task);
    // Moves a timer (one-shot or periodic) to `due`; false when it has run or was cancelled.
    bool reschedule(TimerId id, Clock::time_point due);
    void cancel(TimerId id);

    void setDefaultHandler(IoHandler *handler) { defaultHandler_ = handler; }

    // Runs before every wait, in the order added.
    void beforeWait(Task hook) { beforeWait_.push_back(std::move(hook)); }

    // Any thread: runs `task` on the loop thread at the start of the next pass.
    void post(Task task);
    // Any thread: run() returns after the current pass.
    void quit();

    // Serves until quit(). False when epoll_wait fails (errno says why).
    bool run();
    bool inLoopThread() const { return std::this_thread::get_id() == loopThread_; }

private:
    struct Timer {
        Task task;
        Clock::duration interval{};  // zero: one-shot
    };
    class FunctionHandler;

    Reactor(UniqueFd epoll, UniqueFd wake);
    bool add(int fd, uint32_t events, IoHandler *handler);
    void retire(int fd);
    void runPosted();
    void runDueTimers();
    int waitMilliseconds() const;

    UniqueFd epoll_, wake_;
    std::vector<IoHandler *> handlers_;  // by descriptor, for those with their own
    IoHandler *defaultHandler_ = nullptr;
    // Unwatched since the last wait: their events in this pass are stale.
    std::unordered_set<int> unwatchedInPass_;
    std::unordered_map<int, std::unique_ptr<FunctionHandler>> functions_;
    std::vector<std::unique_ptr<FunctionHandler>> retired_;  // unwatched during the pass
    std::map<std::pair<Clock::time_point, TimerId>, Timer> timers_;
    std::unordered_map<TimerId, Clock::time_point> timerDue_;
    TimerId nextTimer_ = 1;
    std::vector<Task> beforeWait_;
    std::thread::id loopThread_;

    mutable std::mutex mutex_;
    std::vector<Task> posted_;  // guarded by mutex_
    bool quit_ = false;  // guarded by mutex_
};

}  // namespace morlanex
