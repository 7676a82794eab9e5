#include "load_generator.h"

#include "media/asf/asf_header.h"
#include "media/asf/asf_packet.h"
#include "media/asf/byte_order.h"
#include "net/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
constexpr char kRequest[] =
    "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: morlanex-bench/1.0\r\nAccept: */*\r\n\r\n";

constexpr auto kRefill = std::chrono::milliseconds(50);
constexpr double kBucketSeconds = 0.25;
constexpr int kSlowLinkSegment = 1448;

enum class State : uint8_t { Connecting, Head, Body, Closed, Failed };

// Reads the send times of an ASF stream's packets as its bytes come (see the header).
class AsfFollower {
public:
    // `now`: seconds on the generator's clock.
    void feed(const uint8_t *data, size_t size, double now) {
        if (broken_) return;
        if (size > 0 && !framed_ && received_ == 0 && head_.empty()) framed_ = data[0] == '$';
        if (framed_) return feedFramed(data, size, now);
        while (size > 0) {
            if (packetsAt_ == 0) {
                const size_t take = std::min(size, headerWanted() - head_.size());
                head_.insert(head_.end(), data, data + take);
                data += take, size -= take;
                if (head_.size() == headerWanted() && !readHeader()) return;
                continue;
            }
            const uint64_t inPacket = (received_ - packetsAt_) % packetSize_;
            const size_t take = size_t(std::min<uint64_t>(size, packetSize_ - inPacket));
            packetBytes(inPacket, data, take, now);
            received_ += take;
            data += take, size -= take;
        }
    }
    bool broken() const { return broken_; }
    bool any() const { return haveSendTime_; }
    // Delay at `now` (see the header), from the first packet's send time.
    double delay(double now) const { return now - (newestSendMs_ - firstSendMs_) / 1000.0; }
    // `now` less the newest packet's own send time.
    double behindSendTime(double now) const { return now - newestSendMs_ / 1000.0; }

    double tailStart = 1e18;  // when the last part of the window begins (not yet known)
    double tailMin = 1e18;  // smallest delay seen from then on
    double *leastLag = nullptr;  // shared by all: the smallest (coming - send time) seen

private:
    size_t headerWanted() const {
        if (head_.size() < 24) return 24;
        return size_t(std::min<uint64_t>(le::u64(head_.data() + 16), 1 << 20)) + kAsfDataObjectHeaderBytes;
    }
    bool readHeader() {
        const std::optional<AsfHeaderInfo> info = parseAsfHeader(head_, nullptr);
        if (!info || info->packetSize < sizeof prefix_) return fail();
        packetSize_ = info->packetSize;
        packetsAt_ = received_ = head_.size();
        head_.clear();
        head_.shrink_to_fit();
        return true;
    }
    bool fail() {
        broken_ = true;
        packetsAt_ = 1;
        packetSize_ = UINT32_MAX;  // nothing more is read
        return false;
    }
    // The Windows Media framing (VLC's asfh muxer uses it for every client): pieces of '$', a
    // type, a u16 length and that many bytes; a $D piece is 8 bytes, then one data packet.
    void feedFramed(const uint8_t *data, size_t size, double now) {
        while (size > 0) {
            if (pieceHeadBytes_ < sizeof pieceHead_) {
                pieceHead_[pieceHeadBytes_++] = *data++;
                --size;
                if (pieceHeadBytes_ == sizeof pieceHead_) {
                    if (pieceHead_[0] != '$') return void(fail());
                    pieceLength_ = uint16_t(pieceHead_[2] | pieceHead_[3] << 8);
                    pieceAt_ = 0;
                    if (pieceLength_ == 0) pieceHeadBytes_ = 0;
                }
                continue;
            }
            const size_t take = std::min<size_t>(size, pieceLength_ - pieceAt_);
            constexpr size_t kDataPrefix = 8;
            if (pieceHead_[1] == 'D' && pieceAt_ + take > kDataPrefix) {
                const size_t skip = pieceAt_ < kDataPrefix ? kDataPrefix - pieceAt_ : 0;
                packetBytes(pieceAt_ + skip - kDataPrefix, data + skip, take - skip, now);
            }
            pieceAt_ += take;
            data += take, size -= take;
            if (pieceAt_ == pieceLength_) pieceHeadBytes_ = 0;
        }
    }
    // `n` bytes of a data packet, from byte `inPacket` of it on.
    void packetBytes(uint64_t inPacket, const uint8_t *data, size_t n, double now) {
        if (inPacket >= sizeof prefix_) return;
        const size_t copied = std::min<size_t>(n, sizeof prefix_ - inPacket);
        std::memcpy(prefix_ + inPacket, data, copied);
        if (inPacket + copied == sizeof prefix_) packetStarted(now);
    }
    void packetStarted(double now) {
        if (broken_) return;
        const std::optional<uint32_t> sent = asfPacketSendTime(prefix_);
        if (!sent) return;
        const uint32_t sendMs = *sent;
        if (!haveSendTime_) firstSendMs_ = newestSendMs_ = sendMs;
        haveSendTime_ = true;
        newestSendMs_ = std::max(newestSendMs_, sendMs);
        if (leastLag) *leastLag = std::min(*leastLag, now - sendMs / 1000.0);
        if (now >= tailStart) tailMin = std::min(tailMin, delay(now));
    }

