// Public header.
//
// PortMapper: while the broadcast is live, asks the home router (the default gateway) to map
// every port a viewer or the directory must reach from outside, keeps the mappings renewed,
// and removes them at stop().
//
// Per gateway it tries PCP (RFC 6887), then NAT-PMP (RFC 6886, libnatpmp), then UPnP-IGD
// (miniupnpc), and keeps the first that answers. Each port is asked for the same number
// outside as inside; the router may grant another, and the report says which. Mappings are
// renewed at a random point between 1/2 and 5/8 of the granted lifetime; a router that lost
// its state (its PCP/NAT-PMP epoch went back, or it announced a restart on 224.0.0.1:5350)
// is asked again at once, and a UPnP router that restarted gets its mappings back at the next
// renewal. When nothing was mapped it asks again after retryInterval.
//
// Only the configured ports are mapped, and only to our own inside address. Replies that are
// not the answer to our request are ignored with a log line.
//
// Threads: start() returns at once; discovery, SOAP calls and datagram exchanges run on a
// worker thread of the mapper's own, which sees the network namespace of the thread that
// called start(). Both callbacks are invoked on that worker thread, never two at once and never
// after stop() returned: post their content to your own thread, keep them short, and do not call
// stop() or the destructor from inside them. stop() removes every mapping made and joins the
// worker; it returns within about 2 s even when the router no longer answers (a worker stuck in
// a blocking UPnP call is then left to finish alone, silenced, and the router's leases end the
// mappings). The destructor stops. PortMapper is not copyable; call start()/stop() from one thread.
//
// Example:
//   PortMapper::Config config;
//   config.ports = {{Protocol::Tcp, 8080, "stream"}, {Protocol::Udp, 8080, "WebRTC"}};
//   PortMapper mapper(config, [&](const MappingReport &r) { post(r); }, [&](const std::string &l) { log(l); });
//   mapper.start();
//   ... mapper.stop();
#pragma once

#include "net/port_mapping/mapping_report.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace morlanex::portmap {

class PortMapper {
public:
    struct Config {
        std::vector<PortRequest> ports;
        std::chrono::seconds lease{
            3600};  // asked for; routers may grant less or more (miniupnpd: 120 s at least by PCP)
        std::string gateway;  // dotted quad; empty: the default route's gateway
        std::string insideAddress;  // dotted quad, must be ours; empty: our address towards the gateway
        std::vector<Method> methods{Method::Pcp, Method::NatPmp, Method::Upnp};  // tried in this order
        // How long PCP and NAT-PMP wait for a first answer; UPnP's search takes 1-2 s of its own.
        std::chrono::milliseconds discoveryTime{1500};
        std::chrono::seconds retryInterval{120};  // after a round that mapped nothing
        std::chrono::milliseconds stopTime{2000};  // stop()'s bound
    };
    using ReportCallback = std::function<void(const MappingReport &)>;
    using LogCallback = std::function<void(const std::string &)>;

    PortMapper(Config config, ReportCallback onReport, LogCallback onLog);
    ~PortMapper();
    PortMapper(const PortMapper &) = delete;
    PortMapper &operator=(const PortMapper &) = delete;

    // Starts the worker (a second start() without stop() does nothing).
    void start();
    // Removes every mapping made and ends the worker; see the bound above.
    void stop();

    struct Shared;  // the worker's state, kept alive by the worker itself

private:
    Config config_;
    ReportCallback onReport_;
    LogCallback onLog_;
    std::shared_ptr<Shared> shared_;
    std::thread worker_;
};

}  // namespace morlanex::portmap
