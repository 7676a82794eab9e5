#include "webrtc_load.h"

#include "webrtc_load_rtp.h"
#include "webrtc_load_viewer.h"

#include "net/socket.h"
#include "webrtc/rtp.h"
#include "webrtc/srtp.h"
#include "webrtc/srtp_gcm.h"
#include "webrtc/stun.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <netinet/udp.h>
#include <mutex>
#include <queue>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace morlanex::bench {
namespace {

using Clock = LoadClock;
using namespace std::chrono_literals;
using namespace webrtc_viewers;

constexpr auto kTick = 50ms;
constexpr auto kCheckRetry = 250ms;
constexpr auto kConsentEvery = 5s;
constexpr size_t kJoiners = 8;
constexpr auto kReportEvery = 1s;
constexpr auto kStormTail = 5s;  // after the storm's last join, while the watching are still watched
constexpr int kReceiveBuffer = 1024 * 1024;  // a newcomer's whole group of pictures comes at once
constexpr size_t kLargestDatagram = 64 * 1024;  // a segmented one taken whole (UDP_GRO)

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

template <class T>
T randomValue() {
    T v{};
    if (::getrandom(&v, sizeof v, 0) != sizeof v) v = T(Clock::now().time_since_epoch().count());
    return v;
}

class Load {
public:
    Load(Signalling &signalling, const WebrtcLoadOptions &options, const webrtc::DtlsContext &identity)
        : signalling_(signalling), o_(options), identity_(identity) {
        epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
        wake_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = UINT64_MAX;
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &e);
        buffer_.resize(kLargestDatagram);
    }

    WebrtcLoadResult run() {
        result_.viewers = o_.viewers;
        viewers_.reserve(o_.viewers);
        std::thread joiner([this] { joinAll(o_.viewers, o_.joinsPerSecond, false); });
        const auto start = Clock::now();
        // Setting up: until every viewer plays or failed, or the timeout after the last join.
        while (true) {
            poll(Clock::now() + kTick);
            const size_t settled = size_t(std::count_if(
                viewers_.begin(), viewers_.end(), [](const auto &v) { return v->failed || v->video.received > 0; }));
            const bool allJoined = joinsDone_.load();
            if (allJoined && settled == viewers_.size()) break;
            if (allJoined && Clock::now() - lastJoin_.load() > o_.setupTimeout) break;
            // Joins that cannot keep their pace (a server slow to answer) get three times as long.
            if (!allJoined &&
                seconds(Clock::now() - start) >
                    3 * double(o_.viewers) / o_.joinsPerSecond + double(o_.setupTimeout.count()))
                break;
        }
        pollFor(o_.warmUp);
        startWindow();
        if (o_.onWindowStart) o_.onWindowStart();
        std::thread storm;
        if (o_.stormViewers) {
            pollFor(o_.stormAfter);
            times_.stormStart = Clock::now();
            storm = std::thread([this] {
                joinAll(o_.stormViewers, double(o_.stormViewers) / double(std::max<int64_t>(o_.stormSpread.count(), 1)),
                        true);
            });
        }
        pollFor(window_.start + o_.window - Clock::now());
        if (o_.stormViewers) {
            // Until the storm's last join and the 5 s after it, however long the joins took.
            while (!stormDone_) poll(Clock::now() + kTick);
            pollFor(stormLastJoin_.load() + kStormTail - Clock::now());
            times_.stormEnd = Clock::now();
        }
        if (o_.onWindowEnd) o_.onWindowEnd();
        window_.open = false;
        finish();
        stop_ = true;
        joiner.join();
        if (storm.joinable()) storm.join();
        return result_;
    }

private:
    // Several joiners, so that a server slow to make an offer (Janus gathers its candidates
    // first) does not hold up the pace; viewer i is due at i / joinsPerSecond.
    void joinAll(size_t count, double perSecond, bool storm) {
        const auto start = Clock::now();
        const size_t groups = std::max<size_t>(o_.linkBytesPerSecond.size(), 1);
        std::vector<std::thread> joiners;
        for (size_t k = 0; k < kJoiners; ++k)
            joiners.emplace_back([=, this] {
                for (size_t i = k; i < count && !stop_; i += kJoiners) {
                    std::this_thread::sleep_until(start +
                                                  std::chrono::microseconds(int64_t(double(i) * 1e6 / perSecond)));
                    join(storm ? 0 : i % groups, storm);
                }
            });
        for (std::thread &t : joiners) t.join();
        (storm ? stormLastJoin_ : lastJoin_) = Clock::now();
        (storm ? stormDone_ : joinsDone_) = true;
    }

