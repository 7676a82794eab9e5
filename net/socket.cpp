#include "net/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace morlanex {

UniqueFd openListener(const std::string &address, uint16_t port, std::string *error) {
    const std::string where = address + ":" + std::to_string(port);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        if (error) *error = "cannot listen on " + where + ": not an IPv4 address";
        return {};
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int one = 1;
    if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 ||
        ::listen(fd.get(), SOMAXCONN) != 0) {
        if (error) *error = "cannot listen on " + where + ": " + std::strerror(errno);
        return {};
    }
    return fd;
}

uint16_t boundPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

UniqueFd openSpareFd() { return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

Accepted acceptConnection(int listener, UniqueFd *spare, const std::function<void(int fd)> &refuse) {
    Accepted a;
    for (;;) {
        socklen_t len = sizeof a.peer;
        a.fd = UniqueFd(::accept4(listener, reinterpret_cast<sockaddr *>(&a.peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (a.fd) {
            a.kind = Accepted::Kind::Connection;
            return a;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if ((errno != EMFILE && errno != ENFILE) || !*spare) return a;
        spare->reset();
        UniqueFd refused(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (refused) refuse(refused.get());
        refused.reset();
        *spare = openSpareFd();
        a.kind = Accepted::Kind::Refused;
        return a;
    }
}

std::string peerName(const sockaddr_in &peer) {
    char ip[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port));
}

}  // namespace morlanex
