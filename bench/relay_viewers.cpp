#include "relay_viewers.h"

#include "net/unique_fd.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace morlanex::bench {

using namespace std::chrono_literals;

struct RelayViewers::Viewer {
    enum class Want { Latest, Header, Segment };
    size_t index = 0;
    UniqueFd fd;
    bool connecting = false;
    bool busy = false;  // a request is out
    bool started = false;
    Want want = Want::Latest;
    Clock::time_point wake;  // when idle: the next request goes out then
    std::string session;
    bool haveHeader = false;
    uint64_t next = 0, newest = 0;
    uint64_t notFoundAt = UINT64_MAX;  // the segment last answered 404
    // The answer being read.
    std::string out, head, body;
    bool headDone = false, closeAfter = false;
    long long length = -1;
    uint64_t got = 0;
};

namespace {

bool startsWithNoCase(const std::string &text, size_t at, const char *word) {
    return strncasecmp(text.c_str() + at, word, std::strlen(word)) == 0;
}

// Status, Content-Length (-1 when absent) and whether the server closes after the answer.
int parseHead(const std::string &head, long long *length, bool *close) {
    int status = 0;
    if (std::sscanf(head.c_str(), "HTTP/%*d.%*d %d", &status) != 1) return 0;
    *length = -1;
    *close = false;
    for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
        if (startsWithNoCase(head, at + 2, "content-length:")) *length = std::atoll(head.c_str() + at + 17);
        if (startsWithNoCase(head, at + 2, "connection: close")) *close = true;
        if (startsWithNoCase(head, at + 2, "transfer-encoding:")) return 0;  // never chunked here
    }
    return status;
}

}  // namespace

void RelayViewers::start(Viewer &v, int epoll) {
    v.started = true;
    logs_[v.index].started = Clock::now();
    request(v, epoll, logs_[v.index].started);
}

void RelayViewers::request(Viewer &v, int epoll, Clock::time_point now) {
    std::string path = plan_.prefix;
    if (v.want == Viewer::Want::Latest)
        path += "latest";
    else if (v.want == Viewer::Want::Header)
        path += v.session + "/header";
    else
        path += v.session + "/" + std::to_string(v.next);
    v.out = "GET " + path + " HTTP/1.1\r\nHost: relay\r\n\r\n";
    v.head.clear();
    v.body.clear();
    v.headDone = false;
    v.got = 0;
    v.busy = true;
    epoll_event event{};
    event.data.u64 = v.index;
    if (!v.fd) {
        v.fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const int r = ::connect(v.fd.get(), reinterpret_cast<const sockaddr *>(&plan_.tier), sizeof plan_.tier);
        if (r != 0 && errno != EINPROGRESS) return fail(v, now);
        v.connecting = true;
        event.events = EPOLLOUT;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, v.fd.get(), &event);
        return;
    }
    if (::send(v.fd.get(), v.out.data(), v.out.size(), MSG_NOSIGNAL) != ssize_t(v.out.size())) return fail(v, now);
}

void RelayViewers::fail(Viewer &v, Clock::time_point now) {
    ++logs_[v.index].failures;
    v.fd.reset();  // also leaves the epoll set
    v.connecting = v.busy = false;
    v.want = Viewer::Want::Latest;
    v.wake = now + 1s;
}

void RelayViewers::onReadable(Viewer &v, int epoll, Clock::time_point now) {
    if (v.connecting) {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(v.fd.get(), SOL_SOCKET, SO_ERROR, &error, &size);
        v.connecting = false;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = v.index;
        ::epoll_ctl(epoll, EPOLL_CTL_MOD, v.fd.get(), &event);
        if (error != 0 || ::send(v.fd.get(), v.out.data(), v.out.size(), MSG_NOSIGNAL) != ssize_t(v.out.size()))
            fail(v, now);
        return;
    }
    static char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::recv(v.fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0 || !v.busy) {
            // Closed by the tier: the end of an answer without a length, or a failure.
            if (v.busy && v.headDone && v.length < 0) {
                v.fd.reset();
                return onAnswer(v, parseHead(v.head, &v.length, &v.closeAfter), v.body, now);
            }
            if (v.busy) return fail(v, now);
            v.fd.reset();
            return;
        }
        bytes_ += uint64_t(n);
        size_t at = 0;
        if (!v.headDone) {
            v.head.append(buffer, size_t(n));
            const size_t end = v.head.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            v.headDone = true;
            at = size_t(n) - (v.head.size() - end - 4);
            v.head.resize(end);
            if (parseHead(v.head, &v.length, &v.closeAfter) == 0) return fail(v, now);
        }
        const size_t more = size_t(n) - at;
        v.got += more;
        if (v.want == Viewer::Want::Latest || v.length < 0) v.body.append(buffer + at, more);
        if (v.length >= 0 && v.got >= uint64_t(v.length)) {
            if (v.closeAfter) v.fd.reset();
            return onAnswer(v, parseHead(v.head, &v.length, &v.closeAfter), v.body, now);
        }
    }
}