    std::vector<uint8_t> head_;
    uint64_t packetsAt_ = 0;  // body bytes before the first packet; 0 while the header is read
    uint64_t received_ = 0;
    uint32_t packetSize_ = 0;
    uint8_t prefix_[24] = {};
    bool haveSendTime_ = false, broken_ = false, framed_ = false;
    uint8_t pieceHead_[4] = {};
    size_t pieceHeadBytes_ = 0;
    uint16_t pieceLength_ = 0, pieceAt_ = 0;
    uint32_t firstSendMs_ = 0, newestSendMs_ = 0;
};

struct Viewer {
    morlanex::UniqueFd fd;
    State state = State::Connecting;
    bool servedThenClosed = false;
    uint16_t headBytes = 0;
    uint32_t tail = 0;  // last four head bytes, to find the empty line across reads
    char head[16] = {};  // "HTTP/1.x NNN" is all that is kept
    bool slowLink = false;  // reads by its token bucket, not when epoll says
    uint64_t body = 0;
    uint64_t bodyAtWindowStart = 0;
    double linkBytesPerSecond = 0;
    double tokens = 0;
    std::unique_ptr<AsfFollower> follower;
    double sampledFrom = -1;  // seconds: its request, or its link's drop
    size_t samplesTaken = 0;
    std::vector<double> *samples = nullptr;  // where they go
};

void finish(Viewer &v, int ep, State s) {
    ::epoll_ctl(ep, EPOLL_CTL_DEL, v.fd.get(), nullptr);
    v.fd.reset();
    if (v.state == State::Body) v.servedThenClosed = true;
    v.state = v.state == State::Body ? State::Closed : s;
}

