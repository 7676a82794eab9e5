#include "directory_link/udp_endpoint.h"

#include "net/ipv4.h"
#include "net/socket.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace morlanex {

// What the listener, the posted tasks and the owner share. The fds are not
// here on purpose: a stale task may keep the gate alive after deactivation,
// and must not keep the port bound.
struct UdpEndpoint::Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;  // guarded by mutex
    ReadHandler handler;  // guarded by mutex
    Post post;  // fixed at activation

    bool isStopping() {
        std::lock_guard lock(mutex);
        return stopping;
    }

    void runHandler(const Datagram &datagram) {
        ReadHandler current;
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
            current = handler;
        }
        if (!current) return;
        try {
            current(datagram);
        } catch (...) {
            // A failing handler loses its datagram, nothing more.
        }
    }

    // Runs the handler on the post()ed thread and waits for it, or for a stop.
    void handOver(std::shared_ptr<Gate> self, Datagram datagram) {
        auto done = std::make_shared<bool>(false);  // guarded by mutex
        try {
            post([self, done, datagram = std::move(datagram)] {
                self->runHandler(datagram);
                {
                    std::lock_guard lock(self->mutex);
                    *done = true;
                }
                self->changed.notify_all();
            });
        } catch (...) {
            return;
        }
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return *done || stopping; });
    }
};

UdpEndpoint::UdpEndpoint(Post post) : post_(std::move(post)) {}

UdpEndpoint::~UdpEndpoint() { deactivate(); }

void UdpEndpoint::setReadHandler(ReadHandler handler) {
    handler_ = std::move(handler);
    if (gate_) {
        std::lock_guard lock(gate_->mutex);
        gate_->handler = handler_;
    }
}

void UdpEndpoint::activate() {
    if (isActive()) return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(defaultPort_);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!bindAddress_.empty()) {
        auto parsed = parseDottedQuad(bindAddress_);
        if (!parsed) throw EndpointError::fromErrno(EADDRNOTAVAIL);
        local.sin_addr = *parsed;
    }

    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) throw EndpointError::cannotAllocate();
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        const int error = errno;
        throw error == EADDRINUSE ? EndpointError::addressInUse() : EndpointError::fromErrno(error);
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake || ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&bound), &length) != 0)
        throw EndpointError::fromErrno(errno);

    // Held from here until deactivate().
    socket_ = fd.release();
    wake_ = wake.release();
    boundPort_ = ntohs(bound.sin_port);
    gate_ = std::make_shared<Gate>();
    gate_->handler = handler_;
    gate_->post = post_;
    listener_ = std::thread(&UdpEndpoint::listen, gate_, socket_, wake_);
}

void UdpEndpoint::deactivate() {
    if (!isActive()) return;
    {
        std::lock_guard lock(gate_->mutex);
        gate_->stopping = true;
    }
    gate_->changed.notify_all();
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake_, &one, sizeof one);

    if (listener_.get_id() == std::this_thread::get_id())
        listener_.detach();  // called from our own handler: the loop ends when it returns
    else if (listener_.joinable())
        listener_.join();

    UniqueFd(std::exchange(socket_, -1)).reset();
    UniqueFd(std::exchange(wake_, -1)).reset();
    boundPort_ = 0;
    gate_.reset();
}

std::uint16_t UdpEndpoint::localPort() {
    activate();
    return boundPort_;
}

void UdpEndpoint::sendBuffer(std::string_view host, int port, std::span<const std::uint8_t> bytes) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = resolveHost(host);
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    activate();
    const ssize_t sent = ::sendto(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr *>(&peer), sizeof peer);
    if (sent < 0) {
        if (errno == EMSGSIZE) throw EndpointError::packageTooBig();
        throw EndpointError::fromErrno(errno);
    }
    if (static_cast<std::size_t>(sent) != bytes.size()) throw EndpointError::notAllSent();
}

void UdpEndpoint::listen(std::shared_ptr<Gate> gate, int socket, int wake) {
    std::vector<std::uint8_t> buffer(BufferSizeBytes);
    while (!gate->isStopping()) {
        pollfd fds[2] = {{socket, POLLIN, 0}, {wake, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(PollInterval.count()));
        if (ready <= 0 || gate->isStopping()) continue;
        if (!(fds[0].revents & (POLLIN | POLLERR))) continue;

        sockaddr_in from{};
        socklen_t length = sizeof from;
        // MSG_TRUNC reports the real size, so an oversized datagram is seen
        // and dropped rather than delivered cut.
        const ssize_t size = ::recvfrom(socket, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                        reinterpret_cast<sockaddr *>(&from), &length);
        if (size < 0 || static_cast<std::size_t>(size) > buffer.size()) continue;

        Datagram datagram;
        datagram.peerAddress = dottedQuad(from.sin_addr);
        datagram.peerPort = ntohs(from.sin_port);
        datagram.bytes.assign(buffer.begin(), buffer.begin() + size);
        if (gate->post)
            gate->handOver(gate, std::move(datagram));
        else
            gate->runHandler(datagram);
    }
}

}  // namespace morlanex
