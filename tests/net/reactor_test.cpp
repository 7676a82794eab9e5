// The event loop: timers in order of their due times, a periodic one until cancelled, tasks
// posted from another thread, and readiness of a watched descriptor until it is unwatched.
#include "net/reactor.h"

#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace morlanex {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<Reactor> makeReactor() {
    std::string error;
    auto r = Reactor::create(&error);
    EXPECT_TRUE(r) << error;
    return r;
}

TEST(Reactor, TimersRunByDueTimeAndAPeriodicOneUntilCancelled) {
    auto reactor = makeReactor();
    std::vector<std::string> ran;
    const auto now = Reactor::Clock::now();
    reactor->at(now + 3ms, [&] { ran.push_back("third"); });
    const Reactor::TimerId moved = reactor->at(now + 1h, [&] { ran.push_back("second"); });
    reactor->at(now + 1ms, [&] { ran.push_back("first"); });
    const Reactor::TimerId never = reactor->at(now, [&] { ran.push_back("cancelled"); });
    reactor->cancel(never);
    EXPECT_TRUE(reactor->reschedule(moved, now + 2ms));
    int ticks = 0;
    Reactor::TimerId periodic = Reactor::kNoTimer;
    periodic = reactor->every(1ms, [&] {
        if (++ticks == 5) {
            reactor->cancel(periodic);
            reactor->after(0ms, [&] { reactor->quit(); });
        }
    });
    ASSERT_TRUE(reactor->run());
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(ticks, 5);
    EXPECT_FALSE(reactor->reschedule(moved, now)) << "a one-shot timer that ran is gone";
}

TEST(Reactor, RunsTasksPostedFromAnotherThreadAndTellsReadinessUntilUnwatched) {
    auto reactor = makeReactor();
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    UniqueFd a(fds[0]), b(fds[1]);
    std::string received;
    ASSERT_TRUE(reactor->watch(a.get(), EPOLLIN, [&](uint32_t) {
        char buf[16];
        const ssize_t n = ::recv(a.get(), buf, sizeof buf, 0);
        if (n > 0) received.append(buf, size_t(n));
        if (received == "ping") {
            reactor->unwatch(a.get());
            reactor->quit();
        }
    }));
    std::thread producer([&] { reactor->post([&] { ASSERT_EQ(::send(b.get(), "ping", 4, 0), 4); }); });
    ASSERT_TRUE(reactor->run());
    producer.join();
    EXPECT_EQ(received, "ping");
    // Unwatched: more bytes are not told of, and the loop only ends by its quit.
    ASSERT_EQ(::send(b.get(), "more", 4, 0), 4);
    reactor->post([&] { reactor->quit(); });
    ASSERT_TRUE(reactor->run());
    EXPECT_EQ(received, "ping");
}

TEST(Reactor, ADescriptorUnwatchedInAPassIsNotToldOfItsOldEventsUnderItsReusedNumber) {
    auto reactor = makeReactor();
    int first[2], second[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, first), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, second), 0);
    UniqueFd a(first[0]), aPeer(first[1]), b(second[0]), bPeer(second[1]);
    ASSERT_EQ(::send(aPeer.get(), "x", 1, 0), 1);
    ASSERT_EQ(::send(bPeer.get(), "x", 1, 0), 1);
    // Both are ready in the same pass; whichever is told first closes the other and opens a
    // descriptor under its number, which has nothing to read.
    UniqueFd reused;
    int reusedNumber = -1, closedNumber = -1, staleCalls = 0;
    const auto onReady = [&](UniqueFd &other) {
        return [&](uint32_t) {
            if (closedNumber >= 0) return;
            closedNumber = other.get();
            reactor->unwatch(other.get());
            other.reset();
            reused = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
            reusedNumber = reused.get();
            reactor->watch(reused.get(), EPOLLIN, [&](uint32_t) { ++staleCalls; });
            reactor->post([&] { reactor->quit(); });
        };
    };
    ASSERT_TRUE(reactor->watch(a.get(), EPOLLIN, onReady(b)));
    ASSERT_TRUE(reactor->watch(b.get(), EPOLLIN, onReady(a)));
    ASSERT_TRUE(reactor->run());
    ASSERT_EQ(reusedNumber, closedNumber) << "the number was not reused; the case did not arise";
    EXPECT_EQ(staleCalls, 0);
}

}  // namespace
}  // namespace morlanex
