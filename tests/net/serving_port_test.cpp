// The serving port's reservation: it holds the TCP port against others, yet lets the sink listen.
#include "net/serving_port.h"
#include "net/socket.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

using morlanex::UniqueFd;

// A TCP socket on 0.0.0.0:port; listening when asked. Empty when the bind or listen fails.
UniqueFd tcpSocket(std::uint16_t port, bool reuse, bool listening) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (reuse) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || (listening && ::listen(fd.get(), 4) != 0))
        return {};
    return fd;
}

std::uint16_t freePort() { return morlanex::boundPort(tcpSocket(0, false, false).get()); }

TEST(ServingPort, HeldAgainstOthersButOpenToTheSink) {
    const std::uint16_t port = freePort();
    ServingPortReservation reservation;
    ASSERT_TRUE(reservation.reserve(port));
    EXPECT_FALSE(tcpSocket(port, false, false)) << "a plain bind must find the port taken";
    EXPECT_TRUE(tcpSocket(port, true, true)) << "the sink binds with SO_REUSEADDR and listens";
    reservation.release();
    EXPECT_TRUE(tcpSocket(port, false, true)) << "released, the port is free again";
}

TEST(ServingPort, RefusedWhenSomeoneListensThere) {
    const std::uint16_t port = freePort();
    UniqueFd other = tcpSocket(port, false, true);
    ASSERT_TRUE(other);
    ServingPortReservation reservation;
    EXPECT_FALSE(reservation.reserve(port));
    EXPECT_FALSE(reservation.held());
    other.reset();
    EXPECT_TRUE(reservation.reserve(port));
}

}  // namespace
