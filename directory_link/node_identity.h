// Public header.
//
// Node identity: the values the node settles once at start-up.
//   NBGetAdapterAddress(n): the hardware address of the n-th non-loopback
//     network interface (by interface index) that has a 6-byte hardware
//     address, as 12 uppercase hex digits ("000A1BC2FF01"); empty when none.
//   localIPv4Address(): the host's IPv4 address in dotted decimal from its
//     host name; "0.0.0.0" when the host has no name, empty when the name
//     cannot be turned into an address. A name that leads only to loopback
//     addresses (Debian-family systems map the host name to 127.0.1.1) would
//     send LAN viewers to themselves, so the address of the interface that
//     carries the default route is used instead, or else that of the first
//     non-loopback interface that is up.
// The pure parts (formatting, interface choice, name -> address) are exposed
// for tests; the system's view of names, interfaces and routes comes through
// HostNetwork so that tests can supply their own.
//
// Threads: any; the functions keep no state. Host-name lookup may block for
// the resolver's time-out.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morlanex {

struct InterfaceAddress {
    unsigned index = 0;  // interface index
    bool loopback = false;
    std::vector<std::uint8_t> hardware;  // link-layer address bytes
};

// Two uppercase hex digits per byte, in byte order, no separators.
std::string hexHardwareAddress(std::span<const std::uint8_t> bytes);

// The n-th candidate (non-loopback, 6-byte address) in index order, formatted;
// empty when there are not that many.
std::string chooseAdapterAddress(std::vector<InterfaceAddress> interfaces, int adapter);

// The system's interfaces with their link-layer addresses (getifaddrs, AF_PACKET).
std::vector<InterfaceAddress> systemInterfaces();

std::string NBGetAdapterAddress(int adapter);

// One IPv4 address of a network interface.
struct InterfaceIPv4 {
    std::string interfaceName;
    std::string address;  // dotted decimal
    bool loopback = false;
    bool up = false;
};

// What the local address choice asks of the system.
class HostNetwork {
public:
    virtual ~HostNetwork() = default;
    // The host's own name; empty when the system has none.
    virtual std::string hostName() const = 0;
    // The IPv4 answers for a name in the resolver's order; empty when the lookup fails.
    virtual std::vector<std::string> lookUp(const std::string &name) const = 0;
    // Every interface's IPv4 addresses in the system's order.
    virtual std::vector<InterfaceIPv4> interfaces() const = 0;
    // The name of the interface that carries the IPv4 default route; empty when none.
    virtual std::string defaultRouteInterface() const = 0;
};

// The system's own: gethostname, getaddrinfo, getifaddrs and /proc/net/route.
class SystemHostNetwork final : public HostNetwork {
public:
    std::string hostName() const override;
    std::vector<std::string> lookUp(const std::string &name) const override;
    std::vector<InterfaceIPv4> interfaces() const override;
    std::string defaultRouteInterface() const override;
};

// The interface of the default route in the text of /proc/net/route: an up
// route with destination and mask 0, the lowest metric winning; empty when none.
std::string defaultRouteInterfaceIn(std::string_view procNetRoute);

// True for 127.0.0.0/8.
bool isLoopbackIPv4(std::string_view dotted);

// The address for the host's name: "" -> "0.0.0.0"; a name starting with a
// digit must parse as a dotted IPv4 address (it is then the result) or the
// result is empty; any other name is looked up (IPv4, first non-loopback
// answer; empty when the lookup fails). A loopback result is replaced by the
// address of the default route's interface, else by that of the first
// non-loopback interface that is up; with neither it stays.
std::string localIPv4Address(const HostNetwork &network);

std::string localIPv4Address();

}  // namespace morlanex
