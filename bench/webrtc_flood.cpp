#include "webrtc_flood.h"


#include "net/unique_fd.h"
#include "webrtc/dtls.h"
#include "webrtc/sdp.h"
#include "webrtc/stun.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <random>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <vector>

namespace morlanex::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

enum Flood { Offers, Bodies, Hellos, StunUnknown, StunWrong };
constexpr size_t kUdpFloods = 3;  // Hellos, StunUnknown, StunWrong
constexpr size_t kHellos = 16, kUnknownChecks = 256, kCredentials = 64;
constexpr double kMaxBurst = 400;  // datagrams of one flood per pass of the loop

uint32_t floodHost(Flood f, size_t i) {
    return uint32_t(127) << 24 | uint32_t(20 + f) << 16 | uint32_t(i / 250) << 8 | uint32_t(1 + i % 250);
}

sockaddr_in loopback(uint32_t host, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(host);
    return a;
}

std::string offerSdp(const std::string &ufrag, const std::string &password, const std::string &fingerprint) {
    const std::string common = "c=IN IP4 0.0.0.0\r\na=ice-ufrag:" + ufrag + "\r\na=ice-pwd:" + password + "\r\n" +
        (fingerprint.empty() ? "" : "a=fingerprint:sha-256 " + fingerprint + "\r\n") +
        "a=setup:actpass\r\na=recvonly\r\na=rtcp-mux\r\n";
    return "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0 1\r\n"
           "m=audio 9 UDP/TLS/RTP/SAVPF 111\r\n" +
        common + "a=mid:0\r\na=rtpmap:111 opus/48000/2\r\nm=video 9 UDP/TLS/RTP/SAVPF 96\r\n" + common +
        "a=mid:1\r\na=rtpmap:96 VP8/90000\r\na=rtcp-fb:96 nack pli\r\n";
}

std::string postHead(size_t length) {
    return "POST /whep HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/sdp\r\nContent-Length: " +
        std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}

std::string sdpValue(const std::string &sdp, const char *prefix) {
    const size_t at = sdp.find(prefix);
    if (at == std::string::npos) return {};
    const size_t from = at + std::strlen(prefix);
    return sdp.substr(from, sdp.find_first_of("\r\n", from) - from);
}

void count(FloodCount &c, int status) {
    ++c.statuses[status];
    c.answered += status == 201;
}

}  // namespace

struct WebrtcFlood::State {
    // One HTTP connection of the offers or the unfinished bodies.
    struct Conn {
        UniqueFd fd;
        bool valid = false;  // a valid-looking offer
        std::string out, in, ufrag;  // ufrag: the offer's own
        size_t outAt = 0;
        Clock::time_point due{};
    };
    // The sink's credentials of one session a valid offer opened.
    struct Credential {
        std::string sinkUfrag, sinkPassword, ourUfrag;
    };

    FloodOptions o;
    UniqueFd ep{::epoll_create1(EPOLL_CLOEXEC)};
    std::vector<Conn> offers, bodies;
    std::vector<size_t> freeOffers;
    std::vector<UniqueFd> udp[kUdpFloods];
    std::vector<std::vector<uint8_t>> hellos, unknownChecks;
    std::vector<Credential> credentials;  // a ring of the latest
    size_t nextCredential = 0, nextOfferHost = 0, nextBodyHost = 0;
    uint64_t udpSent[kUdpFloods] = {}, wrongKind = 0;
    std::mt19937_64 random{11};
    mutable std::mutex mutex;  // the result, read while the loop runs
    FloodResult result;
    Clock::time_point started{};

    FloodCount &udpCounter(size_t flood) {
        return *std::array<FloodCount *, kUdpFloods>{&result.hellos, &result.stunUnknown, &result.stunWrong}[flood];
    }

    std::string randomBytes(size_t n) {
        std::string s(n, '\0');
        for (char &c : s) c = char(random());
        return s;
    }

