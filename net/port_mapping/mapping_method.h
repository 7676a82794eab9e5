// Internal header file.
//
// MappingMethod: one way of asking the gateway for port mappings (PCP, NAT-PMP, UPnP-IGD).
// Each keeps what it mapped (a PCP nonce, a granted port) so that it can renew and remove
// exactly that, and nothing else. The port mapper runs one method at a time on its worker
// thread; a method's calls block, each no longer than its deadline (a UPnP SOAP call can
// overrun it by miniupnpc's own socket time-outs).
//
// Threads: a method belongs to the worker thread that calls it.
#pragma once

#include "net/port_mapping/mapping_report.h"

#include <netinet/in.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace morlanex::portmap {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
using LogLine = std::function<void(const std::string &)>;

struct MethodContext {
    in_addr gateway{};
    in_addr inside{};  // our own address: every mapping points here and nowhere else
    int cancelFd = -1;  // readable once stop() was asked: waits end early (-1: never cancelled)
    LogLine log;
};

// What one round of mapping or renewing brought.
struct Round {
    bool answered = false;  // the method's service exists at the gateway
    bool noServer = false;  // not answered, and nothing at all listens on the service's port
    bool restarted = false;  // the gateway showed it lost its state since the last round
    std::optional<in_addr> outsideAddress;
    std::vector<PortResult> ports;  // one for each requested port, in order
    std::string error;  // what the service said when it answered without mapping
};

class MappingMethod {
public:
    virtual ~MappingMethod() = default;
    virtual Method method() const = 0;
    // Maps every port (or renews what it mapped before), each asked for the same number
    // outside as inside, or the number granted before.
    virtual Round map(const std::vector<PortRequest> &ports, std::chrono::seconds lease, Deadline deadline) = 0;
    // Removes every mapping this method made.
    virtual void unmapAll(Deadline deadline) = 0;
};

// "TCP 8080 (stream)"
std::string describe(const PortRequest &port);

enum class Wait { Readable, TimedOut, Cancelled };
// Waits until `fd` is readable, `until` passes or `cancelFd` (when >= 0) becomes readable.
Wait waitReadable(int fd, int cancelFd, Clock::time_point until);

}  // namespace morlanex::portmap
