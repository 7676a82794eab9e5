// libFuzzer: the compound RTCP reader on arbitrary bytes. A refused compound tells nothing;
// an accepted one tells no more NACKs than its bytes can hold.
#include "webrtc/rtcp.h"

#include <cstdlib>

using namespace morlanex::webrtc;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

struct Counter : RtcpVisitor {
    std::size_t calls = 0;
    std::size_t nacks = 0;
    void onReceptionReport(std::uint32_t, const ReceptionReport &) override { ++calls; }
    void onNack(std::uint32_t, std::uint16_t) override { ++nacks; }
    void onPictureLoss(std::uint32_t) override { ++calls; }
    void onFullIntraRequest(std::uint32_t, std::uint8_t) override { ++calls; }
    void onRemb(std::uint64_t) override { ++calls; }
    void onTransportFeedback(std::uint32_t) override { ++calls; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Counter counter;
    const RtcpError error = readRtcp(std::span(data, size), counter);
    check(toString(error) != nullptr);
    if (error != RtcpError::None)
        check(counter.calls == 0 && counter.nacks == 0);
    else
        check(counter.nacks <= size / 4 * 17 && counter.calls <= size / 4);
    return 0;
}
