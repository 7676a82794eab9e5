// The port mapper against a real home router: miniupnpd in network namespaces
// (tests/router/home-router), the mapper running in-process in the home namespace. Needs root.
#include "home_router.h"
#include "net/port_mapping/port_mapper.h"
#include "net/unique_fd.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using namespace morlanex;
using namespace morlanex::portmap;
using namespace std::chrono_literals;
using morlanex::testing::HomeRouter;

namespace {

constexpr auto kPatience = 20s;  // hang guard for the router's answers
constexpr uint16_t kStreamPort = 8080;
constexpr uint16_t kWebRtcPort = 8090;

// What the worker thread hands back.
class Collected {
public:
    void report(const MappingReport &r) {
        std::lock_guard lock(mutex_);
        reports_.push_back(r);
        changed_.notify_all();
    }
    void log(const std::string &line) {
        std::lock_guard lock(mutex_);
        log_ += line + "\n";
    }
    // The next report after the first `seen`.
    std::optional<MappingReport> next(size_t seen, std::chrono::steady_clock::duration within = kPatience) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, within, [&] { return reports_.size() > seen; })) return std::nullopt;
        return reports_[seen];
    }
    size_t count() {
        std::lock_guard lock(mutex_);
        return reports_.size();
    }
    std::string log() {
        std::lock_guard lock(mutex_);
        return log_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<MappingReport> reports_;
    std::string log_;
};

PortMapper::Config config(std::vector<Method> methods = {Method::Pcp, Method::NatPmp, Method::Upnp},
                          std::chrono::seconds lease = 3600s) {
    PortMapper::Config c;
    c.ports = {{Protocol::Tcp, kStreamPort, "stream"}, {Protocol::Udp, kWebRtcPort, "WebRTC"}};
    c.lease = lease;
    c.methods = std::move(methods);
    return c;
}

std::vector<std::string> ourMappings() { return {"tcp 8080 192.168.77.2:8080", "udp 8090 192.168.77.2:8090"}; }

std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Whether a TCP connection from the outside namespace to address:port reaches `listener`.
bool outsideReaches(const HomeRouter &router, const std::string &address, uint16_t port, int listener) {
    UniqueFd client;
    {
        auto outside = router.enterOutside();
        if (!outside.ok()) return false;
        client.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (::connect(client.get(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) return false;
    pollfd ready{listener, POLLIN, 0};
    if (::poll(&ready, 1, 5000) != 1) return false;
    const UniqueFd accepted(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    return bool(accepted);
}

class PortMapperRouterTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = HomeRouter::unavailable(); !why.empty()) GTEST_SKIP() << why;
    }
    void TearDown() override {
        if (HasFailure()) std::cerr << "mapper log:\n" << collected_.log();
    }

    // The router, and the mapper started in its home namespace.
    void begin(HomeRouter::Mode mode, PortMapper::Config c) {
        router_ = std::make_unique<HomeRouter>(mode);
        ASSERT_TRUE(router_->ok()) << router_->error();
        startMapper(std::move(c));
    }
    void startMapper(PortMapper::Config c) {
        mapper_ = std::make_unique<PortMapper>(
            std::move(c), [this](const MappingReport &r) { collected_.report(r); },
            [this](const std::string &line) { collected_.log(line); });
        auto home = router_->enterHome();
        ASSERT_TRUE(home.ok());
        mapper_->start();
    }
    // A TCP listener on the home address.
    UniqueFd homeListener() {
        auto home = router_->enterHome();
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_port = htons(kStreamPort);
        inet_pton(AF_INET, router_->home().c_str(), &self.sin_addr);
        if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&self), sizeof self) != 0 || ::listen(fd.get(), 4) != 0)
            return {};
        return fd;
    }
    // Both ports mapped as asked, by `method`, on the router's outside address; reachable from outside.
    void expectMappedAndReachable(Method method) {
        const UniqueFd listener = homeListener();
        ASSERT_TRUE(listener);
        const auto report = collected_.next(0);
        ASSERT_TRUE(report);
        EXPECT_EQ(report->outcome, Outcome::AllMapped) << report->error;
        EXPECT_EQ(report->method, method);
        EXPECT_EQ(report->outsideAddress, router_->routerOutside());
        ASSERT_EQ(report->ports.size(), 2u);
        for (const PortResult &port : report->ports) EXPECT_EQ(port.outsidePort, port.request.insidePort);
        EXPECT_EQ(sorted(router_->mappings()), ourMappings());
        EXPECT_TRUE(outsideReaches(*router_, router_->routerOutside(), kStreamPort, listener.get()));
    }
    // stop() removes every mapping before it returns, within its bound.
    void expectStopEmptiesTheRouter() {
        const auto started = std::chrono::steady_clock::now();
        mapper_->stop();
        EXPECT_LE(std::chrono::steady_clock::now() - started, 2500ms);
        EXPECT_EQ(router_->mappings(), std::vector<std::string>{});
    }

    Collected collected_;
    std::unique_ptr<HomeRouter> router_;
    std::unique_ptr<PortMapper> mapper_;  // destroyed before the router
};

