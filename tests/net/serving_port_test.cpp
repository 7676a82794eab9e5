// The serving port's reservation: it holds the TCP port against others, yet lets the sink listen.
#include "net/serving_port.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A TCP socket on 0.0.0.0:port; listening when asked. -1 when the bind or listen fails.
int tcpSocket(std::uint16_t port, bool reuse, bool listening)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (reuse)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || (listening && ::listen(fd, 4) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t freePort()
{
    int fd = tcpSocket(0, false, false);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

TEST(ServingPort, HeldAgainstOthersButOpenToTheSink)
{
    const std::uint16_t port = freePort();
    ServingPortReservation reservation;
    ASSERT_TRUE(reservation.reserve(port));
    EXPECT_EQ(tcpSocket(port, false, false), -1) << "a plain bind must find the port taken";

    int sink = tcpSocket(port, true, true); // the sink binds with SO_REUSEADDR and listens
    ASSERT_GE(sink, 0);
    ::close(sink);

    reservation.release();
    int plain = tcpSocket(port, false, true);
    EXPECT_GE(plain, 0) << "released, the port is free again";
    ::close(plain);
}

TEST(ServingPort, RefusedWhenSomeoneListensThere)
{
    const std::uint16_t port = freePort();
    int other = tcpSocket(port, false, true);
    ASSERT_GE(other, 0);
    ServingPortReservation reservation;
    EXPECT_FALSE(reservation.reserve(port));
    EXPECT_FALSE(reservation.held());
    ::close(other);
    EXPECT_TRUE(reservation.reserve(port));
}

} // namespace