    void join(size_t group, bool storm) {
        Joining j{{}, Clock::now(), group, storm};
        ViewerSetup &s = j.setup;
        std::string error;
        if (signalling_.join(identity_, &s, &error)) {
            std::lock_guard lock(mutex_);
            incoming_.push_back(std::move(j));
        } else {
            if (s.fd >= 0) ::close(s.fd);
            std::lock_guard lock(mutex_);
            ++signallingFailures_[error.substr(0, 60)];
        }
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }

    void pollFor(Clock::duration d) {
        const auto end = Clock::now() + d;
        while (Clock::now() < end) poll(std::min(end, Clock::now() + kTick));
    }

    void poll(Clock::time_point until) {
        epoll_event events[256];
        while (Clock::now() < until) {
            const auto wake = due_.empty() ? until : std::min(until, due_.top().first);
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
            const int n = ::epoll_wait(epoll_.get(), events, 256, int(std::max<int64_t>(wait, 0)));
            for (int i = 0; i < n; ++i) {
                if (events[i].data.u64 == UINT64_MAX)
                    adopt();
                else
                    readAll(*viewers_[events[i].data.u64]);
            }
            deliverDue();
            if (Clock::now() - lastTick_ >= kTick) tick();
        }
    }

    // What the links let through by now.
    void deliverDue() {
        const auto now = Clock::now();
        while (!due_.empty() && due_.top().first <= now) {
            const size_t index = due_.top().second;
            due_.pop();
            Viewer &v = *viewers_[index];
            std::vector<uint8_t> bytes = std::move(v.held.front().bytes);
            v.held.pop_front();
            if (!v.held.empty()) due_.emplace(v.held.front().due, index);
            deliver(v, bytes);
        }
    }

