// Internal header file.
//
// Socket plumbing shared by every server here: the fd owner, the listening socket, peer names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include <netinet/in.h>

namespace morlanex {

// Sole owner of one file descriptor; closes it on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1);
    // Gives the descriptor up without closing it.
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

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
