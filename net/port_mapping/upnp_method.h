// Internal header file.
//
// UpnpMethod: port mappings by UPnP-IGD (WANIPConnection's AddPortMapping) through miniupnpc.
//
// Why miniupnpc and not gupnp-igd: miniupnpc is a plain synchronous C API that runs on our own
// worker thread, with no GLib main loop to host and no GObject signals to marshal back; it is
// what Transmission, qBittorrent (libtorrent) and Bitcoin Core used. Its SOAP calls block, each
// bounded by its own 3 s socket time-outs; the port mapper lives with that (see PortMapper::stop).
//
// Only an IGD at the gateway is used: discovery answers from other addresses on the LAN, and a
// description whose control URL points elsewhere, are skipped. The minissdpd cache is not asked
// (it may hold another network's devices). After a router restart the IGD's HTTP port changes:
// a call that cannot reach the known one discovers the IGD again and retries once.
//
// Threads: see MappingMethod.
#pragma once

#include "net/port_mapping/mapping_method.h"

#include <miniupnpc/miniupnpc.h>

#include <map>
#include <utility>

namespace morlanex::portmap {

class UpnpMethod : public MappingMethod {
public:
    explicit UpnpMethod(MethodContext context) : context_(std::move(context)) {}
    ~UpnpMethod() override;
    Method method() const override { return Method::Upnp; }
    Round map(const std::vector<PortRequest> &ports, std::chrono::seconds lease, Deadline deadline) override;
    void unmapAll(Deadline deadline) override;

private:
    bool discover();
    void forget();
    // AddPortMapping for one port; the granted outside port, or 0 with `*error` set.
    uint16_t add(const PortRequest &port, uint16_t outsidePort, std::chrono::seconds lease, int *code);

    MethodContext context_;
    bool found_ = false;
    UPNPUrls urls_{};
    IGDdatas data_{};
    bool permanentOnly_ = false;  // the IGD refused leases (error 725): mappings are made without one
    std::map<std::pair<Protocol, uint16_t>, std::pair<PortRequest, uint16_t>> granted_;  // port, outside port
};

}  // namespace morlanex::portmap
