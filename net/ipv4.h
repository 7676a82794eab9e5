// Public header.
//
// IPv4 address texts: the strict dotted-quad parser, the formatter, and the
// host resolution of the endpoint layer ("LOCALHOST" in any letter case is
// 127.0.0.1; four dot-separated decimal parts 0..255 are used as they are;
// anything else is looked up by host name, first IPv4 answer).
//
// Threads: any; no state. resolveHost may block for the resolver's time-out.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>

namespace morlanex {

// Four parts separated by dots, each 1-3 decimal digits with a value 0..255.
std::optional<in_addr> parseDottedQuad(std::string_view text);

std::string dottedQuad(in_addr address);

// Throws EndpointError (Socket Error # 11001) when a name cannot be resolved.
in_addr resolveHost(std::string_view host);

}  // namespace morlanex
