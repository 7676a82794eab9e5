// Public header.
//
// UdpEndpoint: one non-blocking IPv4 UDP socket, read on its owner's event loop; the node's
// IdCAMUDPServer1 and IdUDPServer1 are two of these.
//
// Activation binds the socket (port 0 lets the system choose) and tells the owner's watch
// the descriptor; the owner watches it for reading on its event loop (a QSocketNotifier in the
// application, the reactor in tests) and calls readReady() while it is readable. readReady()
// receives what waits, at most MaxDatagramsPerReady per call so that a flood cannot hold the
// loop (a level-triggered watch calls again), each into an 8192-byte buffer (a bigger
// datagram is dropped; the next still arrives), and hands each to the read handler, one at a
// time. An exception from the handler is discarded; reading goes on.
//
// Deactivation (also the destructor) tells the watch before the socket closes, so the owner
// stops watching a descriptor that is about to go. A handler may deactivate its own endpoint:
// reading ends with it.
//
// Threads: none of its own; everything on the owner's thread (the one its loop runs on).
// The endpoint owns its socket; the watch only borrows the descriptor.
//
// Example:
//   UdpEndpoint cam([&](int fd, bool open) { open ? watchForReading(fd, [&] { cam.readReady(); })
//                                                 : stopWatching(fd); });
//   cam.setReadHandler([&](const Datagram &d) { onCamDatagram(d); });
//   cam.activate();                                     // may throw EndpointError
//   cam.sendBuffer(serverAddress, 20, message.span());  // may throw EndpointError
#pragma once

#include "net/socket_error.h"
#include "net/unique_fd.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morlanex {

struct Datagram {
    std::string peerAddress;  // dotted IPv4 of the sender
    std::uint16_t peerPort = 0;
    std::vector<std::uint8_t> bytes;
};

class UdpEndpoint {
public:
    using ReadHandler = std::function<void(const Datagram &)>;
    // Told (fd, true) once the socket is bound and (fd, false) before it closes.
    using Watch = std::function<void(int fd, bool open)>;

    static constexpr std::size_t BufferSizeBytes = 8192;
    static constexpr int MaxDatagramsPerReady = 64;

    // Without a watch nothing is read (an endpoint that only sends).
    explicit UdpEndpoint(Watch watch = {});
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint &) = delete;
    UdpEndpoint &operator=(const UdpEndpoint &) = delete;

    // Before activation: the local address ("" = all) and port (0 = any).
    void setBindAddress(std::string address) { bindAddress_ = std::move(address); }
    void setDefaultPort(std::uint16_t port) { defaultPort_ = port; }

    // May be changed at any time, from a handler too; takes effect for the next datagram.
    void setReadHandler(ReadHandler handler) { handler_ = std::move(handler); }

    // Throws EndpointError: "Cannot allocate socket.", "Could not bind
    // socket. Address and port are already in use." or a socket error.
    void activate();
    void deactivate();
    bool isActive() const { return bool(socket_); }
    // The socket's descriptor, -1 while inactive.
    int fd() const { return socket_.get(); }

    // The bound port; activates the endpoint first when it is inactive.
    std::uint16_t localPort();

    // Receives and hands over what waits (see above); nothing while inactive.
    void readReady();

    // One datagram from this endpoint's port, at once (a full socket buffer is an error, never
    // a wait); activates first when inactive. Throws EndpointError ("Package Size Too Big.",
    // "Not all bytes sent.", socket errors).
    void sendBuffer(std::string_view host, int port, std::span<const std::uint8_t> bytes);

private:
    Watch watch_;
    std::string bindAddress_;
    std::uint16_t defaultPort_ = 0;
    ReadHandler handler_;
    UniqueFd socket_;
    std::uint16_t boundPort_ = 0;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace morlanex
