#include "directory_link/node_identity.h"

#include "net/ipv4.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

namespace morlanex {

std::string hexHardwareAddress(std::span<const std::uint8_t> bytes) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes) {
        text.push_back(Digits[byte >> 4]);
        text.push_back(Digits[byte & 0x0F]);
    }
    return text;
}

std::string chooseAdapterAddress(std::vector<InterfaceAddress> interfaces, int adapter) {
    std::erase_if(interfaces,
                  [](const InterfaceAddress &entry) { return entry.loopback || entry.hardware.size() != 6; });
    std::sort(interfaces.begin(), interfaces.end(),
              [](const InterfaceAddress &a, const InterfaceAddress &b) { return a.index < b.index; });
    if (adapter < 0 || static_cast<std::size_t>(adapter) >= interfaces.size()) return {};
    return hexHardwareAddress(interfaces[static_cast<std::size_t>(adapter)].hardware);
}

namespace {
// Calls visit for every interface address of one family, in the system's order.
template <typename Visit>
void visitInterfaceAddresses(int family, Visit visit) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return;
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next)
        if (entry->ifa_addr && entry->ifa_addr->sa_family == family) visit(*entry);
    freeifaddrs(list);
}
}  // namespace

std::vector<InterfaceAddress> systemInterfaces() {
    std::vector<InterfaceAddress> result;
    visitInterfaceAddresses(AF_PACKET, [&](const ifaddrs &entry) {
        const auto *link = reinterpret_cast<const sockaddr_ll *>(entry.ifa_addr);
        InterfaceAddress item;
        item.index = static_cast<unsigned>(link->sll_ifindex);
        item.loopback = (entry.ifa_flags & IFF_LOOPBACK) != 0;
        const std::size_t length = std::min<std::size_t>(link->sll_halen, sizeof link->sll_addr);
        item.hardware.assign(link->sll_addr, link->sll_addr + length);
        result.push_back(std::move(item));
    });
    return result;
}

std::string NBGetAdapterAddress(int adapter) { return chooseAdapterAddress(systemInterfaces(), adapter); }

bool isLoopbackIPv4(std::string_view dotted) {
    const auto parsed = parseDottedQuad(dotted);
    return parsed && (ntohl(parsed->s_addr) >> 24) == 127;
}

std::string defaultRouteInterfaceIn(std::string_view procNetRoute) {
    // Columns: Iface Destination Gateway Flags RefCnt Use Metric Mask ...; numbers in hex.
    constexpr unsigned long RouteUp = 0x1;
    std::istringstream lines{std::string(procNetRoute)};
    std::string line;
    std::getline(lines, line);  // the heading
    std::string best;
    unsigned long bestMetric = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refCount, use, metric, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> refCount >> use >> metric >> mask)) continue;
        try {
            if (std::stoul(destination, nullptr, 16) != 0 || std::stoul(mask, nullptr, 16) != 0 ||
                !(std::stoul(flags, nullptr, 16) & RouteUp))
                continue;
            const unsigned long cost = std::stoul(metric, nullptr, 10);
            if (best.empty() || cost < bestMetric) {
                best = name;
                bestMetric = cost;
            }
        } catch (const std::exception &) {
            // A line that is not numbers is no route.
        }
    }
    return best;
}

namespace {
// The replacement for a loopback address: the default route's interface, else the first
// non-loopback interface that is up; empty when there is neither.
std::string routableInterfaceAddress(const HostNetwork &network) {
    const std::vector<InterfaceIPv4> interfaces = network.interfaces();
    const auto usable = [](const InterfaceIPv4 &entry) {
        return entry.up && !entry.loopback && !isLoopbackIPv4(entry.address);
    };
    if (const std::string routed = network.defaultRouteInterface(); !routed.empty()) {
        for (const InterfaceIPv4 &entry : interfaces)
            if (entry.interfaceName == routed && usable(entry)) return entry.address;
    }
    for (const InterfaceIPv4 &entry : interfaces)
        if (usable(entry)) return entry.address;
    return {};
}

std::string addressForName(const HostNetwork &network, const std::string &name) {
    if (name.empty()) return "0.0.0.0";
    if (name.front() >= '0' && name.front() <= '9') {
        in_addr parsed{};
        return inet_pton(AF_INET, name.c_str(), &parsed) == 1 ? name : std::string();
    }
    const std::vector<std::string> answers = network.lookUp(name);
    for (const std::string &answer : answers)
        if (!isLoopbackIPv4(answer)) return answer;
    return answers.empty() ? std::string() : answers.front();
}
}  // namespace

std::string localIPv4Address(const HostNetwork &network) {
    const std::string address = addressForName(network, network.hostName());
    if (!isLoopbackIPv4(address)) return address;
    const std::string routable = routableInterfaceAddress(network);
    return routable.empty() ? address : routable;
}

std::string SystemHostNetwork::hostName() const {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::vector<std::string> SystemHostNetwork::lookUp(const std::string &name) const {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *answer = nullptr;
    std::vector<std::string> result;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &answer) != 0) return result;
    for (const addrinfo *entry = answer; entry; entry = entry->ai_next)
        result.push_back(dottedQuad(reinterpret_cast<const sockaddr_in *>(entry->ai_addr)->sin_addr));
    freeaddrinfo(answer);
    return result;
}

std::vector<InterfaceIPv4> SystemHostNetwork::interfaces() const {
    std::vector<InterfaceIPv4> result;
    visitInterfaceAddresses(AF_INET, [&](const ifaddrs &entry) {
        InterfaceIPv4 item;
        item.interfaceName = entry.ifa_name;
        item.address = dottedQuad(reinterpret_cast<const sockaddr_in *>(entry.ifa_addr)->sin_addr);
        item.loopback = (entry.ifa_flags & IFF_LOOPBACK) != 0;
        item.up = (entry.ifa_flags & IFF_UP) != 0 && (entry.ifa_flags & IFF_RUNNING) != 0;
        result.push_back(std::move(item));
    });
    return result;
}

std::string SystemHostNetwork::defaultRouteInterface() const {
    std::ifstream file("/proc/net/route");
    std::ostringstream text;
    text << file.rdbuf();
    return defaultRouteInterfaceIn(text.str());
}

std::string localIPv4Address() { return localIPv4Address(SystemHostNetwork()); }

}  // namespace morlanex
