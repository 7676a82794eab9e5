#include "net/udp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

namespace morlanex {

UniqueFd openUdpSocket(const std::string &address, uint16_t port, std::string *error) {
    const auto fail = [&](const char *what) {
        if (error)
            *error = std::string(what) + " UDP " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return UniqueFd();
    };
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        errno = EINVAL;
        return fail("cannot bind");
    }
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return fail("cannot open");
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) return fail("cannot bind");
    return fd;
}

DatagramBatch::DatagramBatch(int fd, size_t slots, size_t slotBytes)
    : fd_(fd), slotBytes_(slotBytes), bytes_(slots * slotBytes), iov_(slots), to_(slots), messages_(slots) {}

std::span<uint8_t> DatagramBatch::slot() {
    if (used_ == messages_.size()) flush();
    return {bytes_.data() + used_ * slotBytes_, slotBytes_};
}

void DatagramBatch::commit(size_t size, const sockaddr_in &to) {
    iov_[used_] = {bytes_.data() + used_ * slotBytes_, size};
    to_[used_] = to;
    messages_[used_] = {};
    messages_[used_].msg_hdr.msg_iov = &iov_[used_];
    messages_[used_].msg_hdr.msg_iovlen = 1;
    messages_[used_].msg_hdr.msg_name = &to_[used_];
    messages_[used_].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    ++used_;
}

size_t DatagramBatch::flush() {
    size_t bytes = 0, done = 0;
    while (done < used_) {
        const int n = ::sendmmsg(fd_, messages_.data() + done, unsigned(used_ - done), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) break;  // no room: dropped
        if (n <= 0) {
            ++done;  // this one was refused (a bad address): go on with the rest
            continue;
        }
        for (int i = 0; i < n; ++i) bytes += messages_[done + size_t(i)].msg_len;
        done += size_t(n);
    }
    used_ = 0;
    return bytes;
}

}  // namespace morlanex