    void adopt() {
        uint64_t count;
        [[maybe_unused]] ssize_t r = ::read(wake_.get(), &count, sizeof count);
        std::deque<Joining> taken;
        {
            std::lock_guard lock(mutex_);
            taken.swap(incoming_);
            for (const auto &[why, n] : signallingFailures_) result_.failures[why] += n;
            signallingFailures_.clear();
        }
        for (Joining &j : taken) {
            auto v = std::make_unique<Viewer>();
            v->fd = UniqueFd(j.setup.fd);
            v->setup = std::move(j.setup);
            v->figures.group = j.group;
            v->figures.storm = j.storm;
            v->figures.requested = j.requested;
            if (!j.storm && j.group < o_.linkBytesPerSecond.size()) v->link = LinkQueue(o_.linkBytesPerSecond[j.group]);
            v->reportSsrc = randomValue<uint32_t>();
            v->index = viewers_.size();
            v->sampled = v->index < o_.sampleFirst || v->index % std::max<size_t>(o_.sampleEvery, 1) == 0;
            result_.sample.viewers += v->sampled;
            Viewer &viewer = *v;
            ::connect(viewer.fd.get(), reinterpret_cast<const sockaddr *>(&viewer.setup.remote), sizeof(sockaddr_in));
            if (::setsockopt(viewer.fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
                ::setsockopt(viewer.fd.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
            const int on = 1;
            if (::setsockopt(viewer.fd.get(), SOL_UDP, UDP_GRO, &on, sizeof on) != 0) ++result_.groRefused;
            viewer.dtls = std::make_unique<webrtc::DtlsEndpoint>(
                identity_, viewer.setup.fingerprintAlgorithm, viewer.setup.fingerprint,
                [fd = viewer.fd.get()](std::span<const uint8_t> d) { ::send(fd, d.data(), d.size(), MSG_DONTWAIT); },
                webrtc::DtlsRole::Client);
            viewer.joined = viewer.nextCheck = Clock::now();
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u64 = viewers_.size();
            ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, viewer.fd.get(), &e);
            viewers_.push_back(std::move(v));
            if (!j.storm) ++result_.joined;
            sendCheck(viewer);
        }
    }

    void sendCheck(Viewer &v) {
        const std::string username = v.setup.remoteUfrag + ":" + v.setup.localUfrag;
        webrtc::BindingRequest r;
        for (auto &b : r.transactionId) b = randomValue<uint8_t>();
        r.username = username;
        r.password = v.setup.remotePassword;
        r.priority = 0x7e7fffff;
        r.controlling = v.setup.controlling;
        r.tieBreaker = v.setup.controlling ? randomValue<uint64_t>() : 0;  // 0: the server keeps control
        r.useCandidate = v.setup.controlling;
        uint8_t out[256];
        if (const size_t n = webrtc::writeBindingRequest(out, r)) ::send(v.fd.get(), out, n, MSG_DONTWAIT);
        v.nextCheck = Clock::now() + (v.srtp ? Clock::duration(kConsentEvery) : Clock::duration(kCheckRetry));
    }

    // A receiver report about each stream begun, and REMB from the rate received since the last.
    void sendReport(Viewer &v) {
        const auto now = Clock::now();
        const double interval = seconds(now - v.lastReport);
        uint64_t estimate = 0;
        if (v.lastReport != Clock::time_point{} && interval > 0) {
            const double rate = double(v.bytesSinceReport) * 8 / interval;
            const double loss = double(v.video.reception.lastFractionLost()) / 256;  // of the report before
            estimate = uint64_t(loss < 0.02 ? 1.5 * rate : loss > 0.1 ? rate * (1 - 0.5 * loss) : rate);
        }
        ReceptionStats *const streams[] = {&v.video.reception, &v.audio.reception};
        uint8_t report[8 + 2 * 24 + 28 + webrtc::SrtpSession::MaxOverhead];
        size_t size = writeReceiverReport({report, sizeof report - webrtc::SrtpSession::MaxOverhead}, v.reportSsrc,
                                          streams, estimate);
        if (size && v.rtcpOut->protectRtcp(report, size)) ::send(v.fd.get(), report, size, MSG_DONTWAIT);
        v.lastReport = now;
        v.bytesSinceReport = 0;
        v.nextReport = now + kReportEvery;
    }

    // Each datagram, a segmented one (UDP_GRO) split into the datagrams it was sent as.
    void readAll(Viewer &v) {
        for (;;) {
            iovec io{buffer_.data(), buffer_.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
            msghdr m{};
            m.msg_iov = &io;
            m.msg_iovlen = 1;
            m.msg_control = control;
            m.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(v.fd.get(), &m, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            size_t segment = size_t(n);
            for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
                if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                    int size = 0;
                    std::memcpy(&size, CMSG_DATA(c), sizeof size);
                    if (size > 0) segment = size_t(size);
                }
            for (size_t at = 0; at < size_t(n); at += segment)
                receive(v, {buffer_.data() + at, std::min(segment, size_t(n) - at)});
        }
    }

    // A datagram at the viewer's link.
    void receive(Viewer &v, std::span<uint8_t> d) {
        if (window_.open) {
            result_.windowBytes += d.size();
            std::vector<uint32_t> &offered = v.figures.offeredPerSecond;
            const size_t second = size_t(seconds(Clock::now() - window_.start));
            if (offered.size() <= second) offered.resize(second + 1);
            offered[second] += uint32_t(d.size());
        }
        if (!v.link.limited()) return deliver(v, d);
        const auto due = v.link.pass(d.size(), Clock::now());
        if (!due) return;  // the link's queue is full
        if (v.held.empty()) due_.emplace(*due, v.index);
        v.held.push_back({*due, {d.begin(), d.end()}});
    }

    // A datagram through the viewer's link.
    void deliver(Viewer &v, std::span<uint8_t> d) {
        v.bytesSinceReport += d.size();
        if (window_.open) v.figures.bytesAfterLink += d.size();
        onDatagram(v, d);
    }

    void onDatagram(Viewer &v, std::span<uint8_t> d) {
        switch (webrtc::classifyPacket(d)) {
        case webrtc::PacketKind::Stun:
            return onStun(v, d);
        case webrtc::PacketKind::Dtls:
            if (v.failed) return;
            if (v.dtls->receive(d) == webrtc::DtlsState::Failed) return fail(v, v.dtls->failure());
            onDtlsProgress(v);
            return;
        case webrtc::PacketKind::Rtp:
            if (v.srtp) rtp_.onPacket(v, d, Clock::now());
            return;
        default:
            return;
        }
    }

    void onStun(Viewer &v, std::span<const uint8_t> d) {
        const auto m = webrtc::readStun(d);
        if (!m) return;
        if (m->isBindingRequest()) {  // a full-ICE server checks us too
            if (!m->username.starts_with(v.setup.localUfrag + ":") ||
                webrtc::checkIntegrity(d, *m, v.setup.localPassword) != webrtc::StunError::None)
                return;
            std::array<uint8_t, webrtc::MaxBindingSuccessSize> out{};
            const size_t n = webrtc::writeBindingSuccess(
                out, m->transactionId, reinterpret_cast<const sockaddr *>(&v.setup.remote), v.setup.localPassword);
            if (n) ::send(v.fd.get(), out.data(), n, MSG_DONTWAIT);
        } else if (m->type != 0x0101) {
            return;
        }
        if (v.checked || v.failed) return;
        v.checked = true;
        v.dtls->start();
        onDtlsProgress(v);
    }

    void onDtlsProgress(Viewer &v) {
        const auto due = v.dtls->nextTimeout();
        v.dtlsDue = due ? Clock::now() + *due : Clock::time_point::max();
        if (v.srtp || v.dtls->state() != webrtc::DtlsState::Connected) return;
        const webrtc::SrtpKeys &k = v.dtls->keys();
        v.srtp = std::make_unique<webrtc::SrtpSession>(k.profile, k.remoteKeySalt(), webrtc::SrtpSession::Inbound);
        if (!v.srtp->valid()) fail(v, "SRTP refused the keys");
        if (k.profile == webrtc::SrtpProfile::AeadAes128Gcm)
            v.gcm = std::make_unique<webrtc::SrtpGcmRtp>(k.remoteKeySalt());
        v.rtcpOut = std::make_unique<webrtc::SrtpSession>(k.profile, k.localKeySalt(), webrtc::SrtpSession::Outbound);
        v.nextCheck = Clock::now() + kConsentEvery;
        sendReport(v);
    }

    void tick() {
        const auto now = lastTick_ = Clock::now();
        for (auto &owned : viewers_) {
            Viewer &v = *owned;
            if (v.failed) continue;
            if (!v.srtp && now - v.joined > o_.setupTimeout) {
                fail(v, v.checked ? "no DTLS" : "no answer to the binding checks");
                continue;
            }
            if (now >= v.nextCheck && (!v.checked || v.srtp)) sendCheck(v);
            if (now >= v.nextReport) sendReport(v);
            if (v.dtlsDue <= now) {
                if (v.dtls->handleTimeout() == webrtc::DtlsState::Failed) fail(v, v.dtls->failure());
                onDtlsProgress(v);
            }
        }
    }

    void fail(Viewer &v, const std::string &why) {
        if (v.failed) return;
        v.failed = true;
        ++result_.failures[why.substr(0, 60)];
    }

    void startWindow() {
        window_.start = Clock::now();
        window_.open = true;
        for (auto &v : viewers_)
            for (Track *t : {&v->video, &v->audio}) {
                t->windowBaseline = t->sequence.started;
                t->windowFirst = t->sequence.value;
                t->windowReceived = 0;
            }
    }

    void finish() {
        const auto end = Clock::now();
        {
            std::lock_guard lock(mutex_);
            for (const auto &[why, n] : signallingFailures_) result_.failures[why] += n;
            signallingFailures_.clear();
        }
        result_.windowSeconds = seconds(end - window_.start);
        if (std::getenv("WHEP_LOAD_DEBUG")) {
            size_t connected = 0, videoIn = 0, audioIn = 0, failed = 0;
            for (auto &v : viewers_)
                connected += v->srtp != nullptr, videoIn += v->video.windowReceived > 0,
                    audioIn += v->audio.windowReceived > 0, failed += v->failed;
            std::fprintf(stderr, "connected %zu video %zu audio %zu failed %zu\n", connected, videoIn, audioIn, failed);
        }
        std::vector<ViewerFigures> figures;
        figures.reserve(viewers_.size());
        for (auto &v : viewers_) {
            for (auto [t, f] : {std::pair{&v->video, &v->figures.video}, std::pair{&v->audio, &v->figures.audio}})
                if (t->windowBaseline)
                    f->expected = t->sequence.value - t->windowFirst, f->received = t->windowReceived;
            figures.push_back(std::move(v->figures));
        }
        times_.start = window_.start;
        times_.end = end;
        summarize(figures, o_, times_, result_);
    }

    Signalling &signalling_;
    const WebrtcLoadOptions &o_;
    const webrtc::DtlsContext &identity_;
    UniqueFd epoll_, wake_;
    std::vector<std::unique_ptr<Viewer>> viewers_;
    std::vector<uint8_t> buffer_;
    std::mutex mutex_;
    std::deque<Joining> incoming_;
    std::map<std::string, size_t> signallingFailures_;  // since the last adopt()
    std::atomic<bool> joinsDone_{false}, stormDone_{false}, stop_{false};
    std::atomic<Clock::time_point> lastJoin_{Clock::time_point::max()}, stormLastJoin_{Clock::time_point::max()};
    Clock::time_point lastTick_{};
    LoadWindow window_;
    WindowTimes times_;
    // When each viewer's link lets its next datagram through, the soonest first.
    std::priority_queue<std::pair<Clock::time_point, size_t>, std::vector<std::pair<Clock::time_point, size_t>>,
                        std::greater<>>
        due_;
    WebrtcLoadResult result_;
    RtpIntake rtp_{window_, Clock::now(), result_.sample};
};

}  // namespace

WebrtcLoadResult runWebrtcLoad(Signalling &signalling, const WebrtcLoadOptions &options) {
    std::string error;
    const auto identity = webrtc::DtlsContext::create(&error);
    if (!identity) {
        WebrtcLoadResult r;
        r.viewers = options.viewers;
        r.failures[error] = options.viewers;
        return r;
    }
    return Load(signalling, options, *identity).run();
}

}  // namespace morlanex::bench
