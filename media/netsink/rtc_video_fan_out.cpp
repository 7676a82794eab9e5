#include "media/netsink/rtc_video_fan_out.h"

#include <sys/random.h>

namespace morlanex {
namespace {

constexpr size_t kMaxGopPackets = 4096;  // about 4.8 MB: beyond it a newcomer asks for a key frame
constexpr uint8_t kPayloadType = 96;  // the source's; rewritten per viewer

template <class T>
T randomValue() {
    T v{};
    if (::getrandom(&v, sizeof v, 0) != sizeof v) v = T(std::chrono::steady_clock::now().time_since_epoch().count());
    return v;
}

}  // namespace

RtcVideoFanOut::RtcVideoFanOut(std::vector<uint32_t> rates) : rates_(std::move(rates)) {
    if (rates_.empty()) rates_.push_back(0);
    video_.resize(rates_.size());
    reset();
}

void RtcVideoFanOut::reset() {
    for (Rendition &v : video_) {
        v.vp8 = std::make_unique<webrtc::Vp8Packetizer>(kPayloadType, randomValue<uint32_t>(), randomValue<uint16_t>(),
                                                        uint16_t(randomValue<uint16_t>() & 0x7fff));
    }
    forgetGroups();
}

void RtcVideoFanOut::forgetGroups() {
    for (Rendition &v : video_) {
        v.gop.clear();
        v.gopComplete = false;
    }
}

void RtcVideoFanOut::sendAll(RtcSession &s, std::span<const webrtc::RtpPacket> packets, const Send &send) {
    for (const webrtc::RtpPacket &p : packets) {
        send(s, p);
        s.nextVideoSequence = uint16_t(p.sequence() + s.video.sequenceOffset + 1);
    }
}

bool RtcVideoFanOut::startViewer(RtcSession &s, const Send &send) {
    if (video_.size() > 1) s.choice.emplace(rates_, RtcRenditionChoice::Clock::now());
    const Rendition &top = video_[0];
    if (!top.gopComplete || top.gop.empty()) return false;
    s.videoStarted = true;
    s.renditionStart = uint16_t(top.gop.front().sequence() + s.video.sequenceOffset);
    sendAll(s, top.gop, send);
    return true;
}

void RtcVideoFanOut::onFrame(size_t r, std::span<const uint8_t> frame, uint32_t timestamp, bool keyFrame,
                             std::span<RtcSession *const> viewers, const Send &send) {
    if (r >= video_.size()) return;
    Rendition &v = video_[r];
    const bool key = keyFrame || webrtc::isVp8KeyFrame(frame);
    if (!v.vp8->packetize(frame, timestamp, packets_)) return;
    if (key) {
        v.gop.clear();
        v.gopComplete = true;
    }
    for (const webrtc::RtpPacket &p : packets_.packets()) {
        v.history.store(p);
        if (!v.gopComplete) continue;
        if (v.gop.size() < kMaxGopPackets)
            v.gop.push_back(p);
        else
            v.gopComplete = false, v.gop.clear();
    }
    const std::span<const webrtc::RtpPacket> packets = packets_.packets();
    for (RtcSession *s : viewers) {
        if (!s->wantsVideo) continue;
        if (key && s->videoStarted) {
            const size_t wanted = s->choice ? s->choice->wanted() : s->rendition;
            if (r == wanted && s->rendition != r) {
                // Its numbers go on from where the other rendition left them.
                s->rendition = r;
                s->video.sequenceOffset = uint16_t(s->nextVideoSequence - packets.front().sequence());
                s->renditionStart = s->nextVideoSequence;
                s->moving = false;
            } else if (r == s->rendition) {
                // The key frames of one moment come one rendition after the other: this
                // moment's picture comes from the wanted one.
                s->moving = wanted != r;
            }
        }
        if (s->rendition != r || s->moving || (!s->videoStarted && !key)) continue;
        if (!s->videoStarted) {
            s->videoStarted = true;
            s->renditionStart = uint16_t(packets.front().sequence() + s->video.sequenceOffset);
        }
        sendAll(*s, packets, send);
    }
}

const webrtc::RtpPacket *RtcVideoFanOut::resend(const RtcSession &s, uint16_t sequence) const {
    // A number from before its last move stood for another rendition's packet.
    if (int16_t(uint16_t(sequence - s.renditionStart)) < 0) return nullptr;
    return video_[s.rendition].history.find(s.video.sourceSequence(sequence));
}

}  // namespace morlanex
