#include "media/netsink/rtc_transport.h"

#include "net/socket.h"
#include "webrtc/sdp.h"
#include "webrtc/stun.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/epoll.h>
#include <sys/random.h>

namespace morlanex {
namespace {

using namespace std::chrono_literals;

constexpr auto kTick = 100ms;
constexpr auto kDtlsDeadline = 10s;
constexpr auto kConsentTimeout = 30s;
constexpr auto kKeyFrameEvery = 1s;
constexpr auto kReportEvery = 1s;
constexpr size_t kMaxPendingPerAddress = 4;
// Sessions being set up at once: room for a burst of joins (each a few round trips long), yet
// offers whose peers never check hold at most a quarter of the client limit.
size_t pendingBudget(const NetworkSinkConfig &c) { return std::max<size_t>(64, c.maxClients / 4); }
constexpr size_t kBatchSlots = 64;
constexpr size_t kSlotBytes = webrtc::MaxRtpPacketSize + webrtc::SrtpSession::MaxOverhead;
constexpr size_t kReceiveBytes = 2048;
constexpr int kMaxReadsPerPass = 256;
constexpr int kSocketBufferBytes = 1024 * 1024;  // a group of pictures for a newcomer goes out at once
// Consent checks and reports of thousands of viewers wait here while the loop sends a frame to
// them all; the default (some 200 small datagrams) let checks drop, and sessions end for want of consent.
constexpr int kReceiveBufferBytes = 1024 * 1024;
constexpr uint8_t kAudioPayloadType = 111;  // the source's; rewritten per viewer
const char *const kCname = "morlanex";

template <class T>
T randomValue() {
    T v{};
    if (::getrandom(&v, sizeof v, 0) != sizeof v) v = T(Reactor::Clock::now().time_since_epoch().count());
    return v;
}

std::string randomId() {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(randomValue<uint64_t>()));
    return text;
}

uint64_t addressKey(const sockaddr_in &a) { return uint64_t(a.sin_addr.s_addr) << 16 | a.sin_port; }

webrtc::RtpRewrite newNumbering(int payloadType) {
    webrtc::RtpRewrite r;
    r.ssrc = randomValue<uint32_t>() | 1;  // never 0
    r.sequenceOffset = randomValue<uint16_t>();
    r.timestampOffset = randomValue<uint32_t>();
    r.payloadType = uint8_t(payloadType);
    return r;
}

const char *endText(int reason) {
    static const char *const kText[] = {"deleted",
                                        "DTLS failed",
                                        "DTLS closed by the peer",
                                        "no DTLS within 10 s",
                                        "no consent within 30 s",
                                        "sink stopping",
                                        "no ICE check yet, room made for a newcomer"};
    return kText[reason];
}

}  // namespace

// What a viewer's RTCP asks of us.
class RtcTransport::Feedback final : public webrtc::RtcpVisitor {
public:
    Feedback(RtcTransport &t, RtcSession &s) : t_(t), s_(s) {}
    void onNack(uint32_t ssrc, uint16_t seq) override {
        if (s_.wantsVideo && ssrc == s_.video.ssrc) {
            if (const webrtc::RtpPacket *p = t_.video_.resend(s_, seq)) t_.sendPacket(s_, *p, s_.video);
        } else if (s_.wantsAudio && ssrc == s_.audio.ssrc) {
            if (const webrtc::RtpPacket *p = t_.audioHistory_.find(s_.audio.sourceSequence(seq)))
                t_.sendPacket(s_, *p, s_.audio);
        }
    }
    void onReceptionReport(uint32_t, const webrtc::ReceptionReport &r) override {
        if (s_.choice && r.ssrc == s_.video.ssrc) s_.choice->onLoss(r.fractionLost, Clock::now());
    }
    void onRemb(uint64_t bitsPerSecond) override {
        if (s_.choice) s_.choice->onEstimate(bitsPerSecond, Clock::now());
    }
    void onPictureLoss(uint32_t) override { t_.wantKeyFrame(); }
    void onFullIntraRequest(uint32_t, uint8_t) override { t_.wantKeyFrame(); }

private:
    RtcTransport &t_;
    RtcSession &s_;
};

