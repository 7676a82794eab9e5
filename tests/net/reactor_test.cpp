// The event loop: timers in order of their due times, a periodic one until cancelled, tasks
// posted from another thread, and readiness of a watched descriptor until it is unwatched.
#include "net/reactor.h"

#include <gtest/gtest.h>

#include <sys/epoll.h>
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

}  // namespace
}  // namespace morlanex
