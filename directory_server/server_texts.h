// Internal header of the directory daemon.
//
// The daemon's small texts: fields read strictly from a datagram, and peers and untrusted
// texts as they are printed in log lines.
//
// Threads: plain functions; callable from any thread.
#pragma once

#include "directory_link/directory_message.h"
#include "directory_server/directory_server.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morlanex {

// A text field, strictly: a length byte beyond the field's capacity is an
// error here (the server is not bound by the node's lenient reading).
std::optional<std::string> fieldText(const DirectoryMessage &msg, Field field);

// Decimal digits only, at most maxDigits of them.
std::optional<std::int64_t> decimal(std::string_view text, std::size_t maxDigits);

// Printable ASCII as it is, other bytes as \xHH.
std::string printable(std::string_view text);

// The `port` parameter of a target such as "/node/reachability?port=N": 1-65535, or 0 when
// missing or bad.
std::uint16_t portParameter(std::string_view target);

// "address:port".
std::string endpoint(const Peer &peer);

}  // namespace morlanex
