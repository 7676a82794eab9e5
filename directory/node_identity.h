// Public header.
//
// Node identity: the values the node settles once at start-up.
//   NBGetAdapterAddress(n): the hardware address of the n-th non-loopback
//     network interface (by interface index) that has a 6-byte hardware
//     address, as 12 uppercase hex digits ("000A1BC2FF01"); empty when none.
//   localIPv4Address(): the host's IPv4 address in dotted decimal from its
//     host name; "0.0.0.0" when the host has no name, empty when the name
//     cannot be turned into an address.
// The pure parts (formatting, interface choice, name -> address) are exposed
// for tests.
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
    unsigned index = 0;                 // interface index
    bool loopback = false;
    std::vector<std::uint8_t> hardware; // link-layer address bytes
};

// Two uppercase hex digits per byte, in byte order, no separators.
std::string hexHardwareAddress(std::span<const std::uint8_t> bytes);

// The n-th candidate (non-loopback, 6-byte address) in index order, formatted;
// empty when there are not that many.
std::string chooseAdapterAddress(std::vector<InterfaceAddress> interfaces, int adapter);

// The system's interfaces with their link-layer addresses (getifaddrs, AF_PACKET).
std::vector<InterfaceAddress> systemInterfaces();

std::string NBGetAdapterAddress(int adapter);

// The address for a given host name: "" -> "0.0.0.0"; a name starting with a
// digit must parse as a dotted IPv4 address (it is then the result) or the
// result is empty; any other name is looked up (IPv4, first answer).
std::string localIPv4AddressFor(std::string_view hostName);

std::string localIPv4Address();

} // namespace morlanex
