#include "server/server_loop.h"

#include "directory/ipv4.h"
#include "directory/socket_error.h"
#include "directory/udp_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace morlanex {
namespace {

int openSocket(in_addr address, std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        throw EndpointError::cannotAllocate();
    const int on = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        const int error = errno;
        ::close(fd);
        throw error == EADDRINUSE ? EndpointError::addressInUse() : EndpointError::fromErrno(error);
    }
    return fd;
}

} // namespace

ServerLoop::ServerLoop(DirectoryServer &server, Log log)
    : server_(server), log_(std::move(log)), buffer_(UdpEndpoint::BufferSizeBytes)
{
}

ServerLoop::~ServerLoop()
{
    if (first_ >= 0)
        ::close(first_);
    if (second_ >= 0)
        ::close(second_);
}

void ServerLoop::bind(const std::string &address, std::uint16_t firstPort,
                      std::uint16_t secondPort)
{
    const auto parsed = parseDottedQuad(address);
    if (!parsed)
        throw EndpointError::fromErrno(EADDRNOTAVAIL);
    first_ = openSocket(*parsed, firstPort);
    second_ = openSocket(*parsed, secondPort);
}

void ServerLoop::run(int stopFd)
{
    for (;;) {
        pollfd fds[3] = {{first_, POLLIN, 0}, {second_, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            log_(std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[2].revents)
            return;
        if (fds[0].revents)
            receive(DirectoryPort::First);
        if (fds[1].revents)
            receive(DirectoryPort::Second);
    }
}

void ServerLoop::receive(DirectoryPort at)
{
    sockaddr_in from{};
    iovec data{buffer_.data(), buffer_.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr header{};
    header.msg_name = &from;
    header.msg_namelen = sizeof from;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t size = ::recvmsg(socketOf(at), &header, MSG_TRUNC);
    if (size < 0)
        return; // nothing there after all, or a stray ICMP error

    Incoming in;
    in.at = at;
    in.from = {dottedQuad(from.sin_addr), ntohs(from.sin_port)};
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            in.localAddress = dottedQuad(info.ipi_addr);
        }
    }
    // MSG_TRUNC gives the real size, so an oversized datagram is seen as such.
    in.bytes = std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(size));
    if (static_cast<std::size_t>(size) > buffer_.size())
        in.bytes = {}; // reported as a wrong size, never read past the buffer
    for (const Outgoing &out : server_.handle(in))
        send(out);
}

void ServerLoop::send(const Outgoing &out)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(out.to.port);
    const auto address = parseDottedQuad(out.to.address);
    if (!address)
        return;
    to.sin_addr = *address;
    iovec data{const_cast<std::uint8_t *>(out.message.bytes().data()), out.message.bytes().size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr header{};
    header.msg_name = &to;
    header.msg_namelen = sizeof to;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    if (const auto source = parseDottedQuad(out.fromAddress)) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst = *source;
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    if (::sendmsg(socketOf(out.via), &header, MSG_NOSIGNAL) < 0)
        log_(out.to.address + ":" + std::to_string(out.to.port) + " send failed: " +
             std::strerror(errno));
}

} // namespace morlanex