TEST_F(PortMapperRouterTest, UpnpRouterMapsBothPortsAndStopRemovesThem) {
    begin(HomeRouter::Mode::Upnp, config());
    expectMappedAndReachable(Method::Upnp);
    expectStopEmptiesTheRouter();
}

TEST_F(PortMapperRouterTest, PcpWinsOnARouterWithNatPmpAndPcp) {
    begin(HomeRouter::Mode::NatPmp, config());
    expectMappedAndReachable(Method::Pcp);
    expectStopEmptiesTheRouter();
}

TEST_F(PortMapperRouterTest, NatPmpMapsWhenPcpIsNotAsked) {
    begin(HomeRouter::Mode::NatPmp, config({Method::NatPmp}));
    expectMappedAndReachable(Method::NatPmp);
    expectStopEmptiesTheRouter();
}

TEST_F(PortMapperRouterTest, RouterWithoutAServiceIsReportedSoon) {
    const auto started = std::chrono::steady_clock::now();
    begin(HomeRouter::Mode::None, config());
    const auto report = collected_.next(0);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->outcome, Outcome::NoService);
    EXPECT_NE(report->error.find("192.168.77.1"), std::string::npos) << report->error;
    // Discovery is bounded: PCP and NAT-PMP are refused at once, UPnP searches for 2 s.
    EXPECT_LE(std::chrono::steady_clock::now() - started, 8s);
}

TEST_F(PortMapperRouterTest, SecondNatIsReportedWithTheSharedAddress) {
    begin(HomeRouter::Mode::CgNat, config());
    const auto report = collected_.next(0);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->outcome, Outcome::SecondNat) << report->error;
    EXPECT_EQ(report->outsideAddress, "100.64.77.1");
    EXPECT_EQ(router_->mappings(), std::vector<std::string>{});
}

TEST_F(PortMapperRouterTest, APublicGatewayIsNoHomeRouterAndIsNotAsked) {
    // From the outside network, the router's public side is the default gateway.
    router_ = std::make_unique<HomeRouter>(HomeRouter::Mode::Upnp);
    ASSERT_TRUE(router_->ok()) << router_->error();
    const std::string route = "ip -n " + router_->name() + "-outside route add default via " + router_->routerOutside();
    ASSERT_EQ(std::system(route.c_str()), 0);
    mapper_ = std::make_unique<PortMapper>(
        config(), [this](const MappingReport &r) { collected_.report(r); },
        [this](const std::string &line) { collected_.log(line); });
    {
        auto outside = router_->enterOutside();
        ASSERT_TRUE(outside.ok());
        mapper_->start();
    }
    const auto report = collected_.next(0, 1s);  // at once: nothing was asked
    ASSERT_TRUE(report);
    EXPECT_EQ(report->outcome, Outcome::NoService);
    EXPECT_NE(report->error.find("11.77.0.1 is not on a private network"), std::string::npos) << report->error;
    EXPECT_EQ(collected_.log().find("asking the gateway"), std::string::npos) << collected_.log();
}

// After a restart the router has none of our mappings; they must be back within one renewal
// interval (5/8 of the granted lifetime at most).
class RouterRestartTest : public PortMapperRouterTest, public ::testing::WithParamInterface<HomeRouter::Mode> {};

TEST_P(RouterRestartTest, MappingsAreBackWithinOneRenewal) {
    begin(GetParam(), config({Method::Pcp, Method::NatPmp, Method::Upnp}, 10s));
    const auto first = collected_.next(0);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->outcome, Outcome::AllMapped) << first->error;
    const size_t before = collected_.count();
    // The script empties the router's tables before the daemon starts again.
    ASSERT_TRUE(router_->restartDaemon()) << router_->error();
    // Each round reports after mapping: the table is looked at after each report since.
    const auto until = std::chrono::steady_clock::now() + first->ports[0].lifetime * 5 / 8 + 3s;
    for (size_t seen = before; seen == before || sorted(router_->mappings()) != ourMappings(); ++seen)
        ASSERT_TRUE(collected_.next(seen, until - std::chrono::steady_clock::now())) << "no renewal in time";
}

