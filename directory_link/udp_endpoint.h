// Public header.
//
// UdpEndpoint: one IPv4 UDP socket with a listener thread; the node's
// IdCAMUDPServer1 and IdUDPServer1 are two of these.
//
// Activation binds the socket (port 0 lets the system choose) and starts the
// listener. The listener waits at most 1000 ms per poll, receives each
// datagram into an 8192-byte buffer (a bigger one is dropped; the next still
// arrives) and hands it to the read handler:
//   - with a post function, the handler runs wherever post() runs the task
//     (the application passes one that queues onto its UI thread) and the
//     listener BLOCKS until the handler has returned, so at most one datagram
//     per endpoint is being handled at a time;
//   - without one, the handler runs on the listener thread.
// An exception from the handler is discarded; the listener goes on.
//
// Deactivation (owner thread; also the destructor) returns only after the
// listener has ended, at once in practice and within ~1000 ms at worst. It
// cannot deadlock: a listener blocked on a hand-off is released, and a task
// that post() runs later does nothing. The socket is closed after the
// listener has ended.
//
// Threads: activate/deactivate/sendBuffer/localPort on the owner thread;
// sending and receiving on one socket at once is fine. The socket and wake fds
// are owned by the endpoint; the listener only borrows them.
//
// Example:
//   UdpEndpoint cam([](UdpEndpoint::Task t) { queueOnUiThread(std::move(t)); });
//   cam.setReadHandler([&](const Datagram &d) { onCamDatagram(d); });
//   cam.activate();                                     // may throw EndpointError
//   cam.sendBuffer(serverAddress, 20, message.span());  // may throw EndpointError
#pragma once

#include "net/socket_error.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace morlanex {

struct Datagram {
    std::string peerAddress;  // dotted IPv4 of the sender
    std::uint16_t peerPort = 0;
    std::vector<std::uint8_t> bytes;
};

class UdpEndpoint {
public:
    using Task = std::function<void()>;
    using Post = std::function<void(Task)>;
    using ReadHandler = std::function<void(const Datagram &)>;

    static constexpr std::size_t BufferSizeBytes = 8192;
    static constexpr std::chrono::milliseconds PollInterval{1000};

    explicit UdpEndpoint(Post post = {});
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint &) = delete;
    UdpEndpoint &operator=(const UdpEndpoint &) = delete;

    // Before activation: the local address ("" = all) and port (0 = any).
    void setBindAddress(std::string address) { bindAddress_ = std::move(address); }
    void setDefaultPort(std::uint16_t port) { defaultPort_ = port; }

    // May be changed at any time; takes effect for the next datagram.
    void setReadHandler(ReadHandler handler);

    // Throws EndpointError: "Cannot allocate socket.", "Could not bind
    // socket. Address and port are already in use." or a socket error.
    void activate();
    void deactivate();
    bool isActive() const { return socket_ >= 0; }

    // The bound port; activates the endpoint first when it is inactive.
    std::uint16_t localPort();

    // One datagram from this endpoint's port, synchronously; activates first
    // when inactive. Throws EndpointError ("Package Size Too Big.", "Not all
    // bytes sent.", socket errors).
    void sendBuffer(std::string_view host, int port, std::span<const std::uint8_t> bytes);

private:
    struct Gate;
    static void listen(std::shared_ptr<Gate> gate, int socket, int wake);

    Post post_;
    std::string bindAddress_;
    std::uint16_t defaultPort_ = 0;
    ReadHandler handler_;  // owner thread's copy; the gate holds the live one
    int socket_ = -1;  // owned
    int wake_ = -1;  // owned eventfd that ends the listener's poll
    std::uint16_t boundPort_ = 0;
    std::shared_ptr<Gate> gate_;  // shared with the listener and posted tasks
    std::thread listener_;
};

}  // namespace morlanex
