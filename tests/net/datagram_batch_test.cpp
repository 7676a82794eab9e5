// The batch sender: what arrives is each datagram as committed, to its own address, in order,
// whether runs went segmented by the kernel or one by one.
#include "net/udp_socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>

namespace morlanex {
namespace {

struct Receiver {
    UniqueFd fd;
    sockaddr_in address{};
};

Receiver makeReceiver() {
    std::string error;
    Receiver r{openUdpSocket("127.0.0.1", 0, &error)};
    EXPECT_TRUE(r.fd) << error;
    const int buffer = 1 << 20;
    ::setsockopt(r.fd.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    socklen_t len = sizeof r.address;
    ::getsockname(r.fd.get(), reinterpret_cast<sockaddr *>(&r.address), &len);
    return r;
}

std::vector<std::vector<uint8_t>> receiveAll(const Receiver &r, size_t count) {
    std::vector<std::vector<uint8_t>> got;
    while (got.size() < count) {
        pollfd p{r.fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) break;
        std::vector<uint8_t> d(2048);
        const ssize_t n = ::recv(r.fd.get(), d.data(), d.size(), 0);
        if (n < 0) break;
        d.resize(size_t(n));
        got.push_back(std::move(d));
    }
    return got;
}

TEST(DatagramBatch, EachDatagramArrivesWholeAtItsAddressInOrder) {
    const Receiver a = makeReceiver(), b = makeReceiver();
    std::string error;
    const UniqueFd out = openUdpSocket("127.0.0.1", 0, &error);
    ASSERT_TRUE(out) << error;
    DatagramBatch batch(out.get(), 16, 1500);
    // A run with a smaller last one, another address between, a run that ends at a larger
    // datagram, and more datagrams than the batch has slots (it sends the full batch first).
    const std::vector<std::pair<const Receiver *, size_t>> plan = {
        {&a, 1000}, {&a, 1000}, {&a, 1000}, {&a, 400}, {&b, 500}, {&a, 700}, {&a, 700}, {&a, 800},
        {&b, 1200}, {&b, 1200}, {&b, 1200}, {&b, 1200}, {&b, 1200}, {&b, 1200}, {&b, 1200}, {&b, 1200},
        {&b, 1200}, {&b, 1200}, {&a, 1}};
    std::vector<std::vector<uint8_t>> wantA, wantB;
    size_t sent = 0, sentBytes = 0;
    for (size_t i = 0; i < plan.size(); ++i) {
        const auto [to, size] = plan[i];
        std::span<uint8_t> slot = batch.slot();
        ASSERT_GE(slot.size(), size);
        for (size_t k = 0; k < size; ++k) slot[k] = uint8_t(i * 31 + k);
        (to == &a ? wantA : wantB).emplace_back(slot.begin(), slot.begin() + ptrdiff_t(size));
        batch.commit(size, to->address);
        sentBytes += size;
        if (i == 15) sent += batch.flush();
    }
    sent += batch.flush();
    EXPECT_EQ(sent, sentBytes);
    EXPECT_EQ(receiveAll(a, wantA.size()), wantA);
    EXPECT_EQ(receiveAll(b, wantB.size()), wantB);
}

}  // namespace
}  // namespace morlanex