    std::string fakeFingerprint() {
        char hex[32 * 3];
        for (int i = 0; i < 32; ++i) std::snprintf(hex + 3 * i, 4, "%02X:", unsigned(random() & 0xff));
        return std::string(hex, sizeof hex - 1);
    }

    bool open(Conn &c, uint32_t host, uint64_t tag) {
        c.fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!c.fd) return false;
        const sockaddr_in from = loopback(host, 0), to = loopback(INADDR_LOOPBACK, o.httpPort);
        ::bind(c.fd.get(), reinterpret_cast<const sockaddr *>(&from), sizeof from);
        c.in.clear();
        c.outAt = 0;
        if (::connect(c.fd.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
            c.fd.reset();
            return false;
        }
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP | EPOLLET;
        ev.data.u64 = tag;
        ::epoll_ctl(ep.get(), EPOLL_CTL_ADD, c.fd.get(), &ev);
        return true;
    }

    void openOffer(size_t slot) {
        Conn &c = offers[slot];
        const uint64_t n = result.validOffers.sent + result.junkOffers.sent;
        c.valid = n % 2 == 0;
        std::string body;
        if (c.valid) {
            c.ufrag = webrtc::makeIceUfrag();
            body = offerSdp(c.ufrag, webrtc::makeIcePassword(), fakeFingerprint());
        } else if (n % 6 == 1) {
            body = randomBytes(300);
        } else if (n % 6 == 3) {
            body = "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";  // no media
        } else {
            body = offerSdp(webrtc::makeIceUfrag(), webrtc::makeIcePassword(), "");  // no fingerprint
        }
        c.out = postHead(body.size()) + body;
        if (!open(c, floodHost(Offers, nextOfferHost++ % o.hosts), uint64_t(Offers) << 32 | slot)) {
            freeOffers.push_back(slot);
            return;
        }
        ++(c.valid ? result.validOffers : result.junkOffers).sent;
        c.due = Clock::now() + 10s;
    }

    void openBody(size_t slot) {
        Conn &c = bodies[slot];
        const std::string body = offerSdp(webrtc::makeIceUfrag(), webrtc::makeIcePassword(), fakeFingerprint());
        c.out = postHead(body.size()) + body.substr(0, body.size() / 3);
        if (open(c, floodHost(Bodies, nextBodyHost++ % o.hosts), uint64_t(Bodies) << 32 | slot))
            ++result.unfinishedBodies.sent;
        else
            c.due = Clock::now() + 1s;
    }

    // The sink answered or closed: one status counted, the slot free again.
    void finish(Flood f, size_t slot) {
        Conn &c = (f == Offers ? offers : bodies)[slot];
        const int status = c.in.size() >= 12 && c.in.starts_with("HTTP/") ? std::atoi(c.in.c_str() + 9) : 0;
        c.fd.reset();
        if (f == Bodies) {
            count(result.unfinishedBodies, status);
            c.due = Clock::now() + 1s;
            return;
        }
        count(c.valid ? result.validOffers : result.junkOffers, status);
        freeOffers.push_back(slot);
        if (status != 201) return;
        Credential k{sdpValue(c.in, "a=ice-ufrag:"), sdpValue(c.in, "a=ice-pwd:"), c.ufrag};
        if (k.sinkUfrag.empty() || k.sinkPassword.empty()) return;
        if (credentials.size() < kCredentials)
            credentials.push_back(std::move(k));
        else
            credentials[nextCredential++ % kCredentials] = std::move(k);
    }

