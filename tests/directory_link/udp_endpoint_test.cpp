// The endpoint layer over real loopback sockets, read on a reactor as the owner's loop, or by
// calling readReady() where a test needs no loop (loopback delivers before sendto returns).
#include "directory_link/udp_endpoint.h"
#include "net/reactor.h"
#include "net/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

using namespace morlanex;
using namespace std::chrono_literals;

namespace {

constexpr auto Patience = 5s;  // a hang guard, not a speed target

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

void rawSend(std::uint16_t port, const std::vector<std::uint8_t> &bytes) {
    const UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_TRUE(fd);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const ssize_t sent =
        ::sendto(fd.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    ASSERT_EQ(sent, static_cast<ssize_t>(bytes.size())) << errno;
}

// An endpoint whose handler keeps what it is given.
struct Receiver {
    explicit Receiver(UdpEndpoint::Watch watch = {}) : endpoint(std::move(watch)) {
        endpoint.setReadHandler([this](const Datagram &d) { got.push_back(d); });
    }
    UdpEndpoint endpoint;
    std::vector<Datagram> got;
};

// Runs the reactor until `done` holds (checked every millisecond) or the patience ends.
bool runUntil(Reactor &reactor, const std::function<bool()> &done) {
    const Reactor::TimerId poll = reactor.every(1ms, [&] {
        if (done()) reactor.quit();
    });
    const Reactor::TimerId guard = reactor.after(Patience, [&] { reactor.quit(); });
    reactor.run();
    reactor.cancel(poll);
    reactor.cancel(guard);
    return done();
}

}  // namespace

TEST(UdpEndpoint, ActivationBindsASystemChosenPortAndShowsItsDescriptorToTheWatch) {
    std::vector<std::pair<int, bool>> told;
    UdpEndpoint a([&](int fd, bool open) { told.emplace_back(fd, open); }), b;
    EXPECT_FALSE(a.isActive());
    EXPECT_EQ(a.fd(), -1);
    a.activate();
    EXPECT_TRUE(a.isActive());
    const int fd = a.fd();
    EXPECT_GE(fd, 0);
    EXPECT_NE(a.localPort(), 0);
    EXPECT_NE(a.localPort(), b.localPort());  // reading the port activates b
    EXPECT_TRUE(b.isActive());
    a.deactivate();
    EXPECT_FALSE(a.isActive());
    EXPECT_EQ(told, (std::vector<std::pair<int, bool>>{{fd, true}, {fd, false}}));
}

TEST(UdpEndpoint, DeliversBytesWithTheSendersAddressAndPortOnTheOwnersLoop) {
    const auto reactor = Reactor::create(nullptr);
    ASSERT_TRUE(reactor);
    Receiver receiver([&](int fd, bool open) {
        if (open)
            reactor->watch(fd, EPOLLIN, [&](std::uint32_t) { receiver.endpoint.readReady(); });
        else
            reactor->unwatch(fd);
    });
    UdpEndpoint sender;
    sender.sendBuffer("LocalHost", receiver.endpoint.localPort(), bytesOf("hello"));
    sender.sendBuffer("127.0.0.1", receiver.endpoint.localPort(), bytesOf("again"));

    ASSERT_TRUE(runUntil(*reactor, [&] { return receiver.got.size() == 2; }));
    EXPECT_EQ(receiver.got[0].bytes, bytesOf("hello"));
    EXPECT_EQ(receiver.got[0].peerAddress, "127.0.0.1");
    EXPECT_EQ(receiver.got[0].peerPort, sender.localPort());
    EXPECT_EQ(receiver.got[1].bytes, bytesOf("again"));
    receiver.endpoint.deactivate();  // unwatched before the reactor goes
}

TEST(UdpEndpoint, OversizedDatagramIsDroppedAndTheNextArrives) {
    Receiver receiver;
    rawSend(receiver.endpoint.localPort(), std::vector<std::uint8_t>(9000, 'x'));
    rawSend(receiver.endpoint.localPort(), std::vector<std::uint8_t>(8192, 'y'));
    receiver.endpoint.readReady();
    ASSERT_EQ(receiver.got.size(), 1u);
    EXPECT_EQ(receiver.got[0].bytes.size(), 8192u);
    EXPECT_EQ(receiver.got[0].bytes.front(), 'y');
}

TEST(UdpEndpoint, AThrowingHandlerLosesItsDatagramOnly) {
    Receiver receiver;
    receiver.endpoint.setReadHandler([&](const Datagram &d) {
        receiver.got.push_back(d);
        throw std::runtime_error("handler failed");
    });
    UdpEndpoint sender;
    sender.sendBuffer("127.0.0.1", receiver.endpoint.localPort(), bytesOf("one"));
    sender.sendBuffer("127.0.0.1", receiver.endpoint.localPort(), bytesOf("two"));
    receiver.endpoint.readReady();
    ASSERT_EQ(receiver.got.size(), 2u);
    EXPECT_EQ(receiver.got[1].bytes, bytesOf("two"));
}

TEST(UdpEndpoint, AFloodIsReadABatchAtATimeAndNothingWaitingIsLost) {
    Receiver receiver;
    UdpEndpoint sender;
    constexpr std::size_t Flood = 150;  // fits the socket's receive buffer
    for (std::size_t i = 0; i < Flood; ++i)
        sender.sendBuffer("127.0.0.1", receiver.endpoint.localPort(),
                          std::vector<std::uint8_t>{static_cast<std::uint8_t>(i)});
    receiver.endpoint.readReady();
    EXPECT_EQ(receiver.got.size(), static_cast<std::size_t>(UdpEndpoint::MaxDatagramsPerReady))
        << "the loop gets its turn between batches";
    while (receiver.got.size() < Flood) {
        const std::size_t before = receiver.got.size();
        receiver.endpoint.readReady();
        ASSERT_GT(receiver.got.size(), before) << "a datagram was lost";
    }
    for (std::size_t i = 0; i < Flood; ++i) EXPECT_EQ(receiver.got[i].bytes.at(0), static_cast<std::uint8_t>(i));
}

TEST(UdpEndpoint, DeactivationFreesThePort) {
    UdpEndpoint first;
    const std::uint16_t port = first.localPort();
    first.deactivate();

    Receiver second;
    second.endpoint.setDefaultPort(port);
    second.endpoint.setBindAddress("127.0.0.1");
    ASSERT_NO_THROW(second.endpoint.activate());
    EXPECT_EQ(second.endpoint.localPort(), port);
    rawSend(port, bytesOf("after"));
    second.endpoint.readReady();
    EXPECT_EQ(second.got.size(), 1u);
}

TEST(UdpEndpoint, AHandlerMayDeactivateItsOwnEndpoint) {
    Receiver receiver;
    receiver.endpoint.setReadHandler([&](const Datagram &d) {
        receiver.endpoint.deactivate();
        receiver.got.push_back(d);
    });
    UdpEndpoint sender;
    sender.sendBuffer("127.0.0.1", receiver.endpoint.localPort(), bytesOf("bye"));
    sender.sendBuffer("127.0.0.1", receiver.endpoint.localPort(), bytesOf("unread"));
    receiver.endpoint.readReady();
    EXPECT_EQ(receiver.got.size(), 1u) << "reading ends with the socket";
    EXPECT_FALSE(receiver.endpoint.isActive());
    EXPECT_NO_THROW(receiver.endpoint.activate());  // and it can start again
}

TEST(UdpEndpointErrors, BindingAUsedPortReportsAddressInUse) {
    UdpEndpoint first;
    first.setBindAddress("127.0.0.1");
    first.activate();
    UdpEndpoint second;
    second.setBindAddress("127.0.0.1");
    second.setDefaultPort(first.localPort());
    try {
        second.activate();
        FAIL() << "bound a port in use";
    } catch (const EndpointError &e) {
        EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
        EXPECT_EQ(e.kind(), EndpointError::Kind::AddressInUse);
    }
    EXPECT_FALSE(second.isActive());
}

TEST(UdpEndpointErrors, DatagramTooBigForUdp) {
    UdpEndpoint sender;
    try {
        sender.sendBuffer("127.0.0.1", 9, std::vector<std::uint8_t>(70000, 0));
        FAIL() << "sent 70000 bytes in one datagram";
    } catch (const EndpointError &e) {
        EXPECT_STREQ(e.what(), "Package Size Too Big.");
    }
}

TEST(UdpEndpointErrors, SocketErrorTextsUseTheWinsockCodes) {
    EXPECT_STREQ(EndpointError::fromErrno(EADDRINUSE).what(), "Socket Error # 10048\r\nAddress already in use.");
    EXPECT_STREQ(EndpointError::fromErrno(ENETUNREACH).what(), "Socket Error # 10051\r\nNetwork is unreachable.");
    EXPECT_STREQ(EndpointError::fromErrno(EWOULDBLOCK).what(), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_STREQ(EndpointError::fromErrno(ENOTEMPTY).what(), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_STREQ(EndpointError::socket(11001).what(), "Socket Error # 11001\r\n");
    EXPECT_STREQ(EndpointError::notAllSent().what(), "Not all bytes sent.");
    EXPECT_STREQ(EndpointError::cannotAllocate().what(), "Cannot allocate socket.");
}

TEST(UdpEndpointErrors, SendToABroadcastAddressIsRefused) {
    // Broadcast is off, so the kernel refuses before anything leaves the host.
    UdpEndpoint sender;
    try {
        sender.sendBuffer("255.255.255.255", 9, bytesOf("x"));
        FAIL() << "broadcast sent with the option off";
    } catch (const EndpointError &e) {
        EXPECT_STREQ(e.what(), "Socket Error # 10013\r\nAccess denied.");
    }
}
