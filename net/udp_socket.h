// Internal header file.
//
// UDP plumbing: a non-blocking IPv4 datagram socket, and DatagramBatch, the datagrams of one
// pass gathered in fixed slots and sent with one sendmmsg() call.
//
// Datagrams in a row to one address, of one size (the last of the run may be smaller), go as
// one message with UDP segmentation offload (UDP_SEGMENT) where the kernel has it: the stack
// is crossed once for the run and the kernel (or the card) cuts it into the datagrams. Where
// the kernel or the route refuses it, the batch falls back to one message a datagram for good.
//
// The batch's slots are allocated once; filling and sending them allocates nothing. A full
// batch is sent before the next slot is handed out. Datagrams the socket has no room for are
// dropped, as the network would drop them: UDP senders here never wait.
//
// Threads: a batch belongs to the one thread that fills it.
//
// Example:
//   UniqueFd udp = openUdpSocket("0.0.0.0", 0, &error);
//   DatagramBatch batch(udp.get(), 64, 1500);
//   std::span<uint8_t> slot = batch.slot();
//   size_t n = fill(slot);
//   batch.commit(n, peer);
//   batch.flush();
#pragma once

#include "net/unique_fd.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

namespace morlanex {

// Which call of openUdpSocket failed, and its errno, for callers with texts of their own.
struct UdpSocketFailure {
    bool opening = false;  // socket() failed; else the address or bind()
    int code = 0;
};

// Bound to `address`:`port` (0: a port the system chooses), non-blocking, close-on-exec.
// Empty with `*error` set ("cannot bind UDP 0.0.0.0:5000: Address already in use") and, when
// given, `*failure`.
UniqueFd openUdpSocket(const std::string &address, uint16_t port, std::string *error,
                       UdpSocketFailure *failure = nullptr);

class DatagramBatch {
public:
    DatagramBatch(int fd, size_t slots, size_t slotBytes);

    // The next free slot (sending the batch first when all are taken).
    std::span<uint8_t> slot();
    // The slot handed out last holds a datagram of `size` bytes for `to`.
    void commit(size_t size, const sockaddr_in &to);
    // Sends what is gathered. Returns the bytes the kernel took.
    size_t flush();
    // Whether runs still go with segmentation offload (false once the kernel refused it).
    bool segmenting() const { return segmenting_; }

private:
    // One message for each datagram from `from` on, or for each run when `runs`; returns how many.
    size_t buildMessages(bool runs, size_t from);
    // Sends `count` messages, adding what went to `bytes`; returns the datagram to go on from
    // when the offload was refused, else used_.
    size_t send(size_t count, size_t &bytes);

    int fd_;
    size_t slotBytes_;
    std::vector<uint8_t> bytes_;
    std::vector<iovec> iov_;  // one a slot, in slot order
    std::vector<size_t> sizes_;
    std::vector<sockaddr_in> to_;
    std::vector<mmsghdr> messages_;
    // Room for one UDP_SEGMENT control message a message.
    std::vector<std::array<uint8_t, CMSG_SPACE(sizeof(uint16_t))>> controls_;
    size_t used_ = 0;
    bool segmenting_ = true;
};

}  // namespace morlanex
