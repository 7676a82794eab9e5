// libFuzzer: the DTLS record reader on arbitrary datagrams, then the same bytes into a fresh
// server endpoint (one certificate for the whole run), as a peer's first datagrams would come.
#include "webrtc/dtls.h"

#include <cstdlib>

using namespace morlanex::webrtc;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const std::unique_ptr<DtlsContext> context = DtlsContext::create(nullptr);
    check(context != nullptr);
    const std::span<const std::uint8_t> datagram(data, size);

    const auto header = readDtlsRecordHeader(datagram);
    if (header)
        check(header->contentType >= 20 && header->contentType <= 23 && std::size_t(13) + header->length <= size);
    const bool whole = isDtlsDatagram(datagram);
    check(!whole || header);

    std::size_t sent = 0;
    DtlsEndpoint endpoint(*context, "sha-256", "00:11", [&](std::span<const std::uint8_t> d) {
        check(!d.empty() && d.size() <= 1200);
        ++sent;
    });
    const DtlsState state = endpoint.receive(datagram);
    check(whole || (state == DtlsState::Handshaking && sent == 0));
    // A second datagram: the rest of a flight, or a retransmission.
    endpoint.receive(datagram);
    (void)endpoint.nextTimeout();
    endpoint.close();
    return 0;
}
