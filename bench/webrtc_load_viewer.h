// What the WebRTC load generator keeps of one viewer on its media thread (see webrtc_load.h).
#pragma once

#include "webrtc_load.h"
#include "webrtc_load_figures.h"
#include "webrtc_load_link.h"

#include "net/socket.h"
#include "webrtc/dtls.h"
#include "webrtc/srtp.h"
#include "webrtc/srtp_gcm.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <type_traits>
#include <vector>

namespace morlanex::bench::webrtc_viewers {

// A 16- or 32-bit RTP counter extended to 64 bits.
struct Extended {
    bool started = false;
    uint64_t value = 0;
    template <class T>
    void update(T v) {
        if (!started) {
            started = true;
            value = (uint64_t(1) << 32) + v;
            return;
        }
        using Signed = std::make_signed_t<T>;
        const int64_t delta = Signed(T(v - T(value)));
        if (delta > 0) value += uint64_t(delta);
    }
};

struct Track {
    Extended sequence;
    uint64_t received = 0;
    uint64_t windowReceived = 0, windowFirst = 0;  // windowFirst: highest before the window
    bool windowBaseline = false;
    ReceptionStats reception;
};

// A datagram the viewer's link holds until it has gone through.
struct Held {
    LoadClock::time_point due;
    std::vector<uint8_t> bytes;
};

// A viewer's setup on its way from the signalling threads to the media thread.
struct Joining {
    ViewerSetup setup;
    LoadClock::time_point requested;
    size_t group = 0;
    bool storm = false;
};

struct Viewer {
    ViewerSetup setup;
    size_t index = 0;  // in viewers_
    UniqueFd fd;
    std::unique_ptr<webrtc::DtlsEndpoint> dtls;
    std::unique_ptr<webrtc::SrtpSession> srtp;
    std::unique_ptr<webrtc::SrtpGcmRtp> gcm;  // AES-GCM's RTP, opened without libsrtp2's per-packet cost
    std::unique_ptr<webrtc::SrtpSession> rtcpOut;  // our receiver reports, as a browser sends them
    bool checked = false, failed = false;
    LoadClock::time_point joined, nextCheck, dtlsDue = LoadClock::time_point::max();
    Track video, audio;
    // The video frame being told from the headers.
    Extended timestamp;
    uint16_t lastSequence = 0;
    bool inFrame = false, gap = false;
    // A sampled viewer's: packets opened, and the frame's VP8 payload put together.
    bool sampled = true;
    std::vector<uint8_t> payload;
    bool payloadStarted = false;  // its first packet began the frame's first partition
    uint64_t frameTimestamp = 0;
    uint64_t timestampOrigin = 0;
    bool timestampOriginTaken = false;
    ViewerFigures figures;
    // Its link, and what the link holds.
    LinkQueue link;
    std::deque<Held> held;
    // Its receiver reports.
    uint32_t reportSsrc = 0;
    LoadClock::time_point nextReport = LoadClock::time_point::max(), lastReport{};
    uint64_t bytesSinceReport = 0;
};

}  // namespace morlanex::bench::webrtc_viewers