INSTANTIATE_TEST_SUITE_P(Router, RouterRestartTest, ::testing::Values(HomeRouter::Mode::Upnp, HomeRouter::Mode::NatPmp),
                         [](const auto &info) { return info.param == HomeRouter::Mode::Upnp ? "Upnp" : "PcpNatPmp"; });

TEST_F(PortMapperRouterTest, StopReturnsInTimeWhenTheRouterHangs) {
    begin(HomeRouter::Mode::Upnp, config());
    const auto report = collected_.next(0);
    ASSERT_TRUE(report);
    ASSERT_EQ(report->outcome, Outcome::AllMapped) << report->error;
    ASSERT_TRUE(router_->freezeDaemon()) << router_->error();
    const auto started = std::chrono::steady_clock::now();
    mapper_->stop();
    EXPECT_LE(std::chrono::steady_clock::now() - started, 2500ms);
}

// A PCP server of the test's own on the router's port 5351 (no miniupnpd there): before each
// true answer it sends what a broken or hostile peer might, the last from another address
// with another outside port.
class HostilePcpServer {
public:
    explicit HostilePcpServer(const HomeRouter &router) {
        auto inRouter = router.enterRouter();
        server_ = udpSocket(router.gateway(), 5351);
        spoofer_ = udpSocket(router.routerOutside(), 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~HostilePcpServer() {
        done_ = true;
        thread_.join();
    }
    bool ok() const { return server_ && spoofer_; }

private:
    static UniqueFd udpSocket(const std::string &address, uint16_t port) {
        UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &self.sin_addr);
        if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&self), sizeof self) != 0) return {};
        return fd;
    }
    void serve() {
        while (!done_) {
            pollfd ready{server_.get(), POLLIN, 0};
            if (::poll(&ready, 1, 100) != 1) continue;
            uint8_t request[128];
            sockaddr_in client{};
            socklen_t length = sizeof client;
            const ssize_t n =
                ::recvfrom(server_.get(), request, sizeof request, 0, reinterpret_cast<sockaddr *>(&client), &length);
            if (n != 60) continue;
            // The answer: MAP, success, the asked lifetime, epoch 1, nonce, protocol and port
            // copied, outside port = inside port, outside address 11.77.0.1.
            std::vector<uint8_t> good(60, 0);
            good[0] = 2;
            good[1] = 0x81;
            std::memcpy(&good[4], &request[4], 4);
            good[11] = 1;
            std::memcpy(&good[24], &request[24], 16);
            std::memcpy(&good[40], &request[40], 2);
            std::memcpy(&good[42], &request[40], 2);
            const uint8_t outside[] = {0xff, 0xff, 11, 77, 0, 1};
            std::memcpy(&good[54], outside, sizeof outside);
            auto send = [&](int fd, std::vector<uint8_t> bytes) {
                ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&client), length);
            };
            send(server_.get(), std::vector<uint8_t>(good.begin(), good.begin() + 20));  // too short
            auto wrongNonce = good;
            wrongNonce[24] ^= 1;
            send(server_.get(), wrongNonce);
            auto announce = good;
            announce[1] = 0x80;
            send(server_.get(), announce);
            auto otherPort = good;
            otherPort[41] ^= 1;
            send(server_.get(), otherPort);
            auto spoofed = good;
            spoofed[42] = 0x04;  // outside port 1234 + ...
            spoofed[43] = 0xd2;
            send(spoofer_.get(), spoofed);
            send(server_.get(), good);
        }
    }

    UniqueFd server_, spoofer_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST_F(PortMapperRouterTest, HostilePcpRepliesAreIgnored) {
    router_ = std::make_unique<HomeRouter>(HomeRouter::Mode::None);
    ASSERT_TRUE(router_->ok()) << router_->error();
    HostilePcpServer server(*router_);
    ASSERT_TRUE(server.ok());
    startMapper(config({Method::Pcp}));
    const auto report = collected_.next(0);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->outcome, Outcome::AllMapped) << report->error;
    for (const PortResult &port : report->ports) EXPECT_EQ(port.outsidePort, port.request.insidePort);
    const std::string log = collected_.log();
    for (const char *reason : {"too short", "wrong nonce", "not a MAP response", "answers another port"})
        EXPECT_NE(log.find(std::string("ignored a reply from 192.168.77.1: ") + reason), std::string::npos) << reason;
    mapper_.reset();
}

}  // namespace
