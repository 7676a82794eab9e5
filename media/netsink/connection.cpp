#include "media/netsink/connection.h"

#include "media/netsink/mmsh_framing.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <sys/uio.h>

namespace morlanex {
namespace {

// Bounded so one viewer cannot monopolise a loop pass: 32 packets per call.
constexpr size_t kMaxIov = 64;
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;

// Sends the vectors once; Done only means "some or all bytes went".
IoResult sendVectors(int fd, iovec *iov, size_t count) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    for (;;) {
        const ssize_t n = ::sendmsg(fd, &msg, kSendFlags);
        if (n >= 0) return {IoStatus::Done, size_t(n)};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::Blocked, 0};
        return {IoStatus::Closed, 0};
    }
}

const std::vector<uint8_t> &answerHeader(const Connection &c) {
    return c.framed ? c.header->framed : c.header->raw;
}

}  // namespace

IoResult writeAnswer(Connection &c) {
    size_t total = 0;
    const size_t headerBytes = c.answerWithHeader ? answerHeader(c).size() : 0;
    while (c.sent < c.head.size() + headerBytes) {
        iovec iov[2];
        size_t n = 0;
        if (c.sent < c.head.size()) iov[n++] = {c.head.data() + c.sent, c.head.size() - c.sent};
        if (headerBytes) {
            const size_t at = c.sent > c.head.size() ? c.sent - c.head.size() : 0;
            iov[n++] = {const_cast<uint8_t *>(answerHeader(c).data()) + at, headerBytes - at};
        }
        const IoResult r = sendVectors(c.fd.get(), iov, n);
        if (r.status != IoStatus::Done) return {r.status, total};
        c.sent += r.bytes;
        total += r.bytes;
    }
    c.head.clear();
    c.head.shrink_to_fit();
    return {IoStatus::Done, total};
}

IoResult writeStream(Connection &c, const StreamBuffer &buffer, uint64_t endSeq) {
    const size_t packetBytes = c.header->info.packetSize;
    const size_t prefixBytes = c.framed ? kMmshPrefixBytes : 0;
    const size_t unit = prefixBytes + packetBytes;
    size_t total = 0;
    endSeq = std::min(endSeq, buffer.nextSeq());
    while (c.seq < endSeq) {
        iovec iov[kMaxIov];
        std::array<uint8_t, kMmshPrefixBytes> prefixes[kMaxIov / 2];
        size_t n = 0, k = 0, off = c.offset;
        for (uint64_t s = c.seq; s < endSeq && n + 2 <= kMaxIov; ++s, off = 0) {
            const PacketBytes *p = buffer.packet(s);
            if (!p) return {IoStatus::Closed, total};  // left the window: the caller drops it
            if (prefixBytes) {
                auto &pre = prefixes[k++];
                pre = mmshDataPrefix(uint32_t(s), uint8_t(s - c.firstSeq), packetBytes);
                if (off < prefixBytes) iov[n++] = {pre.data() + off, prefixBytes - off};
            }
            const size_t at = off > prefixBytes ? off - prefixBytes : 0;
            iov[n++] = {const_cast<uint8_t *>((*p)->data()) + at, packetBytes - at};
        }
        const IoResult r = sendVectors(c.fd.get(), iov, n);
        if (r.status != IoStatus::Done) return {r.status, total};
        total += r.bytes;
        c.offset += r.bytes;
        c.seq += c.offset / unit;
        c.offset %= unit;
        if (r.bytes == 0) return {IoStatus::Blocked, total};
    }
    return {IoStatus::Done, total};
}

IoResult writeTrailer(Connection &c) {
    size_t total = 0;
    while (c.trailerSent < c.trailer.size()) {
        iovec iov{c.trailer.data() + c.trailerSent, c.trailer.size() - c.trailerSent};
        const IoResult r = sendVectors(c.fd.get(), &iov, 1);
        if (r.status != IoStatus::Done) return {r.status, total};
        c.trailerSent = uint8_t(c.trailerSent + r.bytes);
        total += r.bytes;
    }
    return {IoStatus::Done, total};
}

}  // namespace morlanex
