// The endpoint layer over real loopback sockets.
#include "directory_link/udp_endpoint.h"
#include "net/socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

using namespace morlanex;
using namespace std::chrono_literals;

namespace {

constexpr auto Patience = 5s;  // a hang guard, not a speed target

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

// Datagrams seen by a handler, waited for from the test thread.
class Inbox {
public:
    void add(const Datagram &datagram) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(datagram);
        }
        changed_.notify_all();
    }
    std::optional<Datagram> next(std::chrono::milliseconds wait = Patience) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, wait, [&] { return !items_.empty(); })) return std::nullopt;
        Datagram d = items_.front();
        items_.pop_front();
        return d;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Datagram> items_;
};

// A post function whose tasks the test thread runs when it chooses.
class ManualQueue {
public:
    UdpEndpoint::Post poster() {
        return [this](UdpEndpoint::Task task) {
            {
                std::lock_guard lock(mutex_);
                tasks_.push_back(std::move(task));
                mostWaiting_ = std::max(mostWaiting_, tasks_.size());
            }
            changed_.notify_all();
        };
    }
    bool waitForTasks(std::size_t count, std::chrono::milliseconds wait = Patience) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, wait, [&] { return tasks_.size() >= count; });
    }
    // The longest the queue has been.
    std::size_t mostWaiting() {
        std::lock_guard lock(mutex_);
        return mostWaiting_;
    }
    std::size_t size() {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }
    void runOne() {
        UdpEndpoint::Task task;
        {
            std::lock_guard lock(mutex_);
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<UdpEndpoint::Task> tasks_;
    std::size_t mostWaiting_ = 0;
};

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

}  // namespace

TEST(UdpEndpoint, ActivationBindsASystemChosenPort) {
    UdpEndpoint a, b;
    EXPECT_FALSE(a.isActive());
    a.activate();
    EXPECT_TRUE(a.isActive());
    EXPECT_NE(a.localPort(), 0);
    EXPECT_NE(a.localPort(), b.localPort());  // reading the port activates b
    EXPECT_TRUE(b.isActive());
    a.deactivate();
    EXPECT_FALSE(a.isActive());
}

TEST(UdpEndpoint, DeliversBytesWithTheSendersAddressAndPort) {
    Inbox inbox;
    UdpEndpoint receiver, sender;
    receiver.setReadHandler([&](const Datagram &d) { inbox.add(d); });
    receiver.activate();
    sender.sendBuffer("LocalHost", receiver.localPort(), bytesOf("hello"));

    auto got = inbox.next();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, bytesOf("hello"));
    EXPECT_EQ(got->peerAddress, "127.0.0.1");
    EXPECT_EQ(got->peerPort, sender.localPort());
}

TEST(UdpEndpoint, OversizedDatagramIsDroppedAndTheNextArrives) {
    Inbox inbox;
    UdpEndpoint receiver;
    receiver.setReadHandler([&](const Datagram &d) { inbox.add(d); });
    rawSend(receiver.localPort(), std::vector<std::uint8_t>(9000, 'x'));
    rawSend(receiver.localPort(), std::vector<std::uint8_t>(8192, 'y'));

    auto got = inbox.next();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes.size(), 8192u);
    EXPECT_EQ(got->bytes.front(), 'y');
    EXPECT_FALSE(inbox.next(200ms));
}

TEST(UdpEndpoint, ThrowingHandlerDoesNotStopTheListener) {
    Inbox inbox;
    UdpEndpoint receiver, sender;
    receiver.setReadHandler([&](const Datagram &d) {
        inbox.add(d);
        throw std::runtime_error("handler failed");
    });
    sender.sendBuffer("127.0.0.1", receiver.localPort(), bytesOf("one"));
    ASSERT_TRUE(inbox.next());
    sender.sendBuffer("127.0.0.1", receiver.localPort(), bytesOf("two"));
    auto second = inbox.next();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->bytes, bytesOf("two"));
}