void RelayViewers::onAnswer(Viewer &v, int status, const std::string &body, Clock::time_point now) {
    ViewerLog &log = logs_[v.index];
    v.busy = false;
    v.wake = now;  // by default the next request goes at once
    if (status == 200 && v.want != Viewer::Want::Latest) log.answers.push_back(now);
    switch (v.want) {
    case Viewer::Want::Latest: {
        char id[17] = {};
        unsigned long long newest = 0;
        if (status != 200 ||
            std::sscanf(body.c_str(), "{\"session\":\"%16[0-9a-f]\",\"segment\":%llu}", id, &newest) != 2) {
            return fail(v, now);
        }
        log.answers.push_back(now);
        announced_[id].try_emplace(newest, now);
        v.newest = newest;
        if (id != v.session || !v.haveHeader) {
            // The first one made from now on; after a new broadcast began, its newest at once.
            v.next = v.session.empty() ? newest + 1 : newest;
            v.session = id;
            v.haveHeader = false;
            v.want = Viewer::Want::Header;
            return;
        }
        if (v.newest >= v.next + 5) {  // too far behind: on to the newest, as the page does
            log.skipped += v.newest - v.next;
            v.next = v.newest;
        }
        if (v.next <= v.newest)
            v.want = Viewer::Want::Segment;
        else
            v.wake = now + 1s;
        return;
    }
    case Viewer::Want::Header:
        if (status != 200) return fail(v, now);
        v.haveHeader = true;
        break;
    case Viewer::Want::Segment:
        if (status == 404) {  // left the window, or of a session that has ended
            ++log.notFound;
            v.want = Viewer::Want::Latest;
            // Asked again at once, but not in a loop when "latest" keeps naming it.
            if (v.notFoundAt == v.next) v.wake = now + 1s;
            v.notFoundAt = v.next;
            return;
        }
        if (status != 200) return fail(v, now);
        log.segments.push_back({v.session, v.next, v.got, now});
        ++v.next;
        break;
    }
    if (v.next <= v.newest) {
        v.want = Viewer::Want::Segment;
    } else {
        v.want = Viewer::Want::Latest;
        v.wake = now + 1s;
    }
}

bool RelayViewers::run(std::string *error) {
    const UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll) {
        *error = "epoll_create1 failed";
        return false;
    }
    std::vector<Viewer> viewers(size_t(plan_.viewers));
    logs_.assign(viewers.size(), {});
    const auto begin = Clock::now();
    for (size_t i = 0; i < viewers.size(); ++i) {
        viewers[i].index = i;
        viewers[i].wake = begin + plan_.ramp * i / viewers.size();
    }
    std::vector<epoll_event> events(512);
    auto lastTick = begin;
    for (auto now = begin; now < plan_.end; now = Clock::now()) {
        const int n = ::epoll_wait(epoll.get(), events.data(), int(events.size()), 10);
        now = Clock::now();
        for (int i = 0; i < n; ++i) {
            Viewer &v = viewers[size_t(events[size_t(i)].data.u64)];
            if (v.fd) onReadable(v, epoll.get(), now);
        }
        for (Viewer &v : viewers) {
            if (v.busy || now < v.wake) continue;
            if (!v.started)
                start(v, epoll.get());
            else
                request(v, epoll.get(), now);
        }
        if (plan_.tick && now - lastTick >= 100ms) {
            lastTick = now;
            plan_.tick(now);
        }
    }
    return true;
}

}  // namespace morlanex::bench
