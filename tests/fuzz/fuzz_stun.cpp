// libFuzzer: the STUN reader on arbitrary datagrams, with a fixed ICE password. What it accepts
// stays inside the datagram, and answering it gives a response that reads back and checks.
#include "webrtc/stun.h"

#include <netinet/in.h>

#include <cstdlib>

using namespace morlanex::webrtc;

namespace {

constexpr std::string_view Password = "VOkJxbRl1RmTxUk/WvJxBt";

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::span<const std::uint8_t> datagram(data, size);
    const PacketKind kind = classifyPacket(datagram);
    auto message = readStun(datagram);
    if (!message) return 0;
    check(kind == PacketKind::Stun);
    const auto *begin = reinterpret_cast<const char *>(data);
    check(message->username.empty() ||
          (message->username.data() >= begin && message->username.data() + message->username.size() <= begin + size));
    check(message->integrityOffset == 0 || message->integrityOffset + 24 <= size);
    (void)checkIntegrity(datagram, *message, Password);

    sockaddr_in6 peer{};
    peer.sin6_family = AF_INET6;
    peer.sin6_port = htons(50000);
    std::copy(data, data + std::min<std::size_t>(size, 16), peer.sin6_addr.s6_addr);
    std::uint8_t out[MaxBindingSuccessSize];
    const std::size_t written =
        writeBindingSuccess(out, message->transactionId, reinterpret_cast<sockaddr *>(&peer), Password);
    check(written > 0 && written <= sizeof out);
    auto response = readStun(std::span(out, written));
    check(response && response->transactionId == message->transactionId && response->hasFingerprint);
    check(checkIntegrity(std::span(out, written), *response, Password) == StunError::None);
    return 0;
}