    void onConn(Flood f, size_t slot, uint32_t events) {
        Conn &c = (f == Offers ? offers : bodies)[slot];
        if (!c.fd) return;
        if ((events & EPOLLOUT) && c.outAt < c.out.size()) {
            const ssize_t n = ::send(c.fd.get(), c.out.data() + c.outAt, c.out.size() - c.outAt, MSG_NOSIGNAL);
            if (n > 0) c.outAt += size_t(n);
        }
        if (!(events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) return;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                c.in.append(buf, size_t(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            return finish(f, slot);
        }
    }

    void onUdp(size_t flood, size_t i) {
        uint8_t buf[2048];
        while (::recv(udp[flood][i].get(), buf, sizeof buf, MSG_DONTWAIT) >= 0) ++udpCounter(flood).answered;
    }

    // One binding request of the wrong kind: a known sink ufrag with the wrong remote ufrag, or
    // the right username under the wrong password.
    size_t wrongCheck(std::span<uint8_t> out) {
        const Credential &k = credentials[random() % credentials.size()];
        const bool wrongName = wrongKind++ % 2 == 0;
        const std::string username = k.sinkUfrag + ":" + (wrongName ? webrtc::makeIceUfrag() : k.ourUfrag);
        return check(out, username, wrongName ? k.sinkPassword : webrtc::makeIcePassword());
    }

    size_t check(std::span<uint8_t> out, const std::string &username, const std::string &password) {
        webrtc::BindingRequest r;
        for (auto &b : r.transactionId) b = uint8_t(random());
        r.username = username;
        r.password = password;
        r.priority = 2130706431;
        r.tieBreaker = random();
        r.useCandidate = true;
        return webrtc::writeBindingRequest(out, r);
    }

    void sendUdp(size_t flood, double due) {
        const sockaddr_in to = loopback(INADDR_LOOPBACK, o.udpPort);
        std::array<uint8_t, 512> wrong{};
        for (double burst = 0; double(udpSent[flood]) < due && burst < kMaxBurst; ++burst) {
            std::span<const uint8_t> d;
            if (flood == 0) {
                d = hellos[udpSent[flood] % hellos.size()];
            } else if (flood == 1) {
                d = unknownChecks[udpSent[flood] % unknownChecks.size()];
            } else {
                if (credentials.empty()) return;  // no offer answered yet
                d = std::span<const uint8_t>(wrong.data(), wrongCheck(wrong));
            }
            const int fd = udp[flood][udpSent[flood] % udp[flood].size()].get();
            ::sendto(fd, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to), sizeof to);
            ++udpSent[flood];
            ++udpCounter(flood).sent;
        }
    }
};

WebrtcFlood::WebrtcFlood(const FloodOptions &options) : state_(std::make_unique<State>()) { state_->o = options; }

WebrtcFlood::~WebrtcFlood() { stop(); }

bool WebrtcFlood::prepare(std::string *error) {
    State &s = *state_;
    for (size_t f = 0; f < kUdpFloods; ++f) {
        for (size_t i = 0; i < s.o.hosts; ++i) {
            UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            const sockaddr_in at = loopback(floodHost(Flood(Hellos + f), i), 0);
            if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0)
                return *error = std::string("cannot bind a flood socket: ") + std::strerror(errno), false;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = uint64_t(Hellos + f) << 32 | i;
            ::epoll_ctl(s.ep.get(), EPOLL_CTL_ADD, fd.get(), &ev);
            s.udp[f].push_back(std::move(fd));
        }
    }
    const auto context = webrtc::DtlsContext::create(error);
    if (!context) return false;
    for (size_t i = 0; i < kHellos; ++i) {
        webrtc::DtlsEndpoint client(*context, "sha-256", context->fingerprint(),
                                    [&](std::span<const uint8_t> d) {
                                        if (s.hellos.size() == i) s.hellos.emplace_back(d.begin(), d.end());
                                    },
                                    webrtc::DtlsRole::Client);
        client.start();
    }
    if (s.hellos.size() != kHellos) return *error = "the DTLS client made no ClientHello", false;
    for (size_t i = 0; i < kUnknownChecks; ++i) {
        std::vector<uint8_t> out(512);
        out.resize(s.check(out, webrtc::makeIceUfrag() + ":" + webrtc::makeIceUfrag(), webrtc::makeIcePassword()));
        s.unknownChecks.push_back(std::move(out));
    }
    s.offers.resize(s.o.offersInFlight);
    for (size_t i = s.offers.size(); i-- > 0;) s.freeOffers.push_back(i);
    s.bodies.resize(s.o.unfinishedBodies);
    return true;
}

