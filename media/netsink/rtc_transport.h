// Internal header file.
//
// RtcTransport: the network sink's WebRTC viewers (WHEP playback) on one UDP port of its
// own, driven by the sink's Reactor. ICE-lite: it answers binding requests checked with the
// session's password and learns the viewer's address from them; DTLS 1.2 server (one
// certificate per start); SRTP (AES-CM-128 with HMAC-SHA1-80, AES-128-GCM when offered);
// BUNDLE and rtcp-mux, so STUN, DTLS and SRTP share the port and one address per viewer.
//
// Frames are packetized once (Vp8Packetizer, OpusPacketizer); per viewer only the SSRC, the
// numbers and the payload type are rewritten, then SRTP protects the copy in a slot of one
// DatagramBatch, sent with sendmmsg per frame. A new viewer starts at the current group of
// pictures (kept from its key frame on) or, without one, at the next key frame, which it
// asks for. With several VP8 renditions (NetworkSinkConfig::webrtcVideoRates) each viewer is
// sent the one its receiver reports say its link carries (RtcVideoFanOut, RtcRenditionChoice).
// RTCP: sender reports each second, NACKs answered from RtpHistory, PLI and FIR ask for a key
// frame; key frames are asked for at most once a second in all. A viewer's first SRTCP that
// opens lets its DTLS connection go (DtlsEndpoint::release()).
// Datagrams from addresses no check has confirmed, and checks without the right integrity,
// are dropped without an answer.
//
// Room: sessions, pending or connected, count against the client limit beside the sink's other
// viewers, and those being set up also against a smaller budget of their own. A newcomer that
// finds either full ends the oldest session no check has confirmed once it is past
// NetworkSinkConfig::webrtcCheckGrace: offers whose peer never checks (a flood) cannot hold
// the room for the 10 s a handshake may take.
//
// Threads: everything on the sink's loop thread (start/stop from the owner while the loop
// does not run); port() and connectedCount() from any thread.
#pragma once

#include "media/netsink/network_sink.h"
#include "media/netsink/rtc_session.h"
#include "media/netsink/rtc_video_fan_out.h"
#include "net/reactor.h"
#include "net/udp_socket.h"
#include "webrtc/rtcp.h"

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace morlanex {

// The WHEP resource's answer to one HTTP request.
struct WhepReply {
    int status = 0;
    std::string body;  // the SDP answer (201) or the reason (4xx, 5xx)
    std::string location;  // 201: the session's resource
};

class RtcTransport {
public:
    using Clock = std::chrono::steady_clock;
    using Log = std::function<void(const std::string &peer, const std::string &line)>;

    RtcTransport(const NetworkSinkConfig &config, Log log);
    ~RtcTransport();

    // Opens the UDP port, makes the certificate and starts the timers on `reactor`.
    bool start(Reactor &reactor, std::string *error);
    // Ends every session (close_notify to the connected) and closes the port.
    void stop();
    uint16_t port() const { return port_.load(std::memory_order_relaxed); }
    size_t connectedCount() const { return connectedCount_.load(std::memory_order_relaxed); }
    size_t sessionCount() const { return sessions_.size(); }  // pending and connected
    size_t pendingCount() const { return sessions_.size() - connected_.size(); }

    // Whether the client limit leaves room for one more viewer beside `others` (the sink's
    // other viewers) and the sessions, and for a session, whether the budget of those being
    // set up does too; where not, ends the oldest unconfirmed session past the grace to make it.
    bool makeRoom(size_t others, bool forSession = false);
    // A WHEP offer from IPv4 `fromAddress` (network order; `peer` names it in log lines),
    // received on the HTTP connection bound at `local` (the answer's host candidate), beside
    // `others` viewers of the sink's other kinds.
    WhepReply offer(std::string_view sdp, const sockaddr_in &local, uint32_t fromAddress, const std::string &peer,
                    size_t others);
    // DELETE of /whep/<id>: false when there is no such session.
    bool end(std::string_view id);

    void onFrame(RtcMedia kind, std::span<const uint8_t> frame, uint64_t ptsNs, bool keyFrame, uint8_t rendition = 0);

private:
    class Feedback;
    enum class EndReason { Deleted, DtlsFailed, DtlsClosed, DtlsTimeout, NoConsent, Stopping, Unconfirmed };

    void onReadable();
    void onDatagram(std::span<uint8_t> datagram, const sockaddr_in &from);
    void onStun(std::span<const uint8_t> datagram, const sockaddr_in &from);
    void onDtls(RtcSession &s, std::span<const uint8_t> datagram);
    void onRtcp(RtcSession &s, std::span<uint8_t> datagram);
    void onConnected(RtcSession &s);
    void tick();
    void sendReports(RtcSession &s, Clock::time_point now);
    void endSession(RtcSession &s, EndReason reason);
    bool full(size_t others, bool forSession) const;
    bool endUnconfirmed();
    void dropConfirmed();
    void wantKeyFrame();
    void updateWatched();

    // Copies `packet` into the batch in the viewer's numbering, protected.
    void sendPacket(RtcSession &s, const webrtc::RtpPacket &packet, const webrtc::RtpRewrite &rewrite);
    void sendDatagram(const sockaddr_in &to, std::span<const uint8_t> bytes);
    void flush();
    RtcSession *byAddress(const sockaddr_in &from);

    const NetworkSinkConfig &config_;
    Log log_;
    Reactor *reactor_ = nullptr;
    Reactor::TimerId tickTimer_ = Reactor::kNoTimer;
    UniqueFd socket_;
    std::unique_ptr<DatagramBatch> batch_;
    std::unique_ptr<webrtc::DtlsContext> dtls_;
    std::atomic<uint16_t> port_{0};
    std::atomic<size_t> connectedCount_{0};

    std::unordered_map<std::string, std::unique_ptr<RtcSession>> sessions_;  // by id
    std::unordered_map<std::string, RtcSession *> byUfrag_;
    std::unordered_map<uint64_t, RtcSession *> byAddress_;  // confirmed peers, address:port
    std::vector<RtcSession *> connected_;
    // Ids of sessions in the order of their answers, while no check has confirmed them (those
    // since confirmed or ended leave from the front).
    std::deque<std::string> unconfirmed_;

    // One packetization for everyone.
    RtcVideoFanOut video_;
    RtcVideoFanOut::Send sendVideo_;
    uint32_t audioSource_ = 0;
    std::unique_ptr<webrtc::OpusPacketizer> opus_;
    webrtc::RtpPacket audioPacket_;
    webrtc::RtpHistory audioHistory_;
    // The last frame's RTP time and arrival, per kind, for the sender reports' clock.
    uint32_t lastTimestamp_[2]{};
    Clock::time_point lastArrival_[2]{};
    bool haveFrame_[2]{};

    Clock::time_point lastKeyRequest_{}, lastReports_{};
    bool keyRequestPending_ = false;
    bool watched_ = false;
    std::vector<uint8_t> receive_;  // one datagram in
};

}  // namespace morlanex
