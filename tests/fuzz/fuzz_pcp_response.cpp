// libFuzzer: the PCP response reader on arbitrary datagrams. What it accepts is a well-formed
// response of the datagram's size, and the epoch check takes any pair of epochs.
#include "net/port_mapping/pcp_message.h"

#include <cstdlib>

using namespace morlanex::portmap;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    PcpResponse response;
    const PcpError error = readPcpResponse(std::span(data, size), &response);
    if (error == PcpError::None) {
        check(size >= 24 && size <= kPcpMaxMessageSize && size % 4 == 0 && data[0] == 2 && (data[1] & 0x80));
        check(response.opcode == PcpOpcode::Announce || (response.opcode == PcpOpcode::Map && size >= 60));
        (void)toString(response.result);
        const auto t0 = std::chrono::steady_clock::time_point{};
        (void)epochShowsRestart(response.epoch, t0, response.lifetime, t0 + std::chrono::seconds(response.epoch));
    } else {
        check(toString(error)[0] != '\0');
    }
    return 0;
}
