// Test support: a real home router in network namespaces, around one test.
//
// HomeRouter runs tests/router/home-router: namespaces NAME-home (192.168.77.2 behind the
// router), NAME-router (nftables masquerade, miniupnpd) and NAME-outside (the internet side).
// The constructor brings it up in the given mode, the destructor takes it down. Its commands
// always run in the namespace the test started in, wherever the calling thread is.
//
// NetnsScope moves the calling thread into one of the namespaces until the scope ends: sockets
// made meanwhile belong there for good, and threads started meanwhile (a PortMapper's worker)
// stay there after the scope ends.
//
// Needs root; unavailable() says why not, for GTEST_SKIP.
//
// Example:
//   if (auto why = HomeRouter::unavailable(); !why.empty()) GTEST_SKIP() << why;
//   HomeRouter router(HomeRouter::Mode::Upnp);
//   ASSERT_TRUE(router.ok()) << router.error();
//   { auto home = router.enterHome(); mapper.start(); }
//   EXPECT_EQ(router.mappings(), (std::vector<std::string>{"tcp 8080 192.168.77.2:8080"}));
#pragma once

#include "net/unique_fd.h"

#include <string>
#include <vector>

namespace morlanex::testing {

class NetnsScope {
public:
    explicit NetnsScope(const std::string &name);
    ~NetnsScope();
    NetnsScope(NetnsScope &&other) noexcept = default;
    NetnsScope(const NetnsScope &) = delete;
    bool ok() const { return entered_; }

private:
    UniqueFd previous_;
    bool entered_ = false;
};

class HomeRouter {
public:
    enum class Mode { Upnp, NatPmp, None, CgNat };

    // Empty when the router can be built here; else why not ("needs root").
    static std::string unavailable();

    explicit HomeRouter(Mode mode);
    ~HomeRouter();
    HomeRouter(const HomeRouter &) = delete;
    HomeRouter &operator=(const HomeRouter &) = delete;

    bool ok() const { return up_; }
    // Why the last command failed, with the script's output.
    const std::string &error() const { return error_; }
    const std::string &name() const { return name_; }
    // Addresses as the script printed them.
    const std::string &home() const { return home_; }
    const std::string &gateway() const { return gateway_; }
    const std::string &outside() const { return outside_; }
    const std::string &routerOutside() const { return routerOutside_; }

    NetnsScope enterHome() const { return NetnsScope(name_ + "-home"); }
    NetnsScope enterOutside() const { return NetnsScope(name_ + "-outside"); }
    NetnsScope enterRouter() const { return NetnsScope(name_ + "-router"); }

    // miniupnpd stopped and started again, its mappings gone.
    bool restartDaemon();
    // miniupnpd stopped dead (SIGSTOP): it still holds its sockets but answers nothing.
    bool freezeDaemon();
    // "tcp 8080 192.168.77.2:8080", one a mapping, from the router's nftables rules.
    std::vector<std::string> mappings() const;

private:
    // Runs the script with these arguments in the test's first namespace; its output.
    bool script(const std::vector<std::string> &args, std::string *out) const;

    std::string name_;
    UniqueFd original_;  // the namespace the test started in
    bool up_ = false;
    std::string error_;
    std::string home_, gateway_, outside_, routerOutside_;
};

}  // namespace morlanex::testing