void WebrtcFlood::start() {
    stop_ = false;
    thread_ = std::thread([this] { run(); });
}

void WebrtcFlood::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

FloodResult WebrtcFlood::result() const {
    const std::lock_guard lock(state_->mutex);
    return state_->result;
}

void WebrtcFlood::run() {
    State &s = *state_;
    s.started = Clock::now();
    const double rates[kUdpFloods] = {s.o.hellosPerSecond, s.o.stunUnknownPerSecond, s.o.stunWrongPerSecond};
    epoll_event events[512];
    auto nextReopen = s.started;
    while (!stop_) {
        const int n = ::epoll_wait(s.ep.get(), events, 512, 1);
        const std::lock_guard lock(s.mutex);
        for (int k = 0; k < n; ++k) {
            const auto flood = Flood(events[k].data.u64 >> 32);
            const size_t index = size_t(events[k].data.u64 & 0xffffffff);
            if (flood <= Bodies)
                s.onConn(flood, index, events[k].events);
            else
                s.onUdp(flood - Hellos, index);
        }
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - s.started).count();
        const uint64_t offersDue = uint64_t(s.o.offersPerSecond * elapsed);
        while (s.result.validOffers.sent + s.result.junkOffers.sent < offersDue && !s.freeOffers.empty()) {
            const size_t slot = s.freeOffers.back();
            s.freeOffers.pop_back();
            s.openOffer(slot);
        }
        if (now >= nextReopen) {
            nextReopen = now + 50ms;
            for (size_t i = 0; i < s.bodies.size(); ++i)
                if (!s.bodies[i].fd && now >= s.bodies[i].due) s.openBody(i);
            // An offer the sink leaves unanswered frees its slot after a while, counted apart.
            for (size_t i = 0; i < s.offers.size(); ++i)
                if (s.offers[i].fd && now >= s.offers[i].due) {
                    s.offers[i].in = "HTTP/1.0 -1 ";
                    s.finish(Offers, i);
                }
        }
        for (size_t f = 0; f < kUdpFloods; ++f) s.sendUdp(f, rates[f] * elapsed);
        s.result.seconds = elapsed;
    }
    // What is still open goes unanswered: the flood is over.
    for (auto *conns : {&s.offers, &s.bodies})
        for (auto &c : *conns) c.fd.reset();
}

void printFloodResult(const FloodResult &r) {
    const auto line = [&](const char *what, const FloodCount &c, const char *answer) {
        std::string statuses;
        for (const auto &[status, n] : c.statuses)
            statuses += (statuses.empty() ? "; " : ", ") + (status > 0 ? std::to_string(status) : status ? "no answer in 10 s" : "closed") +
                ": " + std::to_string(n);
        std::printf("  %-28s sent %9llu (%6.0f/s), %s %llu%s\n", what, static_cast<unsigned long long>(c.sent),
                    r.seconds > 0 ? double(c.sent) / r.seconds : 0.0, answer,
                    static_cast<unsigned long long>(c.answered), statuses.c_str());
    };
    std::printf("floods over %.1f s (sent; what came back):\n", r.seconds);
    line("valid-looking offers", r.validOffers, "answered 201");
    line("junk offers", r.junkOffers, "answered 201");
    line("unfinished offer bodies", r.unfinishedBodies, "answered 201");
    line("DTLS ClientHellos, no STUN", r.hellos, "datagrams back");
    line("STUN, unknown username", r.stunUnknown, "datagrams back");
    line("STUN, wrong name/integrity", r.stunWrong, "datagrams back");
}

}  // namespace morlanex::bench