RtcTransport::RtcTransport(const NetworkSinkConfig &config, Log log)
    : config_(config), log_(std::move(log)), video_(config.webrtcVideoRates),
      sendVideo_([this](RtcSession &s, const webrtc::RtpPacket &p) { sendPacket(s, p, s.video); }) {}

RtcTransport::~RtcTransport() { stop(); }

bool RtcTransport::start(Reactor &reactor, std::string *error) {
    dtls_ = webrtc::DtlsContext::create(error);
    if (!dtls_) return false;
    socket_ = openUdpSocket(config_.bindAddress, uint16_t(config_.webrtcPort), error);
    if (!socket_) return false;
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_SNDBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
    if (!reactor.watch(socket_.get(), EPOLLIN, [this](uint32_t) { onReadable(); })) {
        if (error) *error = std::string("cannot watch the WebRTC port: ") + std::strerror(errno);
        socket_.reset();
        return false;
    }
    reactor_ = &reactor;
    batch_ = std::make_unique<DatagramBatch>(socket_.get(), kBatchSlots, kSlotBytes);
    receive_.resize(kReceiveBytes);
    audioSource_ = randomValue<uint32_t>();
    video_.reset();
    opus_ = std::make_unique<webrtc::OpusPacketizer>(kAudioPayloadType, audioSource_, randomValue<uint16_t>());
    std::fill(std::begin(haveFrame_), std::end(haveFrame_), false);
    port_ = boundPort(socket_.get());
    return true;
}

void RtcTransport::stop() {
    while (!sessions_.empty()) endSession(*sessions_.begin()->second, EndReason::Stopping);
    unconfirmed_.clear();
    if (reactor_) {
        reactor_->cancel(std::exchange(tickTimer_, Reactor::kNoTimer));
        if (socket_) reactor_->unwatch(socket_.get());
    }
    reactor_ = nullptr;
    socket_.reset();
    batch_.reset();
    dtls_.reset();
    port_ = 0;
}

WhepReply RtcTransport::offer(std::string_view sdp, const sockaddr_in &local, uint32_t fromAddress,
                              const std::string &peer, size_t others) {
    if (sdp.empty()) return {400, "An SDP offer is expected (Content-Type: application/sdp).\n", {}};
    auto parsed = webrtc::parseOffer(sdp);
    if (!parsed) return {400, parsed.error().reason + "\n", {}};
    const size_t pending = size_t(std::count_if(sessions_.begin(), sessions_.end(), [&](const auto &e) {
        return !e.second->connected() && e.second->offerAddress == fromAddress;
    }));
    // An offer refused anyway (429) ends no one to make room.
    if (full(others, true) && (pending >= kMaxPendingPerAddress || !makeRoom(others, true)))
        return {503, "The channel is busy; try again shortly.\n", {}};
    if (pending >= kMaxPendingPerAddress)
        return {429, "Too many WebRTC sessions being set up from this address.\n", {}};

    auto owned = std::make_unique<RtcSession>();
    RtcSession &s = *owned;
    do s.id = randomId();
    while (sessions_.count(s.id));
    do s.ufrag = webrtc::makeIceUfrag();
    while (byUfrag_.count(s.ufrag));
    s.password = webrtc::makeIcePassword();
    s.remoteUfrag = parsed->iceUfrag;
    s.offerAddress = fromAddress;
    s.name = peer + " webrtc " + s.id;
    if (const webrtc::OfferedMedia *v = parsed->video()) {
        s.wantsVideo = true;
        s.video = newNumbering(v->payloadType);
    }
    if (const webrtc::OfferedMedia *a = parsed->audio()) {
        s.wantsAudio = true;
        s.audio = newNumbering(a->payloadType);
    }
    s.dtls = std::make_unique<webrtc::DtlsEndpoint>(*dtls_, parsed->fingerprintAlgorithm, parsed->fingerprint,
                                                    [this, &s](std::span<const uint8_t> d) {
                                                        if (s.hasPeer) sendDatagram(s.peer, d);
                                                    });
    s.created = s.lastCheck = Clock::now();
    char address[INET_ADDRSTRLEN] = "0.0.0.0";
    ::inet_ntop(AF_INET, &local.sin_addr, address, sizeof address);
    webrtc::AnswerParameters p{s.ufrag,      s.password, dtls_->fingerprint(),         address, port(), s.video.ssrc,
                               s.audio.ssrc, kCname,     randomValue<uint64_t>() >> 2, {},      0};
    if (config_.outsideAddress)
        if (std::optional<OutsideAddress> outside = config_.outsideAddress()) {
            p.announcedAddress = outside->address;
            p.announcedPort = outside->port;
        }
    WhepReply reply{201, webrtc::buildAnswer(*parsed, p), "/whep/" + s.id};
    log_(s.name, "offer answered");
    byUfrag_[s.ufrag] = &s;
    unconfirmed_.push_back(s.id);
    sessions_[s.id] = std::move(owned);
    if (tickTimer_ == Reactor::kNoTimer) tickTimer_ = reactor_->every(kTick, [this] { tick(); });
    updateWatched();
    return reply;
}

