#include "directory_server/server_loop.h"

#include "net/ipv4.h"
#include "net/socket_error.h"
#include "directory_link/udp_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace morlanex {
namespace {

// "no answer within 5 s" (or 0.5 s).
std::string noAnswerWithin(DirectoryRules::Duration timeout) {
    std::ostringstream text;
    text << "no answer within " << std::chrono::duration<double>(timeout).count() << " s";
    return text.str();
}

UniqueFd openSocket(in_addr address, std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) throw EndpointError::cannotAllocate();
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        const int error = errno;
        throw error == EADDRINUSE ? EndpointError::addressInUse() : EndpointError::fromErrno(error);
    }
    return fd;
}

}  // namespace

ServerLoop::ServerLoop(DirectoryServer &server, Log log)
    : server_(server), log_(std::move(log)), buffer_(UdpEndpoint::BufferSizeBytes) {
    reactor_ = Reactor::create(nullptr);
    if (!reactor_) throw EndpointError::fromErrno(errno);
}

ServerLoop::~ServerLoop() = default;

void ServerLoop::bind(const std::string &address, std::uint16_t firstPort, std::uint16_t secondPort) {
    const auto parsed = parseDottedQuad(address);
    if (!parsed) throw EndpointError::fromErrno(EADDRNOTAVAIL);
    first_ = openSocket(*parsed, firstPort);
    second_ = openSocket(*parsed, secondPort);
}

void ServerLoop::run(int stopFd) {
    for (const DirectoryPort at : {DirectoryPort::First, DirectoryPort::Second}) {
        reactor_->watch(socketOf(at), EPOLLIN, [this, at](std::uint32_t) {
            // A batch per wake-up, so a busy port does not starve the other or the checks.
            for (int batch = 0; batch < 64 && receive(at); ++batch) {}
        });
    }
    reactor_->watch(stopFd, EPOLLIN, [this](std::uint32_t) { reactor_->quit(); });
    reactor_->beforeWait([this] { beforeWait(); });
    if (!reactor_->run()) log_(std::string("epoll failed: ") + std::strerror(errno));
    reactor_->unwatch(stopFd);
}

void ServerLoop::beforeWait() {
    startChecks();
    const auto next = server_.nextWakeup();
    if (!reactor_->reschedule(wakeup_, next))
        wakeup_ = reactor_->at(next, [] {});  // the work is startChecks' in the next pass
}

void ServerLoop::startChecks() {
    for (const LivenessCheck &check : server_.dueChecks()) {
        connectTo(check.target, [this, id = check.id](bool answered, const std::string &error) {
            for (const Outgoing &out : server_.checkDone(id, answered, error)) send(out);
        });
    }
}

void ServerLoop::probe(const Peer &target, ProbeDone done) { connectTo(target, std::move(done)); }

void ServerLoop::connectTo(const Peer &target, ProbeDone done) {
    ++checksMade_;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(target.port);
    const auto address = parseDottedQuad(target.address);
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket || !address) {
        ++checksFailed_;
        done(false, std::string("cannot try: ") + std::strerror(address ? errno : EINVAL));
        return;
    }
    const int fd = socket.get();
    // A reset, not a FIN, ends the probe: no TIME_WAIT pile-up here, nothing to read there.
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    to.sin_addr = *address;
    const int result = ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    int error = errno;
    const auto timeout = server_.rules().checkTimeout;
    RunningCheck &running = checks_[fd];
    running = {std::move(done), std::move(socket),
               reactor_->after(timeout, [this, fd, timeout] { finishCheck(fd, false, noAnswerWithin(timeout)); }),
               std::chrono::steady_clock::now()};
    if (result == 0) return finishCheck(fd, true, {});
    if (error == EINPROGRESS && reactor_->watch(fd, EPOLLOUT, [this, fd](std::uint32_t) {
            int soError = 0;
            socklen_t length = sizeof soError;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
            finishCheck(fd, soError == 0, soError ? std::strerror(soError) : "");
        }))
        return;
    if (error == EINPROGRESS) error = errno;  // the watch failed
    finishCheck(fd, false, std::strerror(error));
}

void ServerLoop::finishCheck(int fd, bool answered, const std::string &error) {
    const auto it = checks_.find(fd);
    if (it == checks_.end()) return;
    const ProbeDone done = std::move(it->second.done);
    checkSeconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - it->second.started).count();
    ++(answered ? checksAnswered_ : checksFailed_);
    reactor_->cancel(it->second.deadline);
    reactor_->unwatch(fd);
    checks_.erase(it);  // closes the socket
    done(answered, error);
}

bool ServerLoop::receive(DirectoryPort at) {
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
    if (size < 0) return errno != EAGAIN && errno != EWOULDBLOCK;  // a stray ICMP error: read on
    ++datagrams_;

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
        in.bytes = {};  // reported as a wrong size, never read past the buffer
    for (const Outgoing &out : server_.handle(in)) send(out);
    return true;
}

bool sendRecordFrom(int fd, const Peer &to, const std::string &fromAddress, std::span<const std::uint8_t> bytes) {
    const auto address = parseDottedQuad(to.address);
    if (!address) {
        errno = EINVAL;
        return false;
    }
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(to.port);
    destination.sin_addr = *address;
    iovec data{const_cast<std::uint8_t *>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr header{};
    header.msg_name = &destination;
    header.msg_namelen = sizeof destination;
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    if (const auto source = parseDottedQuad(fromAddress)) {
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
    return ::sendmsg(fd, &header, MSG_NOSIGNAL) >= 0;
}

void ServerLoop::send(const Outgoing &out) {
    if (!sendRecordFrom(socketOf(out.via), out.to, out.fromAddress, out.message.span()))
        log_(out.to.address + ":" + std::to_string(out.to.port) + " send failed: " + std::strerror(errno));
}

}  // namespace morlanex