bool openViewer(Viewer &v, int ep, uint16_t port, uint32_t index, int slowLinkReceiveBuffer) {
    v.fd = morlanex::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!v.fd) return false;
    // Before connecting, so the window the server sees is small from the start, and its
    // segments are those of an Ethernet link rather than loopback's 64 KiB: what leaves the
    // server's socket then drains in small steps, as over a real slow link.
    if (v.linkBytesPerSecond > 0) {
        ::setsockopt(v.fd.get(), SOL_SOCKET, SO_RCVBUF, &slowLinkReceiveBuffer, sizeof slowLinkReceiveBuffer);
        const int segment = kSlowLinkSegment;
        ::setsockopt(v.fd.get(), IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(v.fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
        v.fd.reset();
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
    ev.data.u32 = index;
    return ::epoll_ctl(ep, EPOLL_CTL_ADD, v.fd.get(), &ev) == 0;
}

}  // namespace

LoadResult runLoad(const LoadOptions &o) {
    LoadResult r;
    r.viewers = o.viewers;
    std::vector<Viewer> viewers(o.viewers);
    const bool followDelay = o.delayTail.count() > 0;
    for (size_t i = 0; i < viewers.size(); ++i) {
        if (i < o.linkBytesPerSecond.size()) viewers[i].linkBytesPerSecond = o.linkBytesPerSecond[i];
        if (followDelay) viewers[i].follower = std::make_unique<AsfFollower>();
    }
    std::vector<uint32_t> slowLinks;  // viewers reading by their token bucket
    if (followDelay) r.perViewer.resize(viewers.size());
    double leastLag = 1e18;
    for (size_t i = 0; i < viewers.size(); ++i)
        if (followDelay) {
            viewers[i].follower->leastLag = &leastLag;
            viewers[i].samples = &r.perViewer[i].afterJoin;
        }
    const morlanex::UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    const int ep = epoll.get();
    std::vector<uint8_t> buf(256 * 1024);
    std::vector<epoll_event> events(1024);

    size_t opened = 0, settled = 0;  // settled: head received or failed
    const auto start = Clock::now();
    auto nextBatch = start;
    Clock::time_point windowStart{}, windowEnd{};
    bool inWindow = false;
    auto lastRefill = start;
    double tailStart = 0;
    bool tailMarked = false;
    auto secondsNow = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    auto took = [&](Viewer &v, const uint8_t *data, size_t n) {
        v.body += n;
        if (v.follower) v.follower->feed(data, n, secondsNow());
    };

    auto handle = [&](Viewer &v, uint32_t ev) {
        if (v.state == State::Connecting && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(v.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0 ||
                ::send(v.fd.get(), kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) != ssize_t(sizeof kRequest - 1)) {
                finish(v, ep, State::Failed);
                ++settled;
                return;
            }
            v.state = State::Head;
            v.sampledFrom = secondsNow();
            epoll_event mod{};
            mod.events = EPOLLIN | EPOLLRDHUP;
            mod.data.u32 = uint32_t(&v - viewers.data());
            ::epoll_ctl(ep, EPOLL_CTL_MOD, v.fd.get(), &mod);
        }
        if (!(ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) || !v.fd) return;
        for (;;) {
            const ssize_t n = ::recv(v.fd.get(), buf.data(), buf.size(), MSG_DONTWAIT);
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
                        if (v.linkBytesPerSecond > 0) {
                            // From now on its bucket says when it reads.
                            ::epoll_ctl(ep, EPOLL_CTL_DEL, v.fd.get(), nullptr);
                            v.slowLink = true;
                            v.tokens = -double(size_t(n) - at);
                            slowLinks.push_back(uint32_t(&v - viewers.data()));
                        }
                        break;
                    }
                }
                if (v.state == State::Head) continue;
            }
            took(v, buf.data() + at, size_t(n) - at);
            if (v.slowLink) return;
        }
    };
    // Each slow link reads what its bucket allows; a close or reset ends it.
    auto readSlowLinks = [&](double elapsed) {
        for (uint32_t index : slowLinks) {
            Viewer &v = viewers[index];
            if (!v.fd) continue;
            v.tokens = std::min(v.tokens + v.linkBytesPerSecond * elapsed, v.linkBytesPerSecond * kBucketSeconds);
            while (v.tokens >= 1) {
                const ssize_t n = ::recv(v.fd.get(), buf.data(), std::min(buf.size(), size_t(v.tokens)), MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                if (n <= 0) {
                    finish(v, ep, State::Failed);
                    break;
                }
                v.tokens -= double(n);
                took(v, buf.data(), size_t(n));
            }
        }
    };

    // Raw samples: seconds behind the newest packet's send time; leastLag is added at the end.
    constexpr double kNoSample = -1e18;
    auto sample = [&] {
        const double now = secondsNow();
        for (Viewer &v : viewers) {
            if (!v.samples || v.sampledFrom < 0) continue;
            while (v.samplesTaken < o.delaySamples.size() && now >= v.sampledFrom + o.delaySamples[v.samplesTaken]) {
                const bool known = v.fd && v.follower->any() && !v.follower->broken();
                v.samples->push_back(known ? v.follower->behindSendTime(now) : kNoSample);
                ++v.samplesTaken;
            }
        }
    };
    auto lastSample = start;
    auto pass = [&](int waitMs) {
        const auto now = Clock::now();
        if (now - lastRefill >= kRefill) {
            readSlowLinks(std::chrono::duration<double>(now - lastRefill).count());
            lastRefill = now;
        }
        if (!o.delaySamples.empty() && now - lastSample >= kRefill) {
            sample();
            lastSample = now;
        }
        const int n = ::epoll_wait(ep, events.data(), int(events.size()), waitMs);
        for (int i = 0; i < n; ++i) handle(viewers[events[size_t(i)].data.u32], events[size_t(i)].events);
    };

    for (;;) {
        const auto now = Clock::now();
        if (opened < o.viewers && now >= nextBatch) {
            for (size_t k = 0; k < kConnectBatch && opened < o.viewers; ++k, ++opened)
                if (!openViewer(viewers[opened], ep, o.port, uint32_t(opened), o.slowLinkReceiveBuffer)) {
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
            tailStart = secondsNow() + std::chrono::duration<double>(o.window - o.delayTail).count();
            for (Viewer &v : viewers) {
                v.bodyAtWindowStart = v.body;
                if (v.follower) v.follower->tailStart = tailStart;
            }
            if (o.onWindowStart) o.onWindowStart();
        }
        if (inWindow && now >= windowEnd) break;
        if (inWindow && followDelay && !tailMarked && secondsNow() >= tailStart) {
            // The delay as the last part begins, for viewers that get nothing from then on.
            tailMarked = true;
            for (Viewer &v : viewers)
                if (v.follower->any())
                    v.follower->tailMin = std::min(v.follower->tailMin, v.follower->delay(secondsNow()));
        }
        pass(10);
    }
    const double endSeconds = secondsNow();
    if (o.onWindowEnd) o.onWindowEnd();
    r.windowSeconds = std::chrono::duration<double>(Clock::now() - windowStart).count();

    const double edge = std::chrono::duration<double>(o.edgeAllowance).count();
    const double needed = o.referenceBytesPerSecond * (0.99 * r.windowSeconds - edge);
    for (Viewer &v : viewers) {
        const bool served = v.state == State::Body || v.servedThenClosed;
        if (followDelay) {
            LoadResult::Viewer &out = r.perViewer[size_t(&v - viewers.data())];
            out.served = served;
            out.dropped = v.servedThenClosed;
            out.windowBytes = v.body - v.bodyAtWindowStart;
            const AsfFollower &f = *v.follower;
            out.delayKnown = served && f.any() && !f.broken();
            if (out.delayKnown) out.delayGrowth = f.delay(endSeconds) - std::min(f.tailMin, f.delay(endSeconds));
        }
        if (!served) {
            ++r.refused;
        } else {
            ++r.served;
            const uint64_t got = v.body - v.bodyAtWindowStart;
            r.windowBytes += got;
            if (v.servedThenClosed)
                ++r.dropped;
            else if (double(got) >= needed)
                ++r.keptUp;
        }
    }
    if (r.served > 0) r.meanBytesPerSecond = double(r.windowBytes) / double(r.served) / r.windowSeconds;

    if (followDelay && o.dropToBytesPerSecond > 0 && !o.delaySamples.empty()) {
        // The drop: those links now read by a token bucket through a small receive buffer.
        const double droppedAt = secondsNow();
        for (size_t i = 0; i < viewers.size() && i < o.dropping.size(); ++i) {
            Viewer &v = viewers[i];
            if (!o.dropping[i] || !v.fd || v.state != State::Body) continue;
            ::setsockopt(v.fd.get(), SOL_SOCKET, SO_RCVBUF, &o.slowLinkReceiveBuffer, sizeof o.slowLinkReceiveBuffer);
            v.linkBytesPerSecond = o.dropToBytesPerSecond;
            v.tokens = 0;
            if (!v.slowLink) {
                ::epoll_ctl(ep, EPOLL_CTL_DEL, v.fd.get(), nullptr);
                v.slowLink = true;
                slowLinks.push_back(uint32_t(i));
            }
            v.samples = &r.perViewer[i].afterDrop;
            v.sampledFrom = droppedAt;
            v.samplesTaken = 0;
        }
        for (Viewer &v : viewers)
            if (v.samples && v.samples != &r.perViewer[size_t(&v - viewers.data())].afterDrop) v.samples = nullptr;
        while (secondsNow() < droppedAt + o.delaySamples.back() + 0.5) pass(10);
    }
    for (LoadResult::Viewer &v : r.perViewer)
        for (std::vector<double> *samples : {&v.afterJoin, &v.afterDrop})
            for (double &d : *samples) d = d == kNoSample ? -1 : d - leastLag;
    return r;
}

}  // namespace morlanex::bench
