// Hostile-load benchmark of the network sink: well-behaved viewers beside attackers and careless
// clients, all on loopback, each kind from addresses of its own (127.0.x.y stands for a host).
//
//   1,000 well-behaved viewers (127.0.1.*), joined before the load starts;
//   2,000 slowloris connections (127.0.2.*, 64 hosts): a request line, then one header byte
//         every 2 s; reopened a second after the sink closes them;
//   1,000 stalled readers (127.0.3.*): a whole request, then they never read; reopened;
//     500 slow readers (127.0.4.*) reading 10 kB/s; reopened when dropped;
//     100 churners (127.0.5.*): connect, ask for the stream, read 0.2-1 s, close, again;
//     200 newcomers (127.0.6.*), spread over the measurement window but its last 3 s.
//
// It prints the share of well-behaved viewers that kept up (>= 99% of the stream's own rate
// over the window, give or take 500 ms of stream at its edges, never dropped), the share of
// newcomers whose 200 came within 2 s, the sink process's resident memory at the window's start,
// peak and end, and the kernel's TCP memory (/proc/net/sockstat, both ends of loopback) at peak,
// with the sink's own unsent bytes (/proc/net/tcp send queues) beside it.
//
// With --webrtc, the sink's WebRTC side instead: the load generator's WebRTC viewers (WHEP, from
// 127.1.*) join the WebRTC bench server while all is quiet; then through the window the floods of
// webrtc_flood.h run beside them, and 20 newcomers join 5 s in. It prints the viewers kept live
// and the packets delivered (the load generator's figures, see webrtc_load.h), how many
// newcomers were answered and played, the sink process's resident memory at the
// window's start, peak and end, each flood's messages and answers, and the sink's /metrics
// request counters over the window.
//
// Usage: netsink_hostile_bench --server PATH --stream FILE [--duration S] [--port N]
//        netsink_hostile_bench --webrtc WHEP_SERVER --recording FILE [--viewers N] [--duration S]
//                              [--flood-scale X]   the floods' rates X times their defaults
#include "bench_process.h"
#include "webrtc_flood.h"

#include "media/asf/asf_packet.h"
#include "media/asf/recorded_asf.h"
#include "net/socket.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <sstream>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace morlanex::bench;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

