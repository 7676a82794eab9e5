#include "net/port_mapping/gateway.h"

#include "net/port_mapping/pcp_message.h"
#include "net/unique_fd.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace morlanex::portmap {

namespace {

constexpr unsigned kRouteUp = 0x1;  // RTF_UP
constexpr unsigned kRouteGateway = 0x2;  // RTF_GATEWAY

}  // namespace

std::optional<in_addr> defaultGateway(std::string *error) {
    // thread-self: a thread moved into another network namespace sees that namespace's routes.
    std::ifstream routes("/proc/thread-self/net/route");
    if (!routes) {
        *error = "cannot read the routing table";
        return std::nullopt;
    }
    std::string line;
    std::getline(routes, line);  // the column names
    std::optional<in_addr> best;
    unsigned long bestMetric = 0;
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string interface, destination, gateway, flags, refs, use, metric, mask;
        if (!(fields >> interface >> destination >> gateway >> flags >> refs >> use >> metric >> mask)) continue;
        const unsigned long flagBits = std::strtoul(flags.c_str(), nullptr, 16);
        if (destination != "00000000" || mask != "00000000" ||
            (flagBits & (kRouteUp | kRouteGateway)) != (kRouteUp | kRouteGateway))
            continue;
        const unsigned long metricValue = std::strtoul(metric.c_str(), nullptr, 10);
        if (best && metricValue >= bestMetric) continue;
        // The kernel prints the address as it lies in memory, in network byte order.
        in_addr address{};
        address.s_addr = in_addr_t(std::strtoul(gateway.c_str(), nullptr, 16));
        best = address;
        bestMetric = metricValue;
    }
    if (!best) *error = "no default route";
    return best;
}

std::optional<in_addr> insideAddressTowards(in_addr gateway, std::string *error) {
    // Connecting a UDP socket sends nothing; it only chooses the route and source address.
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = gateway;
    to.sin_port = htons(kPcpServerPort);
    sockaddr_in self{};
    socklen_t length = sizeof self;
    if (!probe || ::connect(probe.get(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 ||
        ::getsockname(probe.get(), reinterpret_cast<sockaddr *>(&self), &length) != 0) {
        *error = std::string("no route to the gateway: ") + std::strerror(errno);
        return std::nullopt;
    }
    return self.sin_addr;
}

bool isPrivateOrShared(in_addr address) {
    const uint32_t a = ntohl(address.s_addr);
    auto in = [a](uint32_t network, int bits) { return (a >> (32 - bits)) == (network >> (32 - bits)); };
    return a == 0 || in(0x0A000000, 8) || in(0xAC100000, 12) || in(0xC0A80000, 16) || in(0x64400000, 10) ||
        in(0x7F000000, 8) || in(0xA9FE0000, 16);
}

}  // namespace morlanex::portmap
