#include "net/reactor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace morlanex {
namespace {

constexpr uint64_t kWakeTag = UINT64_MAX;
constexpr int kMaxEvents = 256;
// A wait is never longer, so a clock step or a lost wake-up costs at most this.
constexpr int kLongestWaitMs = 60000;

}  // namespace

class Reactor::FunctionHandler final : public IoHandler {
public:
    explicit FunctionHandler(std::function<void(uint32_t)> f) : f_(std::move(f)) {}
    void onIo(int, uint32_t events) override { f_(events); }

private:
    std::function<void(uint32_t)> f_;
};

std::unique_ptr<Reactor> Reactor::create(std::string *error) {
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    UniqueFd wake(epoll ? ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    if (!epoll || !wake || ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &ev) != 0) {
        if (error) *error = std::string("cannot create an event loop: ") + std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<Reactor>(new Reactor(std::move(epoll), std::move(wake)));
}

Reactor::Reactor(UniqueFd epoll, UniqueFd wake) : epoll_(std::move(epoll)), wake_(std::move(wake)) {}

Reactor::~Reactor() = default;

bool Reactor::add(int fd, uint32_t events, IoHandler *handler) {
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = uint64_t(fd);
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    if (handler && size_t(fd) >= handlers_.size()) handlers_.resize(size_t(fd) + 1);
    if (size_t(fd) < handlers_.size()) handlers_[size_t(fd)] = handler;
    return true;
}

bool Reactor::watch(int fd, uint32_t events, IoHandler *handler) {
    retire(fd);
    return add(fd, events, handler);
}

void Reactor::retire(int fd) {
    const auto it = functions_.find(fd);
    if (it == functions_.end()) return;
    // It may be the handler running now: destroyed after the pass.
    retired_.push_back(std::move(it->second));
    functions_.erase(it);
}

bool Reactor::watch(int fd, uint32_t events, std::function<void(uint32_t)> handler) {
    auto owned = std::make_unique<FunctionHandler>(std::move(handler));
    retire(fd);
    if (!add(fd, events, owned.get())) return false;
    functions_[fd] = std::move(owned);
    return true;
}

bool Reactor::rewatch(int fd, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = uint64_t(fd);
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev) == 0;
}

void Reactor::unwatch(int fd) {
    if (fd < 0) return;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    forget(fd);
}

void Reactor::forget(int fd) {
    if (fd < 0) return;
    if (size_t(fd) < handlers_.size()) handlers_[size_t(fd)] = nullptr;
    retire(fd);
    unwatchedInPass_.insert(fd);
}

Reactor::TimerId Reactor::at(Clock::time_point due, Task task) {
    const TimerId id = nextTimer_++;
    timers_.emplace(std::make_pair(due, id), Timer{std::move(task), {}});
    timerDue_.emplace(id, due);
    return id;
}

Reactor::TimerId Reactor::every(Clock::duration interval, Task task) {
    const TimerId id = at(Clock::now() + interval, std::move(task));
    timers_.find({timerDue_[id], id})->second.interval = interval;
    return id;
}

bool Reactor::reschedule(TimerId id, Clock::time_point due) {
    const auto it = timerDue_.find(id);
    if (it == timerDue_.end()) return false;
    if (it->second == due) return true;
    auto node = timers_.extract({it->second, id});
    node.key() = {due, id};
    timers_.insert(std::move(node));
    it->second = due;
    return true;
}

void Reactor::cancel(TimerId id) {
    const auto it = timerDue_.find(id);
    if (it == timerDue_.end()) return;
    timers_.erase({it->second, id});
    timerDue_.erase(it);
}

void Reactor::post(Task task) {
    std::lock_guard lock(mutex_);
    const bool wasEmpty = posted_.empty();
    posted_.push_back(std::move(task));
    if (wasEmpty) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);  // EAGAIN: already signalled
    }
}

void Reactor::quit() {
    std::lock_guard lock(mutex_);
    quit_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
}

void Reactor::runPosted() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &count, sizeof count);
    std::vector<Task> tasks;
    {
        std::lock_guard lock(mutex_);
        tasks.swap(posted_);
    }
    // Run outside the lock: a task may post again.
    for (Task &t : tasks) t();
}

void Reactor::runDueTimers() {
    const auto now = Clock::now();
    // Only timers due at the pass's start run, so a periodic one cannot hold the loop.
    while (!timers_.empty() && timers_.begin()->first.first <= now) {
        auto node = timers_.extract(timers_.begin());
        const TimerId id = node.key().second;
        Timer &timer = node.mapped();
        if (timer.interval > Clock::duration::zero()) {
            const auto due = std::max(node.key().first + timer.interval, now);
            Task task = timer.task;  // the copy runs; the timer may be cancelled by it
            node.key() = {due, id};
            timers_.insert(std::move(node));
            timerDue_[id] = due;
            task();
        } else {
            timerDue_.erase(id);
            timer.task();
        }
    }
}

int Reactor::waitMilliseconds() const {
    {
        std::lock_guard lock(mutex_);
        if (!posted_.empty() || quit_) return 0;
    }
    if (timers_.empty()) return kLongestWaitMs;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first.first - Clock::now());
    return int(std::clamp<int64_t>(left.count(), 0, kLongestWaitMs));
}

bool Reactor::run() {
    loopThread_ = std::this_thread::get_id();
    epoll_event events[kMaxEvents];
    for (;;) {
        for (Task &hook : beforeWait_) hook();
        const int n = ::epoll_wait(epoll_.get(), events, kMaxEvents, waitMilliseconds());
        if (n < 0 && errno != EINTR) return false;
        if (!unwatchedInPass_.empty()) unwatchedInPass_.clear();
        runPosted();
        {
            std::lock_guard lock(mutex_);
            if (std::exchange(quit_, false)) return true;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t t = events[i].data.u64;
            if (t == kWakeTag) continue;
            const int fd = int(uint32_t(t));
            if (unwatchedInPass_.contains(fd)) continue;
            IoHandler *handler = size_t(fd) < handlers_.size() ? handlers_[size_t(fd)] : nullptr;
            if (!handler) handler = defaultHandler_;
            if (handler) handler->onIo(fd, events[i].events);
        }
        runDueTimers();
        retired_.clear();
    }
}

}  // namespace morlanex