bool RtcTransport::full(size_t others, bool forSession) const {
    return others + sessions_.size() >= config_.maxClients || (forSession && pendingCount() >= pendingBudget(config_));
}

bool RtcTransport::makeRoom(size_t others, bool forSession) {
    return !full(others, forSession) || (endUnconfirmed() && !full(others, forSession));
}

// A browser checks within a fraction of a second of its answer; past the grace, a session with
// no check is most likely an offer whose peer never will.
bool RtcTransport::endUnconfirmed() {
    dropConfirmed();
    if (unconfirmed_.empty()) return false;
    RtcSession &s = *sessions_.at(unconfirmed_.front());
    if (Clock::now() - s.created < config_.webrtcCheckGrace) return false;  // nor any younger
    unconfirmed_.pop_front();
    endSession(s, EndReason::Unconfirmed);
    return true;
}

void RtcTransport::dropConfirmed() {
    while (!unconfirmed_.empty()) {
        const auto it = sessions_.find(unconfirmed_.front());
        if (it != sessions_.end() && !it->second->checked) return;
        unconfirmed_.pop_front();
    }
}

bool RtcTransport::end(std::string_view id) {
    const auto it = sessions_.find(std::string(id));
    if (it == sessions_.end()) return false;
    endSession(*it->second, EndReason::Deleted);
    return true;
}

