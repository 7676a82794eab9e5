// Internal header file.
//
// Socket plumbing shared by every server here: the listening socket, accepting, peer names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include <netinet/in.h>

#include "net/unique_fd.h"

namespace morlanex {

// A non-blocking IPv4 TCP listener with SO_REUSEADDR, so a restart can bind at once.
// Empty with `*error` set ("cannot listen on 0.0.0.0:80: Address already in use").
UniqueFd openListener(const std::string &address, uint16_t port, std::string *error);
uint16_t boundPort(int fd);

// A descriptor held in reserve for accept() when the process is out of them, so a server can
// still take the pending connection and refuse it, or its listener would report it forever.
UniqueFd openSpareFd();

// One accept4() on a non-blocking listener (the connection non-blocking and close-on-exec).
struct Accepted {
    enum class Kind { Connection, Refused, None };
    Kind kind = Kind::None;  // None: nothing pending now (or an error the next readiness retries)
    UniqueFd fd;
    sockaddr_in peer{};
};
// Out of descriptors, the spare is given up to accept the pending connection, `refuse` is
// handed it (to answer it where a byte can still be written), it is closed and the spare is
// taken again: Kind::Refused.
Accepted acceptConnection(int listener, UniqueFd *spare, const std::function<void(int fd)> &refuse);

std::string peerName(const sockaddr_in &peer);

}  // namespace morlanex
