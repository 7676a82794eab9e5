// Internal header file.
//
// RtcSession: one WebRTC viewer of the sink, from its WHEP offer to its end. It holds what
// the ICE-lite checks, DTLS and SRTP need of the peer and the viewer's numbering of each
// stream; RtcTransport does all its I/O.
//
// Life: made when its offer is answered (Pending); the first binding request with the right
// password names its address; DTLS on that address makes it Connected, and SRTP starts.
// It ends on DELETE, a DTLS failure or close, no DTLS within 10 s, no consent check within
// 30 s, the sink stopping, or (no check yet, past a grace) to make room for a newcomer.
//
// Threads: the sink's loop thread only.
#pragma once

#include "media/netsink/rtc_rendition_choice.h"
#include "webrtc/dtls.h"
#include "webrtc/rtp.h"
#include "webrtc/srtp.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <netinet/in.h>

namespace morlanex {

struct RtcSession {
    using Clock = std::chrono::steady_clock;

    std::string id;  // in its location, /whep/<id>
    std::string ufrag;  // our ICE credentials in the answer
    std::string password;
    std::string remoteUfrag;
    uint32_t offerAddress = 0;  // IPv4 (network order) the offer came from, for the pending limit
    std::string name;  // "ip:port#id" for log lines, once the peer is known

    sockaddr_in peer{};  // confirmed by a binding request with our password
    bool hasPeer = false;
    bool checked = false;  // has had a binding request with our password (hasPeer may go again)
    std::unique_ptr<webrtc::DtlsEndpoint> dtls;
    std::unique_ptr<webrtc::SrtpSession> srtpOut, srtpIn;  // once Connected

    bool wantsVideo = false, wantsAudio = false;
    webrtc::RtpRewrite video, audio;
    bool videoStarted = false;  // has had a key frame: video flows from then on
    // The VP8 rendition it is sent (0 the top), and which its link carries (several only).
    size_t rendition = 0;
    std::optional<RtcRenditionChoice> choice;
    bool moving = false;  // waits for the wanted rendition's key frame, sent nothing meanwhile
    uint16_t nextVideoSequence = 0;  // in its numbering
    uint16_t renditionStart = 0;  // its first number on this rendition: NACKs before it are stale

    Clock::time_point created, lastCheck;
    Clock::time_point dtlsDue = Clock::time_point::max();  // the handshake's retransmission

    // For the sender reports.
    uint32_t videoPackets = 0, videoOctets = 0, audioPackets = 0, audioOctets = 0;

    bool connected() const { return srtpOut != nullptr; }
};

}  // namespace morlanex