void RtcTransport::onReadable() {
    for (int i = 0; i < kMaxReadsPerPass; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(socket_.get(), receive_.data(), receive_.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;  // drained (or an ICMP error of an earlier send: nothing to do)
        if (from.sin_family == AF_INET) onDatagram({receive_.data(), size_t(n)}, from);
    }
    flush();
}

void RtcTransport::onDatagram(std::span<uint8_t> d, const sockaddr_in &from) {
    switch (webrtc::classifyPacket(d)) {
    case webrtc::PacketKind::Stun:
        return onStun(d, from);
    case webrtc::PacketKind::Dtls:
        if (RtcSession *s = byAddress(from)) onDtls(*s, d);
        return;
    case webrtc::PacketKind::Rtcp:
        if (RtcSession *s = byAddress(from); s && s->connected()) onRtcp(*s, d);
        return;
    case webrtc::PacketKind::Rtp:  // a viewer sends no media
    case webrtc::PacketKind::Unknown:
        return;
    }
}

RtcSession *RtcTransport::byAddress(const sockaddr_in &from) {
    const auto it = byAddress_.find(addressKey(from));
    return it == byAddress_.end() ? nullptr : it->second;
}

void RtcTransport::onStun(std::span<const uint8_t> d, const sockaddr_in &from) {
    const auto m = webrtc::readStun(d);
    if (!m || !m->isBindingRequest()) return;
    const size_t colon = m->username.find(':');
    if (colon == std::string_view::npos) return;
    const auto it = byUfrag_.find(std::string(m->username.substr(0, colon)));
    if (it == byUfrag_.end()) return;
    RtcSession &s = *it->second;
    if (m->username.substr(colon + 1) != s.remoteUfrag || m->integrityOffset == 0 ||
        webrtc::checkIntegrity(d, *m, s.password) != webrtc::StunError::None)
        return;
    std::array<uint8_t, webrtc::MaxBindingSuccessSize> out{};
    const size_t n =
        webrtc::writeBindingSuccess(out, m->transactionId, reinterpret_cast<const sockaddr *>(&from), s.password);
    if (n) sendDatagram(from, {out.data(), n});
    s.lastCheck = Clock::now();
    s.checked = true;
    if (s.hasPeer && addressKey(s.peer) == addressKey(from)) return;
    // A new address for the session (its first, or the viewer's network changed).
    if (s.hasPeer) byAddress_.erase(addressKey(s.peer));
    if (RtcSession *other = byAddress(from)) other->hasPeer = false;
    s.peer = from;
    s.hasPeer = true;
    byAddress_[addressKey(from)] = &s;
}

void RtcTransport::onDtls(RtcSession &s, std::span<const uint8_t> d) {
    const bool was = s.connected();
    const webrtc::DtlsState state = s.dtls->receive(d);
    if (state == webrtc::DtlsState::Failed) return endSession(s, EndReason::DtlsFailed);
    if (state == webrtc::DtlsState::Closed) return endSession(s, EndReason::DtlsClosed);
    const auto due = s.dtls->nextTimeout();
    s.dtlsDue = due ? Clock::now() + *due : Clock::time_point::max();
    if (state == webrtc::DtlsState::Connected && !was) onConnected(s);
}

void RtcTransport::onConnected(RtcSession &s) {
    const webrtc::SrtpKeys &k = s.dtls->keys();
    s.srtpOut = std::make_unique<webrtc::SrtpSession>(k.profile, k.localKeySalt(), webrtc::SrtpSession::Outbound);
    s.srtpIn = std::make_unique<webrtc::SrtpSession>(k.profile, k.remoteKeySalt(), webrtc::SrtpSession::Inbound);
    const char *profile =
        k.profile == webrtc::SrtpProfile::AeadAes128Gcm ? "AEAD_AES_128_GCM" : "AES_CM_128_HMAC_SHA1_80";
    if (!s.srtpOut->valid() || !s.srtpIn->valid()) {
        s.srtpOut.reset();  // not connected after all
        log_(s.name, std::string("SRTP refused its keys (") + profile + ")");
        return endSession(s, EndReason::DtlsFailed);
    }
    connected_.push_back(&s);
    connectedCount_.store(connected_.size(), std::memory_order_relaxed);
    log_(s.name, std::string("viewer started (") + profile + ")");
    if (!s.wantsVideo) return;
    if (!video_.startViewer(s, sendVideo_)) wantKeyFrame();
    flush();
}

void RtcTransport::onRtcp(RtcSession &s, std::span<uint8_t> d) {
    size_t size = d.size();
    if (!s.srtpIn->unprotectRtcp({receive_.data(), receive_.size()}, size)) return;
    // The viewer holds the keys, so its handshake is over: the DTLS connection's memory can go.
    if (!s.dtls->released()) s.dtls->release();
    Feedback feedback(*this, s);
    webrtc::readRtcp({receive_.data(), size}, feedback);
}

void RtcTransport::onFrame(RtcMedia kind, std::span<const uint8_t> frame, uint64_t ptsNs, bool keyFrame,
                           uint8_t rendition) {
    if (!socket_) return;
    const auto now = Clock::now();
    const int k = kind == RtcMedia::Vp8 ? 0 : 1;
    uint32_t ts = 0;
    if (kind == RtcMedia::Vp8) {
        ts = uint32_t(ptsNs * 9 / 100000);  // 90 kHz
        video_.onFrame(rendition, frame, ts, keyFrame, connected_, sendVideo_);
        // Only the top rendition's time drives the sender reports' clock.
        if (rendition != 0) return flush();
    } else {
        ts = uint32_t(ptsNs * 6 / 125000);  // 48 kHz
        if (!opus_->packetize(frame, ts, audioPacket_)) return;
        audioHistory_.store(audioPacket_);
        for (RtcSession *s : connected_)
            if (s->wantsAudio) sendPacket(*s, audioPacket_, s->audio);
    }
    lastTimestamp_[k] = ts;
    lastArrival_[k] = now;
    haveFrame_[k] = true;
    flush();
}

void RtcTransport::sendPacket(RtcSession &s, const webrtc::RtpPacket &packet, const webrtc::RtpRewrite &rewrite) {
    const std::span<uint8_t> slot = batch_->slot();
    std::memcpy(slot.data(), packet.bytes.data(), packet.size);
    rewrite.apply(slot.first(packet.size));
    size_t size = packet.size;
    if (!s.srtpOut->protectRtp(slot, size)) return;
    batch_->commit(size, s.peer);
    const uint32_t payload = uint32_t(packet.size - webrtc::RtpHeaderSize);
    if (&rewrite == &s.video)
        ++s.videoPackets, s.videoOctets += payload;
    else
        ++s.audioPackets, s.audioOctets += payload;
}

void RtcTransport::sendDatagram(const sockaddr_in &to, std::span<const uint8_t> bytes) {
    if (!socket_) return;
    [[maybe_unused]] const ssize_t n = ::sendto(socket_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                                reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

void RtcTransport::flush() {
    if (batch_) batch_->flush();
}

void RtcTransport::tick() {
    const auto now = Clock::now();
    std::vector<std::pair<RtcSession *, EndReason>> ending;
    for (auto &[id, owned] : sessions_) {
        RtcSession &s = *owned;
        if (s.connected()) {
            if (now - s.lastCheck > kConsentTimeout) ending.emplace_back(&s, EndReason::NoConsent);
        } else if (now - s.created > kDtlsDeadline) {
            ending.emplace_back(&s, EndReason::DtlsTimeout);
        } else if (s.dtlsDue <= now) {
            if (s.dtls->handleTimeout() == webrtc::DtlsState::Failed) ending.emplace_back(&s, EndReason::DtlsFailed);
            const auto due = s.dtls->nextTimeout();
            s.dtlsDue = due ? now + *due : Clock::time_point::max();
        }
    }
    for (auto [s, reason] : ending) endSession(*s, reason);
    dropConfirmed();
    if (keyRequestPending_ && now - lastKeyRequest_ >= kKeyFrameEvery) wantKeyFrame();
    if (now - lastReports_ >= kReportEvery) {
        lastReports_ = now;
        for (RtcSession *s : connected_) sendReports(*s, now);
        flush();
    }
    if (sessions_.empty()) reactor_->cancel(std::exchange(tickTimer_, Reactor::kNoTimer));
}

void RtcTransport::sendReports(RtcSession &s, Clock::time_point now) {
    const uint64_t ntp = webrtc::toNtpTime(std::chrono::system_clock::now());
    const auto report = [&](int k, const webrtc::RtpRewrite &r, uint32_t packets, uint32_t octets, uint32_t clock) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - lastArrival_[k]).count();
        const uint32_t ts = lastTimestamp_[k] + uint32_t(uint64_t(elapsed) * clock / 1000000) + r.timestampOffset;
        const std::span<uint8_t> slot = batch_->slot();
        size_t size = webrtc::writeSenderReport(slot, {r.ssrc, ntp, ts, packets, octets}, kCname);
        if (size && s.srtpOut->protectRtcp(slot, size)) batch_->commit(size, s.peer);
    };
    if (s.videoStarted && haveFrame_[0]) report(0, s.video, s.videoPackets, s.videoOctets, webrtc::VideoClockRate);
    if (s.wantsAudio && haveFrame_[1]) report(1, s.audio, s.audioPackets, s.audioOctets, webrtc::OpusClockRate);
}

void RtcTransport::endSession(RtcSession &s, EndReason reason) {
    log_(s.name, std::string("session ended: ") + endText(int(reason)));
    if (s.connected()) {
        if (reason != EndReason::DtlsClosed) s.dtls->close();
        connected_.erase(std::find(connected_.begin(), connected_.end(), &s));
        connectedCount_.store(connected_.size(), std::memory_order_relaxed);
    }
    if (s.hasPeer) byAddress_.erase(addressKey(s.peer));
    byUfrag_.erase(s.ufrag);
    sessions_.erase(std::string(s.id));  // `s` is gone after this
    updateWatched();
}

void RtcTransport::wantKeyFrame() {
    const auto now = Clock::now();
    if (now - lastKeyRequest_ < kKeyFrameEvery) {
        keyRequestPending_ = true;  // the tick asks when the second is over
        return;
    }
    lastKeyRequest_ = now;
    keyRequestPending_ = false;
    if (config_.keyFrameWanted) config_.keyFrameWanted();
}

void RtcTransport::updateWatched() {
    const bool watched = !sessions_.empty();
    if (watched == watched_) return;
    watched_ = watched;
    if (!watched) {
        // The encoders stop: their next frames begin a new time line, so the old group is no start.
        video_.forgetGroups();
    }
    if (config_.webrtcWatchedChanged) config_.webrtcWatchedChanged(watched);
}

}  // namespace morlanex
