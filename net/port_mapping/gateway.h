// Internal header file.
//
// Where to ask: the default route's gateway as the calling thread's network namespace sees it,
// our own address towards it, and whether an address can be reached from the internet at all.
//
// Threads: any; no state. The answers are those of the calling thread's network namespace.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>

namespace morlanex::portmap {

// The gateway of the IPv4 default route with the lowest metric; empty with `*error` set
// ("no default route") when there is none.
std::optional<in_addr> defaultGateway(std::string *error);

// The source address the kernel picks towards `gateway`: our address on its interface.
std::optional<in_addr> insideAddressTowards(in_addr gateway, std::string *error);

// RFC 1918 private (10/8, 172.16/12, 192.168/16), shared (100.64/10, RFC 6598), loopback,
// link-local or unspecified: an outside address like this means a second NAT lies beyond.
bool isPrivateOrShared(in_addr address);

}  // namespace morlanex::portmap
