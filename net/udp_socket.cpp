#include "net/udp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/udp.h>
#include <string_view>

namespace morlanex {

UniqueFd openUdpSocket(const std::string &address, uint16_t port, std::string *error, UdpSocketFailure *failure) {
    const auto fail = [&](const char *what) {
        const int code = errno;
        if (error)
            *error = std::string(what) + " UDP " + address + ":" + std::to_string(port) + ": " + std::strerror(code);
        if (failure) *failure = {std::string_view(what) == "cannot open", code};
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
    : fd_(fd), slotBytes_(slotBytes), bytes_(slots * slotBytes), iov_(slots), sizes_(slots), to_(slots),
      messages_(slots), controls_(slots) {}

std::span<uint8_t> DatagramBatch::slot() {
    if (used_ == messages_.size()) flush();
    return {bytes_.data() + used_ * slotBytes_, slotBytes_};
}

void DatagramBatch::commit(size_t size, const sockaddr_in &to) {
    iov_[used_] = {bytes_.data() + used_ * slotBytes_, size};
    sizes_[used_] = size;
    to_[used_] = to;
    ++used_;
}

namespace {

bool sameAddress(const sockaddr_in &a, const sockaddr_in &b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// The kernel's bounds on one segmented send: its segment count, and one IP datagram's payload.
constexpr size_t kMaxSegments = 64;
constexpr size_t kMaxRunBytes = 65507;

}  // namespace

size_t DatagramBatch::buildMessages(bool runs, size_t from) {
    size_t count = 0;
    for (size_t i = from; i < used_;) {
        size_t end = i + 1, total = sizes_[i];
        if (runs)
            while (end < used_ && end - i < kMaxSegments && sameAddress(to_[end], to_[i]) &&
                   sizes_[end - 1] == sizes_[i] && sizes_[end] <= sizes_[i] && sizes_[end] > 0 &&
                   total + sizes_[end] <= kMaxRunBytes)
                total += sizes_[end++];
        mmsghdr &m = messages_[count++];
        m = {};
        m.msg_hdr.msg_iov = &iov_[i];
        m.msg_hdr.msg_iovlen = end - i;
        m.msg_hdr.msg_name = &to_[i];
        m.msg_hdr.msg_namelen = sizeof(sockaddr_in);
        if (end - i > 1) {
            auto &control = controls_[count - 1];
            m.msg_hdr.msg_control = control.data();
            m.msg_hdr.msg_controllen = control.size();
            cmsghdr *c = CMSG_FIRSTHDR(&m.msg_hdr);
            c->cmsg_level = SOL_UDP;
            c->cmsg_type = UDP_SEGMENT;
            c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            const uint16_t segment = uint16_t(sizes_[i]);
            std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
        }
        i = end;
    }
    return count;
}

size_t DatagramBatch::send(size_t count, size_t &bytes) {
    size_t done = 0;
    while (done < count) {
        const int n = ::sendmmsg(fd_, messages_.data() + done, unsigned(count - done), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) break;  // no room: dropped
        if (n < 0 && messages_[done].msg_hdr.msg_controllen &&
            (errno == EIO || errno == EINVAL || errno == ENOPROTOOPT || errno == EOPNOTSUPP)) {
            // No segmentation offload here (an old kernel, or no checksum offload on the route):
            // this message's datagrams and the rest go one by one.
            segmenting_ = false;
            return size_t(messages_[done].msg_hdr.msg_iov - iov_.data());
        }
        if (n <= 0) {
            ++done;  // this one was refused (a bad address): go on with the rest
            continue;
        }
        for (int i = 0; i < n; ++i) bytes += messages_[done + size_t(i)].msg_len;
        done += size_t(n);
    }
    return used_;
}

size_t DatagramBatch::flush() {
    size_t bytes = 0;
    for (size_t from = 0; from < used_;) from = send(buildMessages(segmenting_, from), bytes);
    used_ = 0;
    return bytes;
}

}  // namespace morlanex
