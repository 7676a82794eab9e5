#include "directory_link/udp_endpoint.h"

#include "net/ipv4.h"
#include "net/socket.h"
#include "net/udp_socket.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

namespace morlanex {

UdpEndpoint::UdpEndpoint(Watch watch) : watch_(std::move(watch)), buffer_(BufferSizeBytes) {}

UdpEndpoint::~UdpEndpoint() { deactivate(); }

void UdpEndpoint::activate() {
    if (isActive()) return;
    if (!bindAddress_.empty() && !parseDottedQuad(bindAddress_)) throw EndpointError::fromErrno(EADDRNOTAVAIL);
    UdpSocketFailure failure;
    UniqueFd fd = openUdpSocket(bindAddress_.empty() ? "0.0.0.0" : bindAddress_, defaultPort_, nullptr, &failure);
    if (!fd) {
        if (failure.opening) throw EndpointError::cannotAllocate();
        throw failure.code == EADDRINUSE ? EndpointError::addressInUse() : EndpointError::fromErrno(failure.code);
    }
    socket_ = std::move(fd);
    boundPort_ = boundPort(socket_.get());
    if (watch_) watch_(socket_.get(), true);
}

void UdpEndpoint::deactivate() {
    if (!isActive()) return;
    if (watch_) watch_(socket_.get(), false);
    socket_.reset();
    boundPort_ = 0;
}

std::uint16_t UdpEndpoint::localPort() {
    activate();
    return boundPort_;
}

void UdpEndpoint::readReady() {
    for (int read = 0; read < MaxDatagramsPerReady && isActive(); ++read) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        // MSG_TRUNC reports the real size, so an oversized datagram is seen and dropped rather
        // than delivered cut.
        const ssize_t size = ::recvfrom(socket_.get(), buffer_.data(), buffer_.size(), MSG_TRUNC,
                                        reinterpret_cast<sockaddr *>(&from), &length);
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (size < 0 || static_cast<std::size_t>(size) > buffer_.size()) continue;  // an ICMP error: read on

        Datagram datagram;
        datagram.peerAddress = dottedQuad(from.sin_addr);
        datagram.peerPort = ntohs(from.sin_port);
        datagram.bytes.assign(buffer_.begin(), buffer_.begin() + size);
        // A copy runs: the handler may replace itself.
        if (const ReadHandler handler = handler_) {
            try {
                handler(datagram);
            } catch (...) {
                // A failing handler loses its datagram, nothing more.
            }
        }
    }
}

void UdpEndpoint::sendBuffer(std::string_view host, int port, std::span<const std::uint8_t> bytes) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = resolveHost(host);
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    activate();
    const ssize_t sent = ::sendto(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr *>(&peer), sizeof peer);
    if (sent < 0) {
        if (errno == EMSGSIZE) throw EndpointError::packageTooBig();
        throw EndpointError::fromErrno(errno);
    }
    if (static_cast<std::size_t>(sent) != bytes.size()) throw EndpointError::notAllSent();
}

}  // namespace morlanex
