#include "slowloris_load.h"

#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <vector>

namespace morlanex::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kHeadStart[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-a: ";

sockaddr_in loopback(int host, uint16_t port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + uint32_t(host));
    return a;
}

// A non-blocking connect from 127.0.0.<host>; empty when it failed at once.
UniqueFd connectFrom(int host, const std::string &server, uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_in from = loopback(host);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, server.c_str(), &to.sin_addr);
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0 ||
        (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS))
        return {};
    return fd;
}

}  // namespace

SlowlorisLoad::SlowlorisLoad(SlowlorisOptions options) : options_(std::move(options)) {
    thread_ = std::thread([this] { run(); });
}

SlowlorisLoad::~SlowlorisLoad() {
    stop_ = true;
    thread_.join();
}

void SlowlorisLoad::run() {
    struct Attacker {
        UniqueFd fd;
        bool open = false;  // connected and dripping
        Clock::time_point due{};  // next byte, or the reopen
    };
    std::vector<Attacker> attackers(options_.connections);
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    const auto lose = [&](size_t i) {
        Attacker &a = attackers[i];
        if (a.open) --connected_, ++closed_;
        a.fd.reset();  // also leaves the epoll set
        a.open = false;
        a.due = Clock::now() + options_.reopenAfter;
    };
    char buffer[4096];
    epoll_event events[256];
    while (!stop_) {
        const auto now = Clock::now();
        for (size_t i = 0; i < attackers.size(); ++i) {
            Attacker &a = attackers[i];
            if (a.due > now) continue;
            if (!a.fd) {
                a.fd =
                    connectFrom(options_.firstHost + int(i % size_t(options_.hosts)), options_.server, options_.port);
                epoll_event ev{};
                ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
                ev.data.u64 = i;
                if (!a.fd || ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, a.fd.get(), &ev) != 0)
                    lose(i);
                else
                    a.due = Clock::time_point::max();  // until connected
            } else if (a.open) {
                if (::send(a.fd.get(), "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1)
                    lose(i);
                else
                    a.due = now + options_.dripEvery;
            }
        }
        const int n = ::epoll_wait(epoll.get(), events, 256, 20);
        for (int k = 0; k < n; ++k) {
            const size_t i = size_t(events[k].data.u64);
            Attacker &a = attackers[i];
            if (!a.fd) continue;
            if (!a.open) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(a.fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0 || ::send(a.fd.get(), kHeadStart, sizeof kHeadStart - 1, MSG_NOSIGNAL) <= 0) {
                    lose(i);
                    continue;
                }
                a.open = true;
                ++connected_;
                a.due = Clock::now() + options_.dripEvery;
                epoll_event ev{};
                ev.events = EPOLLIN | EPOLLRDHUP;
                ev.data.u64 = i;
                ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, a.fd.get(), &ev);
                continue;
            }
            // Whatever the server says (408, 503), it is about to close.
            const ssize_t got = ::recv(a.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ||
                (events[k].events & (EPOLLHUP | EPOLLERR)))
                lose(i);
        }
    }
    connected_ = 0;
}

size_t countServed(const std::string &server, uint16_t port, const std::string &request, size_t count, int firstHost,
                   std::chrono::milliseconds patience) {
    constexpr size_t kAtOnce = 10;
    size_t served = 0;
    for (size_t round = 0; round < count; round += kAtOnce) {
        struct Newcomer {
            UniqueFd fd;
            bool sent = false, done = false;
            std::string answer;
        };
        std::vector<Newcomer> newcomers;
        for (size_t i = round; i < std::min(count, round + kAtOnce); ++i)
            newcomers.push_back({connectFrom(firstHost + int(i % 100), server, port), false, false, {}});
        const auto deadline = Clock::now() + patience;
        for (;;) {
            std::vector<pollfd> polls;
            for (Newcomer &c : newcomers)
                if (c.fd && !c.done) polls.push_back({c.fd.get(), short(c.sent ? POLLIN : POLLOUT), 0});
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (polls.empty() || left <= 0) break;
            ::poll(polls.data(), polls.size(), int(left));
            for (Newcomer &c : newcomers) {
                if (!c.fd || c.done) continue;
                if (!c.sent) {
                    const ssize_t n = ::send(c.fd.get(), request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                    c.sent = n == ssize_t(request.size());
                    c.done = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN;
                    continue;
                }
                char buffer[512];
                const ssize_t got = ::recv(c.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
                if (got > 0) c.answer.append(buffer, size_t(got));
                c.done = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ||
                    c.answer.find("\r\n") != std::string::npos;
            }
        }
        for (const Newcomer &c : newcomers)
            served += c.answer.starts_with("HTTP/1.") && c.answer.size() >= 12 && c.answer.compare(9, 3, "200") == 0;
    }
    return served;
}

bool raiseOpenFileLimit(size_t files) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= files) return true;
    limit.rlim_cur = std::min<rlim_t>(files, limit.rlim_max);
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= files;
}

}  // namespace morlanex::test
