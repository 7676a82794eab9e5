#include "media/netsink/connection.h"

#include "media/netsink/mmsh_framing.h"

#include <algorithm>
#include <cerrno>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace morlanex {
namespace {

// Bounded so one viewer cannot monopolise a loop pass: 32 packets per call.
constexpr size_t kMaxIov = 64;
constexpr int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;

const StreamRequest kNoRequest{};

}  // namespace

Connection::Connection(UniqueFd fd, const sockaddr_in &peer, uint64_t id, uint32_t generation)
    : fd_(std::move(fd)), peer_(peer), id_(id), generation_(generation), reader_(std::make_unique<PendingRequest>()) {}

std::string Connection::name() const { return peerName(peer_) + "#" + std::to_string(id_); }

RequestReader::Status Connection::readRequest(std::string_view streamPath, std::vector<uint8_t> &scratch) {
    if (!reader_) return RequestReader::Status::Complete;
    const RequestReader::Status s = reader_->reader.read(fd_.get(), scratch);
    peerClosed_ = reader_->reader.peerClosed();
    if (s == RequestReader::Status::Complete) {
        // A head that does not parse is a bad request; the rest, bodies too, classify says.
        const RequestReader::Verdict v = reader_->reader.verdict();
        const bool parsed = v != RequestReader::Verdict::Malformed && v != RequestReader::Verdict::HeadTooLarge;
        reader_->classified = parsed ? classifyRequest(reader_->reader.request(), streamPath) : StreamRequest{};
    }
    return s;
}

const StreamRequest &Connection::request() const { return reader_ ? reader_->classified : kNoRequest; }

// Sends the vectors once; Done only means "some or all bytes went".
IoResult Connection::send(iovec *iov, size_t count) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    for (;;) {
        const ssize_t n = ::sendmsg(fd_.get(), &msg, kSendFlags);
        if (n >= 0) return {IoStatus::Done, size_t(n)};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            blocked_ = true;
            return {IoStatus::Blocked, 0};
        }
        return {IoStatus::Closed, 0};
    }
}

void Connection::enter(Phase phase) {
    phase_ = phase;
    phaseStarted_ = std::chrono::steady_clock::now();
}

void Connection::beginAnswer(std::string head, std::shared_ptr<const StreamHeader> header, bool framed,
                             bool thenStream) {
    reader_.reset();
    head_ = std::move(head);
    header_ = std::move(header);
    framed_ = framed;
    streamAfterAnswer_ = thenStream;
    sent_ = 0;
    enter(Phase::Answer);
}

IoResult Connection::writeAnswer() {
    size_t total = 0;
    const std::vector<uint8_t> *header = header_ ? (framed_ ? &header_->framed : &header_->raw) : nullptr;
    const size_t headerBytes = header ? header->size() : 0;
    while (sent_ < head_.size() + headerBytes) {
        iovec iov[2];
        size_t n = 0;
        if (sent_ < head_.size()) iov[n++] = {head_.data() + sent_, head_.size() - sent_};
        if (headerBytes) {
            const size_t at = sent_ > head_.size() ? sent_ - head_.size() : 0;
            iov[n++] = {const_cast<uint8_t *>(header->data()) + at, headerBytes - at};
        }
        const IoResult r = send(iov, n);
        if (r.status != IoStatus::Done) return {r.status, total};
        sent_ += r.bytes;
        total += r.bytes;
    }
    std::string().swap(head_);
    header_.reset();
    return {IoStatus::Done, total};
}

void Connection::beginStream(ViewerPosition position) {
    position_ = std::move(position);
    enter(Phase::Stream);
}

