// The WebRTC load generator's RTP intake (see webrtc_load.h). Every packet is counted from its
// header, which SRTP leaves in clear, and whole video frames are told from the sequence numbers
// and the marker: cheap enough for thousands of viewers. A sampled viewer's packets are also
// opened (SRTP's tag checked, the payload decrypted) and its VP8 frames put together from
// their payload descriptors (RFC 7741) and checked (RFC 6386 9.1: the first partition fits in
// the frame; a key frame has the start code, and its picture size is counted), so that what
// the headers claim is shown to be real media.
#pragma once

#include "webrtc_load_viewer.h"

#include <span>
#include <vector>

namespace morlanex::bench::webrtc_viewers {

struct LoadWindow {
    bool open = false;
    LoadClock::time_point start{};
};

class RtpIntake {
public:
    // `epoch`: of the arrival times in receiver reports. `sample`: counted while the window is open.
    RtpIntake(const LoadWindow &window, LoadClock::time_point epoch, WebrtcSampleResult &sample);
    // One RTP datagram of `v`'s as it came (left unchanged).
    void onPacket(Viewer &v, std::span<const uint8_t> datagram, LoadClock::time_point now);

private:
    // A sampled viewer's packet opened into scratch_: its plain size, 0 when its tag did not match.
    size_t open(Viewer &v, std::span<const uint8_t> datagram);
    void addPayload(Viewer &v, std::span<const uint8_t> packet, bool startsFrame);
    void checkFrame(Viewer &v);

    const LoadWindow &window_;
    const LoadClock::time_point epoch_;
    WebrtcSampleResult &sample_;
    std::vector<uint8_t> scratch_;
};

}  // namespace morlanex::bench::webrtc_viewers
