// Public header.
//
// What the port mapper asks the home router for and what it got: the ports to map, the
// method that answered, and the report after each attempt or renewal.
//
// Threads: plain value types.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace morlanex::portmap {

enum class Protocol { Tcp, Udp };
const char *toString(Protocol protocol);  // "TCP", "UDP"

// The ways of asking, in the order they are tried.
enum class Method { None, Pcp, NatPmp, Upnp };
const char *toString(Method method);  // "PCP", "NAT-PMP", "UPnP", "none"

// One port a viewer or the directory must reach from outside.
struct PortRequest {
    Protocol protocol = Protocol::Tcp;
    uint16_t insidePort = 0;
    std::string purpose;  // a short text the router shows ("stream")
};

struct PortResult {
    PortRequest request;
    uint16_t outsidePort = 0;  // what the router granted (0: not mapped); may differ from the inside port
    std::chrono::seconds lifetime{0};  // as granted
    std::string error;  // why not, when not mapped
    bool mapped() const { return outsidePort != 0; }
};

enum class Outcome {
    AllMapped,
    SomeMapped,
    NoService,  // no PCP, NAT-PMP or UPnP answered at the gateway
    Refused,  // a service answered but mapped nothing (see MappingReport::error and each port's error)
    SecondNat,  // the router's outside address is private or shared: no mapping on it helps
};
const char *toString(Outcome outcome);  // "all mapped", "some mapped", ...

struct MappingReport {
    Outcome outcome = Outcome::NoService;
    Method method = Method::None;
    std::string outsideAddress;  // the router's, dotted quad; empty when unknown
    std::vector<PortResult> ports;  // in the configured order
    std::string error;  // for NoService, Refused and SecondNat: what to tell the user
};

}  // namespace morlanex::portmap