IoResult Connection::writePackets(const StreamBuffer &buffer, uint64_t endSeq) {
    ViewerPosition &p = position_;
    heldAtLimit_ = false;
    const size_t prefixBytes = framed_ ? kMmshPrefixBytes : 0;
    size_t total = 0;
    endSeq = std::min(endSeq, buffer.nextSeq());
    // Packets of another rendition are stepped over; a packet begun is always finished.
    const auto skipOthers = [&] {
        while (p.seq < endSeq && p.offset == 0 && buffer.packet(p.seq) && !viewerTakes(p, buffer, p.seq)) ++p.seq;
    };
    skipOthers();
    while (p.seq < endSeq) {
        // Under a limit, no more than its room: one write may otherwise go past the socket's
        // low mark by a whole segment. Too little room waits for the next pass.
        size_t room = SIZE_MAX;
        if (unsentLimit_) {
            int unsent = 0;
            if (::ioctl(fd_.get(), SIOCOUTQNSD, &unsent) != 0 || unsent < 0) unsent = 0;
            if (size_t(unsent) + unsentLimit_ / 4 > unsentLimit_) {
                // The kernel sees room under its mark, so no EPOLLOUT comes: the next pass writes.
                heldAtLimit_ = true;
                return {IoStatus::Blocked, total};
            }
            room = unsentLimit_ - size_t(unsent);
        }
        iovec iov[kMaxIov];
        std::array<uint8_t, kMmshPrefixBytes> prefixes[kMaxIov / 2];
        size_t n = 0, k = 0, off = p.offset;
        for (uint64_t s = p.seq; s < endSeq && n + 2 <= kMaxIov; ++s) {
            const PacketBytes *packet = buffer.packet(s);
            if (!packet) return {IoStatus::Closed, total};  // left the window: the caller drops it
            if (s != p.seq && !viewerTakes(p, buffer, s)) continue;
            const size_t packetBytes = (*packet)->size();
            if (prefixBytes) {
                // Framed clients count the packets they get, whatever was stepped over.
                const uint32_t number = p.packetsWritten + uint32_t(k);
                auto &pre = prefixes[k++];
                pre = mmshDataPrefix(uint32_t(p.firstSeq) + number, uint8_t(number), packetBytes);
                if (off < prefixBytes) iov[n++] = {pre.data() + off, prefixBytes - off};
            }
            const size_t at = off > prefixBytes ? off - prefixBytes : 0;
            iov[n++] = {const_cast<uint8_t *>((*packet)->data()) + at, packetBytes - at};
            off = 0;
        }
        for (size_t i = 0, sum = 0; i < n; sum += iov[i++].iov_len)
            if (sum + iov[i].iov_len >= room) {
                iov[i].iov_len = room - sum;
                n = i + 1;
                break;
            }
        const IoResult r = send(iov, n);
        if (r.status != IoStatus::Done) return {r.status, total};
        total += r.bytes;
        p.offset += r.bytes;
        p.control.writtenBytes += uint32_t(r.bytes);
        // Packets of other formats differ in size: step over each one written in full.
        // Packets stepped over in the batch took none of the bytes.
        while (p.seq < endSeq) {
            if (!viewerTakes(p, buffer, p.seq)) {
                ++p.seq;
                continue;
            }
            const size_t unit = prefixBytes + (*buffer.packet(p.seq))->size();
            if (p.offset < unit) break;
            p.offset -= unit;
            ++p.seq;
            ++p.packetsWritten;
        }
        if (r.bytes == 0) {
            blocked_ = true;
            return {IoStatus::Blocked, total};
        }
    }
    return {IoStatus::Done, total};
}

size_t Connection::queuedBytes() const {
    int queued = 0;
    if (::ioctl(fd_.get(), SIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return size_t(queued);
}

void Connection::limitUnsent(size_t bytes, int usualSendBuffer) {
    const uint32_t want = uint32_t(std::min<size_t>(bytes, INT32_MAX / 2));
    const uint32_t had = unsentLimit_;
    // Changes of less than a quarter are not worth the system calls.
    if (want == had || (want && had && want > had - had / 4 && want < had + had / 4)) return;
    const int lowat = int(want);  // 0: the system's default, no limit
    if (::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof lowat) != 0) return;
    unsentLimit_ = want;
    // One write may go past the low mark by a whole segment of up to 64 KiB; a send buffer a
    // little over the limit keeps that small too.
    if (usualSendBuffer <= 0) return;
    const int buffer = want ? std::min(usualSendBuffer, int(want) + kUnsentSlackBytes) : usualSendBuffer;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
}

void Connection::beginTrailer(const std::array<uint8_t, 8> &trailer) {
    trailer_ = trailer;
    sent_ = 0;
    enter(Phase::Trailer);
}

IoResult Connection::writeTrailer() {
    size_t total = 0;
    while (sent_ < trailer_.size()) {
        iovec iov{trailer_.data() + sent_, trailer_.size() - sent_};
        const IoResult r = send(&iov, 1);
        if (r.status != IoStatus::Done) return {r.status, total};
        sent_ += r.bytes;
        total += r.bytes;
    }
    return {IoStatus::Done, total};
}

void Connection::beginLinger() {
    reader_.reset();
    position_ = ViewerPosition{};
    ::shutdown(fd_.get(), SHUT_WR);
    enter(Phase::Linger);
}

bool Connection::drainInput(std::vector<uint8_t> &scratch) {
    for (;;) {
        const ssize_t n = ::recv(fd_.get(), scratch.data(), scratch.size(), MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) peerClosed_ = true;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

bool Connection::readWhileStreaming(std::vector<uint8_t> &scratch) {
    if (peerClosed_) return true;
    // A viewer that shut its sending side may still be reading: keep streaming. A peer that
    // is really gone shows itself on the next write.
    return drainInput(scratch) || peerClosed_;
}

void Connection::resetOnClose() {
    const linger l{1, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void Connection::sendNow(const std::string &bytes) {
    [[maybe_unused]] const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), kSendFlags);
}

}  // namespace morlanex