enum class Kind : uint8_t { Good, Slowloris, Stalled, Slow, Churn, Newcomer };
constexpr const char *kKindNames[] = {"well-behaved", "slowloris", "stalled", "slow 10 kB/s", "churn", "newcomer"};
constexpr char kRequest[] =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: morlanex-bench/1.0\r\nAccept: */*\r\n\r\n";
constexpr char kSlowlorisStart[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-a: ";

struct Client {
    Kind kind;
    uint32_t host;  // source address, host byte order
    morlanex::UniqueFd fd{};
    bool headDone = false;
    bool served = false;  // got 200
    bool dropped = false;  // a served good viewer closed by the sink
    uint32_t tail = 0;
    char status[13] = {};
    uint8_t headBytes = 0;
    uint64_t body = 0, bodyAtWindowStart = 0;
    Clock::time_point started{}, due{};  // due: next action (reopen, drip, read, close)
    double tokens = 0;  // slow readers: bytes they may read now
};

struct Totals {
    size_t opened[6] = {}, refusedOrClosed[6] = {};
};

class Load {
public:
    Load(uint16_t port) : port_(port), ep_(::epoll_create1(EPOLL_CLOEXEC)), buf_(256 * 1024) {}
    ~Load() {
        clients_.clear();  // before the epoll they are in
    }

    size_t add(Kind kind, uint32_t host) {
        clients_.push_back(Client{kind, host});
        return clients_.size() - 1;
    }
    Client &at(size_t i) { return clients_[i]; }
    std::vector<Client> &clients() { return clients_; }
    const Totals &totals() const { return totals_; }

    void open(size_t i) {
        Client &c = clients_[i];
        c.fd = morlanex::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!c.fd) return;
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(c.host);
        ::bind(c.fd.get(), reinterpret_cast<sockaddr *>(&from), sizeof from);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        c.headDone = c.served = false;
        c.tail = 0;
        c.headBytes = 0;
        c.started = Clock::now();
        ++totals_.opened[int(c.kind)];
        if (::connect(c.fd.get(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS)
            return lost(i);
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP | EPOLLET;
        ev.data.u64 = i;
        ::epoll_ctl(ep_.get(), EPOLL_CTL_ADD, c.fd.get(), &ev);
    }

    void close(size_t i) {
        Client &c = clients_[i];
        if (!c.fd) return;
        c.fd.reset();  // also leaves the epoll set
    }

    // Runs the loop until `until`, calling `tick` every 50 ms.
    template <typename Tick>
    void run(Clock::time_point until, Tick tick) {
        epoll_event events[512];
        auto nextTick = Clock::now();
        while (Clock::now() < until) {
            const int n = ::epoll_wait(ep_.get(), events, 512, 20);
            for (int k = 0; k < n; ++k) onEvent(size_t(events[k].data.u64), events[k].events);
            if (Clock::now() >= nextTick) {
                nextTick += 50ms;
                tick(Clock::now());
            }
        }
    }

    // Reads up to `budget` bytes; false when the sink closed the connection.
    bool readSome(size_t i, size_t budget = SIZE_MAX) {
        Client &c = clients_[i];
        while (c.fd && budget > 0) {
            const ssize_t n = ::recv(c.fd.get(), buf_.data(), std::min(buf_.size(), budget), MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            if (n <= 0) {
                lost(i);
                return false;
            }
            budget -= size_t(n);
            size_t at = 0;
            for (; !c.headDone && at < size_t(n); ++at) {
                if (c.headBytes < 12) c.status[c.headBytes++] = char(buf_[at]);
                c.tail = c.tail << 8 | buf_[at];
                if (c.tail == 0x0D0A0D0A) {
                    c.headDone = true;
                    c.served = std::strncmp(c.status + 8, " 200", 4) == 0;
                    if (c.served && c.kind == Kind::Newcomer) servedAfter_.push_back(Clock::now() - c.started);
                }
            }
            c.body += size_t(n) - at;
            if (c.tokens > 0) c.tokens -= double(n);
        }
        return true;
    }

    std::vector<Clock::duration> servedAfter_;  // newcomers: connect to 200
    std::vector<Clock::duration> stalledFor_;  // stalled readers: connect to the sink's reset

private:
    void lost(size_t i) {
        Client &c = clients_[i];
        if (c.kind == Kind::Good && c.served) c.dropped = true;
        if (c.kind == Kind::Stalled) stalledFor_.push_back(Clock::now() - c.started);
        ++totals_.refusedOrClosed[int(c.kind)];
        close(i);
        c.due = Clock::now() + 1s;  // reopened by the tick where its kind does that
    }

    void onEvent(size_t i, uint32_t ev) {
        Client &c = clients_[i];
        if (!c.fd) return;
        if (ev & EPOLLOUT) {
            if (!sentRequest(c)) {
                const bool slowloris = c.kind == Kind::Slowloris;
                const char *req = slowloris ? kSlowlorisStart : kRequest;
                const size_t len = slowloris ? sizeof kSlowlorisStart - 1 : sizeof kRequest - 1;
                if (::send(c.fd.get(), req, len, MSG_NOSIGNAL) != ssize_t(len)) return lost(i);
                markSent(c);
            }
        }
        if (ev & (EPOLLERR | EPOLLHUP)) {
            if (c.kind != Kind::Good && c.kind != Kind::Newcomer && c.kind != Kind::Churn) return lost(i);
        }
        if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            // Stalled readers never read; slow readers read on the tick, as their budget allows.
            if (c.kind == Kind::Stalled || c.kind == Kind::Slow) {
                if (ev & (EPOLLERR | EPOLLHUP)) lost(i);
                return;
            }
            if (c.kind == Kind::Slowloris) {
                // Whatever it is told (503, or the close), it is done with this connection.
                readSome(i);
                if (clients_[i].fd && clients_[i].headDone) lost(i);
                return;
            }
            readSome(i);
        }
    }
    // The request goes once per connection: `status[12]` marks it (never part of a status line).
    static bool sentRequest(const Client &c) { return c.status[12] != 0; }
    static void markSent(Client &c) { c.status[12] = 1; }

    uint16_t port_;
    morlanex::UniqueFd ep_;
    std::vector<uint8_t> buf_;
    std::vector<Client> clients_;
    Totals totals_;
};

// The stream's own rate: its packet bytes over the span of their send times.
double streamBytesPerSecond(const std::string &file) {
    std::string error;
    const auto s = morlanex::loadRecordedAsf(file, &error);
    if (!s || s->packets.size() < 2) return 0;
    uint32_t first = 0, last = 0;
    bool any = false;
    for (const auto &p : s->packets)
        if (const auto info = morlanex::parseAsfPacket(p, s->info.videoStreams)) {
            if (!any) first = info->sendTime_ms;
            last = info->sendTime_ms;
            any = true;
        }
    return any && last > first ? double(s->packets.size()) * double(s->info.packetSize) / ((last - first + 1) / 1000.0)
                               : 0;
}

// Kernel TCP memory in bytes (sockstat counts pages), all sockets of the machine.
double tcpMemoryBytes() {
    std::ifstream in("/proc/net/sockstat");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("TCP:", 0) != 0) continue;
        const size_t at = line.find(" mem ");
        if (at != std::string::npos) return std::stod(line.substr(at + 5)) * double(::sysconf(_SC_PAGESIZE));
    }
    return 0;
}

// Unsent bytes the sink holds in its sockets' send queues (local port `port`), in all and in
// the fullest one.
double sinkSendQueueBytes(uint16_t port, double *largest) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    double total = 0;
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, ":%04X", port);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state, queues;
        f >> slot >> local >> remote >> state >> queues;
        if (local.size() < 5 || local.compare(local.size() - 5, 5, portHex) != 0) continue;
        const double queued = double(std::stoul(queues.substr(0, queues.find(':')), nullptr, 16));
        total += queued;
        *largest = std::max(*largest, queued);
    }
    return total;
}

uint32_t host(int b, int c, int d) { return uint32_t(127) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | uint32_t(d); }

}  // namespace

int main(int argc, char **argv) {
    std::string server, stream, whepServer, recording;
    size_t viewers = 1000;
    double floodScale = 1;
    int seconds = 60;
    uint16_t port = 18700;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--server")
            server = argv[i + 1];
        else if (a == "--stream")
            stream = argv[i + 1];
        else if (a == "--duration")
            seconds = std::atoi(argv[i + 1]);
        else if (a == "--port")
            port = uint16_t(std::atoi(argv[i + 1]));
        else if (a == "--webrtc")
            whepServer = argv[i + 1];
        else if (a == "--recording")
            recording = argv[i + 1];
        else if (a == "--viewers")
            viewers = size_t(std::atol(argv[i + 1]));
        else if (a == "--flood-scale")
            floodScale = std::atof(argv[i + 1]);
    }
    ::signal(SIGPIPE, SIG_IGN);
    rlimit rl{};
    ::getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
    if (!whepServer.empty() && !recording.empty()) 
        return runWebrtcHostile(whepServer, recording, seconds, viewers, floodScale);
    if (server.empty() || stream.empty()) {
        std::fprintf(stderr,
                     "usage: %s --server PATH --stream FILE [--duration S] [--port N]\n"
                     "       %s --webrtc WHEP_SERVER --recording FILE [--viewers N] [--duration S]\n"
                     "             [--flood-scale X]\n",
                     argv[0], argv[0]);
        return 2;
    }

    const double rate = streamBytesPerSecond(stream);
    ChildProcess sink;
    if (rate <= 0 || !sink.start({server, stream, std::to_string(port), "6000"}, ProcessOptions{}, true) ||
        sink.readLine(60000).rfind("ready", 0) != 0) {
        std::fprintf(stderr, "cannot start the sink or read the stream\n");
        return 1;
    }
    std::printf("stream rate %.1f kbit/s; sink pid %d on port %u\n", rate * 8 / 1000, int(sink.pid()), port);
    std::fflush(stdout);
    const double tcpBase = tcpMemoryBytes(), rssBase = residentKiB(sink.pid());

    Load load(port);
    std::vector<size_t> good, slowloris, stalled, slow, churn, newcomers;
    for (int i = 0; i < 1000; ++i) good.push_back(load.add(Kind::Good, host(1, i / 250, 1 + i % 250)));
    for (int i = 0; i < 2000; ++i) slowloris.push_back(load.add(Kind::Slowloris, host(2, 0, 1 + i % 64)));
    for (int i = 0; i < 1000; ++i) stalled.push_back(load.add(Kind::Stalled, host(3, i / 250, 1 + i % 250)));
    for (int i = 0; i < 500; ++i) slow.push_back(load.add(Kind::Slow, host(4, i / 250, 1 + i % 250)));
    for (int i = 0; i < 100; ++i) churn.push_back(load.add(Kind::Churn, host(5, 0, 1 + i)));
    for (int i = 0; i < 200; ++i) newcomers.push_back(load.add(Kind::Newcomer, host(6, 0, 1 + i)));

    // 1. The well-behaved viewers join while all is quiet.
    for (size_t i : good) load.open(i);
    load.run(Clock::now() + 5s, [](Clock::time_point) {});
    size_t joined = 0;
    for (size_t i : good) joined += load.at(i).served;
    std::printf("well-behaved viewers joined: %zu/1000\n", joined);

    // 2. The hostile load comes in over 5 s and stays; then the window.
    std::mt19937 random(7);
    double tcpPeak = 0, queuePeak = 0, queueLargest = 0, rssPeak = 0, rssWindowStart = 0;
    const auto loadStart = Clock::now();
    const auto windowStart = loadStart + 10s, windowEnd = windowStart + std::chrono::seconds(seconds);
    bool inWindow = false;
    size_t nextNewcomer = 0;
    auto lastSample = Clock::now();
    auto tick = [&](Clock::time_point now) {
        const double ramp = std::min(1.0, std::chrono::duration<double>(now - loadStart).count() / 5.0);
        auto keepOpen = [&](const std::vector<size_t> &group) {
            const size_t active = size_t(double(group.size()) * ramp);
            for (size_t k = 0; k < active; ++k) {
                Client &c = load.at(group[k]);
                if (!c.fd && now >= c.due) {
                    c.status[12] = 0;
                    load.open(group[k]);
                }
            }
        };
        keepOpen(slowloris);
        keepOpen(stalled);
        keepOpen(slow);
        keepOpen(churn);
        for (size_t i : slowloris) {
            Client &c = load.at(i);
            if (c.fd && c.status[12] && now >= c.due) {
                ::send(c.fd.get(), "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                c.due = now + 2s;
            }
        }
        for (size_t i : slow) {
            Client &c = load.at(i);
            if (!c.fd) continue;
            c.tokens = std::min(c.tokens + 10000 * 0.05, 10000.0);
            if (c.tokens >= 1) load.readSome(i, size_t(c.tokens));
        }
        for (size_t i : churn) {
            Client &c = load.at(i);
            if (c.fd && c.due < c.started) c.due = c.started + std::chrono::milliseconds(200 + random() % 800);
            if (c.fd && now >= c.due) {
                load.close(i);
                c.due = now;
            }
        }
        if (!inWindow && now >= windowStart) {
            inWindow = true;
            for (size_t i : good) load.at(i).bodyAtWindowStart = load.at(i).body;
            rssWindowStart = residentKiB(sink.pid());
        }
        if (inWindow && nextNewcomer < newcomers.size() &&
            now >= windowStart + (windowEnd - 3s - windowStart) * double(nextNewcomer) / double(newcomers.size()))
            load.open(newcomers[nextNewcomer++]);
        if (now - lastSample >= 1s) {
            lastSample = now;
            tcpPeak = std::max(tcpPeak, tcpMemoryBytes());
            queuePeak = std::max(queuePeak, sinkSendQueueBytes(port, &queueLargest));
            rssPeak = std::max(rssPeak, residentKiB(sink.pid()));
        }
    };
    load.run(windowEnd, tick);
    const double rssEnd = residentKiB(sink.pid());
    const double windowSeconds = std::chrono::duration<double>(Clock::now() - windowStart).count();

    const double needed = rate * (0.99 * windowSeconds - 0.5);
    size_t keptUp = 0, droppedGood = 0;
    for (size_t i : good) {
        const Client &c = load.at(i);
        droppedGood += c.dropped;
        keptUp += c.served && !c.dropped && double(c.body - c.bodyAtWindowStart) >= needed;
    }
    size_t newcomersIn2s = 0;
    for (const auto d : load.servedAfter_) newcomersIn2s += d <= 2s;
    sink.stop();

    const Totals &t = load.totals();
    std::printf("\n%d s window under hostile load\n", seconds);
    for (int k = 0; k < 6; ++k)
        std::printf("  %-13s connections opened %7zu, refused or closed by the sink %7zu\n", kKindNames[k], t.opened[k],
                    t.refusedOrClosed[k]);
    std::printf("well-behaved viewers kept up:     %5.1f %% (%zu/1000, %zu dropped)   target >= 99 %%\n", keptUp / 10.0,
                keptUp, droppedGood);
    std::printf("newcomers served within 2 s:      %5.1f %% (%zu/200, %zu served at all)   target >= 95 %%\n",
                newcomersIn2s / 2.0, newcomersIn2s, load.servedAfter_.size());
    std::printf("kernel TCP memory at peak:        %6.1f MB (%.1f MB before the load; both ends of loopback)   target "
                "< 600 MB\n",
                tcpPeak / 1e6, tcpBase / 1e6);
    std::printf("sink's unsent bytes at peak:      %6.1f MB in its send queues; %.0f KiB in the fullest one\n",
                queuePeak / 1e6, queueLargest / 1024);
    std::vector<Clock::duration> stalledFor = load.stalledFor_;
    std::sort(stalledFor.begin(), stalledFor.end());
    if (!stalledFor.empty())
        std::printf("stalled readers dropped after:    %.1f s median, %.1f s at most (%zu drops)\n",
                    std::chrono::duration<double>(stalledFor[stalledFor.size() / 2]).count(),
                    std::chrono::duration<double>(stalledFor.back()).count(), stalledFor.size());
    std::printf("sink RSS: %.1f MB idle, %.1f MB at the window's start, %.1f MB at peak, %.1f MB at the end\n",
                rssBase / 1024, rssWindowStart / 1024, rssPeak / 1024, rssEnd / 1024);
    return 0;
}
