// Internal header file.
//
// RtcVideoFanOut: the WebRTC viewers' picture, each VP8 rendition packetized once for all of
// them. It keeps each rendition's recent packets (for NACKs) and its group of pictures since
// the last key frame (a newcomer starts there, on the top rendition). A viewer whose
// RtcRenditionChoice wants another rendition moves at that rendition's next key frame, its
// sequence numbers running on unbroken; the RTP times are the frames' own, the same in every
// rendition. The encoders make key frames at the same moments, so from its own rendition's key
// frame on a moving viewer is sent nothing until the wanted one's of that moment.
//
// Threads: the sink's loop thread only.
#pragma once

#include "media/netsink/rtc_session.h"
#include "webrtc/rtp.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace morlanex {

class RtcVideoFanOut {
public:
    // Sends one packet made for everyone to a viewer, in the viewer's numbering (s.video).
    using Send = std::function<void(RtcSession &, const webrtc::RtpPacket &)>;

    // `rates`: the renditions' video bits per second, the top first; empty: one rendition.
    explicit RtcVideoFanOut(std::vector<uint32_t> rates);

    // New numbering (random SSRCs and first numbers) and no group kept, for a new start.
    void reset();
    // The encoders stopped: their next frames begin a new time line.
    void forgetGroups();

    // A viewer just connected: it gets the top rendition's group, if one is kept; false when
    // it must wait for a key frame. With several renditions it is given its choice.
    bool startViewer(RtcSession &s, const Send &send);
    // One frame of rendition `r` at RTP time `timestamp` (90 kHz) to every viewer on it.
    void onFrame(size_t r, std::span<const uint8_t> frame, uint32_t timestamp, bool keyFrame,
                 std::span<RtcSession *const> viewers, const Send &send);
    // The packet a viewer's NACK names, if it is still kept.
    const webrtc::RtpPacket *resend(const RtcSession &s, uint16_t sequence) const;

    size_t renditions() const { return video_.size(); }

private:
    struct Rendition {
        std::unique_ptr<webrtc::Vp8Packetizer> vp8;
        webrtc::RtpHistory history;
        std::vector<webrtc::RtpPacket> gop;  // the packets from the last key frame on
        bool gopComplete = false;  // gop starts at a key frame and holds all since
    };
    void sendAll(RtcSession &s, std::span<const webrtc::RtpPacket> packets, const Send &send);

    std::vector<uint32_t> rates_;  // top first; one entry at least
    std::vector<Rendition> video_;
    webrtc::RtpPackets packets_;
};

}  // namespace morlanex
