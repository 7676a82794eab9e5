#include "webrtc_load_rtp.h"

#include "webrtc/rtp.h"

#include <algorithm>
#include <optional>

namespace morlanex::bench::webrtc_viewers {
namespace {

double seconds(LoadClock::duration d) { return std::chrono::duration<double>(d).count(); }

// The payload of a plain RTP packet: after the CSRCs and any header extension, before padding.
std::optional<std::span<const uint8_t>> rtpPayload(std::span<const uint8_t> p) {
    size_t at = webrtc::RtpHeaderSize + 4 * size_t(p[0] & 0x0F), end = p.size();
    if (p[0] & 0x10) {
        if (at + 4 > end) return std::nullopt;
        at += 4 + 4 * size_t(p[at + 2] << 8 | p[at + 3]);
    }
    if ((p[0] & 0x20) && end > 0) end -= std::min<size_t>(p[end - 1], end);
    if (at > end) return std::nullopt;
    return p.subspan(at, end - at);
}

struct Vp8Part {
    bool startsFrame = false;  // S set on partition 0
    std::span<const uint8_t> data;
};

// RFC 7741 4.2: the payload descriptor, then the frame's bytes.
std::optional<Vp8Part> readVp8Part(std::span<const uint8_t> payload) {
    if (payload.empty()) return std::nullopt;
    const uint8_t first = payload[0];
    size_t at = 1;
    if (first & 0x80) {  // X: an extension byte says which fields follow
        if (payload.size() < 2) return std::nullopt;
        const uint8_t x = payload[1];
        at = 2;
        if (x & 0x80) at += at < payload.size() && (payload[at] & 0x80) ? 2 : 1;  // PictureID, 7 or 15 bits
        at += (x & 0x40 ? 1 : 0) + (x & 0x30 ? 1 : 0);  // TL0PICIDX; TID and KEYIDX
    }
    if (at >= payload.size()) return std::nullopt;
    return Vp8Part{(first & 0x10) && (first & 0x07) == 0, payload.subspan(at)};
}

// Whether `f` is a VP8 frame: its tag's version and first partition, a key frame's start code;
// a key frame's picture size to `size`.
bool isVp8Frame(std::span<const uint8_t> f, std::pair<int, int> &size) {
    if (f.size() < 3) return false;
    const uint32_t tag = f[0] | f[1] << 8 | f[2] << 16;
    const bool key = !(tag & 1);
    const size_t header = key ? 10 : 3;
    if (((tag >> 1) & 7) > 3 || f.size() < header || (tag >> 5) > f.size() - header) return false;
    if (!key) return true;
    if (f[3] != 0x9d || f[4] != 0x01 || f[5] != 0x2a) return false;
    size = {(f[6] | f[7] << 8) & 0x3fff, (f[8] | f[9] << 8) & 0x3fff};
    return true;
}

}  // namespace

RtpIntake::RtpIntake(const LoadWindow &window, LoadClock::time_point epoch, WebrtcSampleResult &sample)
    : window_(window), epoch_(epoch), sample_(sample), scratch_(64 * 1024 + webrtc::SrtpSession::MaxOverhead) {}

size_t RtpIntake::open(Viewer &v, std::span<const uint8_t> d) {
    if (d.size() > scratch_.size() - webrtc::SrtpSession::MaxOverhead) return 0;
    std::copy(d.begin(), d.end(), scratch_.begin());
    size_t size = d.size();
    const bool ok = v.gcm ? v.gcm->open(scratch_, size) : v.srtp->unprotectRtp(scratch_, size);
    if (window_.open) ++(ok ? sample_.authenticated : sample_.rejected);
    return ok ? size : 0;
}

void RtpIntake::onPacket(Viewer &v, std::span<const uint8_t> datagram, LoadClock::time_point now) {
    std::span<const uint8_t> packet = datagram;
    if (v.sampled) {
        const size_t size = open(v, datagram);
        if (!size) return;
        packet = {scratch_.data(), size};
    }
    const auto h = webrtc::readRtpHeader(packet);
    if (!h) return;
    const bool video = h->payloadType == v.setup.videoPayloadType;
    if (!video && h->payloadType != v.setup.audioPayloadType) return;
    Track &t = video ? v.video : v.audio;
    t.reception.onPacket(h->ssrc, h->sequence, h->timestamp,
                         uint32_t(seconds(now - epoch_) * (video ? webrtc::VideoClockRate : webrtc::OpusClockRate)));
    if (window_.open && !t.windowBaseline) {  // a stream that began in the window
        t.windowBaseline = true;
        t.windowFirst = t.sequence.started ? t.sequence.value : (uint64_t(1) << 32) + h->sequence - 1;
    }
    t.sequence.update(h->sequence);
    ++t.received;
    if (window_.open) ++t.windowReceived;
    if (!video) return;
    v.timestamp.update(h->timestamp);
    const bool newFrame = !v.inFrame || v.timestamp.value != v.frameTimestamp;
    if (newFrame) {
        v.gap = v.inFrame && h->sequence != uint16_t(v.lastSequence + 1);
        v.inFrame = true;
        v.frameTimestamp = v.timestamp.value;
    } else if (h->sequence != uint16_t(v.lastSequence + 1)) {
        v.gap = true;
    }
    v.lastSequence = h->sequence;
    if (v.sampled) addPayload(v, packet, newFrame);
    if (!h->marker || v.gap) return;
    if (v.sampled) checkFrame(v);
    v.figures.lastFrame = now;
    if (v.figures.firstFrame == LoadClock::time_point{}) v.figures.firstFrame = now;
    if (!window_.open) return;
    // The RTP time the lateness counts from: the viewer's first whole frame's in the window.
    if (!v.timestampOriginTaken) v.timestampOrigin = v.frameTimestamp, v.timestampOriginTaken = true;
    const double at = seconds(now - window_.start);
    v.figures.frames.push_back(
        {float(at), float(at - double(v.frameTimestamp - v.timestampOrigin) / webrtc::VideoClockRate)});
}

void RtpIntake::addPayload(Viewer &v, std::span<const uint8_t> packet, bool startsFrame) {
    const auto payload = rtpPayload(packet);
    const auto part = payload ? readVp8Part(*payload) : std::nullopt;
    if (startsFrame) {
        v.payload.clear();
        v.payloadStarted = part && part->startsFrame;
    } else if (!part) {
        v.payloadStarted = false;
    }
    if (part && v.payloadStarted) v.payload.insert(v.payload.end(), part->data.begin(), part->data.end());
}

void RtpIntake::checkFrame(Viewer &v) {
    if (!window_.open) return;
    ++sample_.frames;
    std::pair<int, int> size{};
    if (!v.payloadStarted || !isVp8Frame(v.payload, size))
        ++sample_.malformed;
    else if (size.first)
        ++sample_.keyFrames[size];
}

}  // namespace morlanex::bench::webrtc_viewers
