#include "load_generator.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace morlanex::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kConnectBatch = 200;
constexpr auto kConnectPause = std::chrono::milliseconds(20);
constexpr auto kHeadTimeout = std::chrono::seconds(60);
constexpr char kRequest[] = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: morlanex-bench/1.0\r\nAccept: */*\r\n\r\n";

enum class State : uint8_t { Connecting, Head, Body, Closed, Failed };

struct Viewer {
    int fd = -1;
    State state = State::Connecting;
    bool servedThenClosed = false;
    uint16_t headBytes = 0;
    uint32_t tail = 0;   // last four head bytes, to find the empty line across reads
    char head[16] = {};  // "HTTP/1.x NNN" is all that is kept
    uint64_t body = 0;
    uint64_t bodyAtWindowStart = 0;
};

void finish(Viewer &v, int ep, State s) {
    ::epoll_ctl(ep, EPOLL_CTL_DEL, v.fd, nullptr);
    ::close(v.fd);
    v.fd = -1;
    if (v.state == State::Body) v.servedThenClosed = true;
    v.state = v.state == State::Body ? State::Closed : s;
}

bool openViewer(Viewer &v, int ep, uint16_t port, uint32_t index) {
    v.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (v.fd < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(v.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
        ::close(v.fd);
        v.fd = -1;
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
    ev.data.u32 = index;
    return ::epoll_ctl(ep, EPOLL_CTL_ADD, v.fd, &ev) == 0;
}

}  // namespace

LoadResult runLoad(const LoadOptions &o) {
    LoadResult r;
    r.viewers = o.viewers;
    std::vector<Viewer> viewers(o.viewers);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<uint8_t> buf(256 * 1024);
    std::vector<epoll_event> events(1024);

    size_t opened = 0, settled = 0;  // settled: head received or failed
    const auto start = Clock::now();
    auto nextBatch = start;
    Clock::time_point windowStart{}, windowEnd{};
    bool inWindow = false;

    auto handle = [&](Viewer &v, uint32_t ev) {
        if (v.state == State::Connecting && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(v.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0 || ::send(v.fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) != ssize_t(sizeof kRequest - 1)) {
                finish(v, ep, State::Failed);
                ++settled;
                return;
            }
            v.state = State::Head;
            epoll_event mod{};
            mod.events = EPOLLIN | EPOLLRDHUP;
            mod.data.u32 = uint32_t(&v - viewers.data());
            ::epoll_ctl(ep, EPOLL_CTL_MOD, v.fd, &mod);
        }
        if (!(ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) || v.fd < 0) return;
        for (;;) {
            const ssize_t n = ::recv(v.fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (n <= 0) {
                if (v.state == State::Head) ++settled;
                finish(v, ep, State::Failed);
                return;
            }
            size_t at = 0;
            if (v.state == State::Head) {
                // Find the end of the head; keep its first bytes for the status code.
                for (; at < size_t(n); ++at) {
                    if (v.headBytes < sizeof v.head) v.head[v.headBytes] = char(buf[at]);
                    ++v.headBytes;
                    v.tail = v.tail << 8 | buf[at];
                    if (v.tail == 0x0D0A0D0A || (v.tail & 0xFFFF) == 0x0A0A) {
                        ++at;
                        const bool ok = std::strncmp(v.head + 8, " 200", 4) == 0;
                        v.state = State::Body;
                        ++settled;
                        if (!ok) {
                            v.state = State::Head;  // not served
                            finish(v, ep, State::Failed);
                            return;
                        }
                        break;
                    }
                }
                if (v.state == State::Head) continue;
            }
            v.body += size_t(n) - at;
        }
    };

    for (;;) {
        const auto now = Clock::now();
        if (opened < o.viewers && now >= nextBatch) {
            for (size_t k = 0; k < kConnectBatch && opened < o.viewers; ++k, ++opened)
                if (!openViewer(viewers[opened], ep, o.port, uint32_t(opened))) {
                    viewers[opened].state = State::Failed;
                    ++settled;
                }
            nextBatch = now + kConnectPause;
        }
        if (!inWindow && windowStart == Clock::time_point{} && opened == o.viewers &&
            (settled == o.viewers || now - start > kHeadTimeout))
            windowStart = now + o.warmUp;
        if (!inWindow && windowStart != Clock::time_point{} && now >= windowStart) {
            inWindow = true;
            windowStart = now;
            windowEnd = now + o.window;
            for (Viewer &v : viewers) v.bodyAtWindowStart = v.body;
            if (o.onWindowStart) o.onWindowStart();
        }
        if (inWindow && now >= windowEnd) break;
        const int n = ::epoll_wait(ep, events.data(), int(events.size()), 10);
        for (int i = 0; i < n; ++i) handle(viewers[events[size_t(i)].data.u32], events[size_t(i)].events);
    }
    if (o.onWindowEnd) o.onWindowEnd();
    r.windowSeconds = std::chrono::duration<double>(Clock::now() - windowStart).count();

    const double edge = std::chrono::duration<double>(o.edgeAllowance).count();
    const double needed = o.referenceBytesPerSecond * (0.99 * r.windowSeconds - edge);
    for (Viewer &v : viewers) {
        const bool served = v.state == State::Body || v.servedThenClosed;
        if (!served) {
            ++r.refused;
        } else {
            ++r.served;
            const uint64_t got = v.body - v.bodyAtWindowStart;
            r.windowBytes += got;
            if (v.servedThenClosed) ++r.dropped;
            else if (double(got) >= needed) ++r.keptUp;
        }
        if (v.fd >= 0) ::close(v.fd);
    }
    ::close(ep);
    if (r.served > 0) r.meanBytesPerSecond = double(r.windowBytes) / double(r.served) / r.windowSeconds;
    return r;
}

}  // namespace morlanex::bench