TEST(UdpEndpoint, PostedHandlerRunsOnTheOwnerWhileTheListenerWaits) {
    ManualQueue queue;
    Inbox inbox;
    std::thread::id handlerThread;
    UdpEndpoint receiver(queue.poster());
    UdpEndpoint sender;
    receiver.setReadHandler([&](const Datagram &d) {
        handlerThread = std::this_thread::get_id();
        inbox.add(d);
    });
    sender.sendBuffer("127.0.0.1", receiver.localPort(), bytesOf("first"));
    sender.sendBuffer("127.0.0.1", receiver.localPort(), bytesOf("second"));

    ASSERT_TRUE(queue.waitForTasks(1));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(queue.size(), 1u);  // the listener is blocked on the first hand-off
    EXPECT_FALSE(inbox.next(0ms));

    queue.runOne();
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
    EXPECT_EQ(inbox.next(0ms)->bytes, bytesOf("first"));

    ASSERT_TRUE(queue.waitForTasks(1));  // released, it hands over the second
    queue.runOne();
    EXPECT_EQ(inbox.next(0ms)->bytes, bytesOf("second"));
}

TEST(UdpEndpoint, AFloodOfJunkKeepsOneHandOffInFlight) {
    // A slow owner thread under a flood: the listener hands over one datagram and waits, so
    // nothing piles up between the threads; the rest waits in (or overflows) the socket.
    ManualQueue queue;
    std::size_t delivered = 0;
    UdpEndpoint receiver(queue.poster());
    receiver.setReadHandler([&](const Datagram &) { ++delivered; });
    const std::uint16_t port = receiver.localPort();
    constexpr int Flood = 3000;
    std::thread flood([port] {
        UdpEndpoint sender;
        for (int i = 0; i < Flood; ++i) {
            const std::vector<std::uint8_t> junk(static_cast<std::size_t>(1 + (i * 37) % 1400),
                                                 static_cast<std::uint8_t>(i));
            sender.sendBuffer("127.0.0.1", port, junk);
        }
    });
    const bool handedOver = queue.waitForTasks(1);
    while (queue.waitForTasks(1, 1s)) {
        std::this_thread::sleep_for(100us);  // the owner is busy; the flood goes on meanwhile
        queue.runOne();
    }
    flood.join();
    ASSERT_TRUE(handedOver);
    EXPECT_EQ(queue.mostWaiting(), 1u);
    EXPECT_GE(delivered, 20u) << "the flood was handed over one datagram at a time: " << delivered;
    EXPECT_LE(delivered, static_cast<std::size_t>(Flood));
}

TEST(UdpEndpoint, DeactivationReleasesAPendingHandOffAndTheLateTaskDoesNothing) {
    ManualQueue queue;
    int calls = 0;
    auto receiver = std::make_unique<UdpEndpoint>(queue.poster());
    receiver->setReadHandler([&](const Datagram &) { ++calls; });
    UdpEndpoint sender;
    sender.sendBuffer("127.0.0.1", receiver->localPort(), bytesOf("pending"));
    ASSERT_TRUE(queue.waitForTasks(1));

    auto done = std::async(std::launch::async, [&] { receiver.reset(); });
    ASSERT_EQ(done.wait_for(Patience), std::future_status::ready) << "deactivation deadlocked";

    queue.runOne();  // the owner's loop gets to the task after all
    EXPECT_EQ(calls, 0);
}

TEST(UdpEndpoint, DeactivationEndsTheListenerAndFreesThePort) {
    Inbox inbox;
    UdpEndpoint first;
    first.setReadHandler([&](const Datagram &d) { inbox.add(d); });
    const std::uint16_t port = first.localPort();
    first.deactivate();

    UdpEndpoint second;
    second.setDefaultPort(port);
    second.setBindAddress("127.0.0.1");
    Inbox secondInbox;
    second.setReadHandler([&](const Datagram &d) { secondInbox.add(d); });
    ASSERT_NO_THROW(second.activate());
    EXPECT_EQ(second.localPort(), port);
    rawSend(port, bytesOf("after"));
    EXPECT_TRUE(secondInbox.next());
    EXPECT_FALSE(inbox.next(100ms));
}

TEST(UdpEndpoint, HandlerMayDeactivateItsOwnEndpoint) {
    Inbox inbox;
    UdpEndpoint receiver, sender;
    receiver.setReadHandler([&](const Datagram &d) {
        receiver.deactivate();
        inbox.add(d);
    });
    sender.sendBuffer("127.0.0.1", receiver.localPort(), bytesOf("bye"));
    ASSERT_TRUE(inbox.next());
    EXPECT_FALSE(receiver.isActive());
    EXPECT_NO_THROW(receiver.activate());  // and it can start again
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
