#include "media/asf/asf_writer.h"

#include "media/asf/asf_guids.h"
#include "media/asf/byte_order.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace morlanex {

namespace {

using namespace asf_guid;

constexpr uint32_t kBroadcastFlag = 0x01;

// Appends little-endian fields; objects are opened, filled, then closed with their size.
class Bytes {
public:
    std::vector<uint8_t> out;

    void u8(uint8_t v) { out.push_back(v); }
    void u16(uint16_t v) { u8(uint8_t(v)), u8(uint8_t(v >> 8)); }
    void u32(uint32_t v) { u16(uint16_t(v)), u16(uint16_t(v >> 16)); }
    void u64(uint64_t v) { u32(uint32_t(v)), u32(uint32_t(v >> 32)); }
    void bytes(std::span<const uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); }
    // UTF-16LE with its terminating zero, preceded by its length in characters. Only the
    // ASCII texts we write ourselves come here.
    void counted(const std::string &text) {
        u16(uint16_t(text.size() + 1));
        for (char c : text) u16(uint8_t(c));
        u16(0);
    }
    size_t open(const AsfGuid &g) {
        const size_t at = out.size();
        bytes(g);
        u64(0);
        return at;
    }
    void close(size_t at) { le::put64(out.data() + at + 16, out.size() - at); }
};

void streamProperties(Bytes &b, const AsfStreamFormat &s, uint8_t number) {
    const bool audio = s.kind == AsfStreamFormat::Kind::Audio;
    Bytes specific;
    Bytes correction;
    if (audio) {
        specific.u16(s.formatTag);
        specific.u16(s.channels);
        specific.u32(s.sampleRate);
        specific.u32(s.bitrate / 8);
        specific.u16(s.blockAlign);
        specific.u16(s.bitsPerSample);
        specific.u16(uint16_t(s.codecData.size()));
        specific.bytes(s.codecData);
        // Audio spread with a span of 1: no reordering, as players of WMA expect it.
        correction.u8(1);
        correction.u16(s.blockAlign);
        correction.u16(s.blockAlign);
        correction.u16(1);
        correction.u8(0);
    } else {
        const uint32_t bitmapBytes = 40 + uint32_t(s.codecData.size());
        specific.u32(s.width);
        specific.u32(s.height);
        specific.u8(2);  // reserved flags
        specific.u16(uint16_t(bitmapBytes));
        specific.u32(bitmapBytes);
        specific.u32(s.width);
        specific.u32(s.height);
        specific.u16(1);  // planes
        specific.u16(24);  // bits per pixel
        for (char c : s.fourcc) specific.u8(uint8_t(c));
        specific.u32(s.width * s.height * 3);
        specific.u32(0);
        specific.u32(0);
        specific.u32(0);
        specific.u32(0);
        specific.bytes(s.codecData);
    }
    const size_t at = b.open(kStreamProperties);
    b.bytes(audio ? kAudioMedia : kVideoMedia);
    b.bytes(audio ? kAudioSpread : kNoErrorCorrection);
    b.u64(0);  // time offset
    b.u32(uint32_t(specific.out.size()));
    b.u32(uint32_t(correction.out.size()));
    b.u16(number);
    b.u32(0);
    b.bytes(specific.out);
    b.bytes(correction.out);
    b.close(at);
}

void extendedStreamProperties(Bytes &b, const AsfStreamFormat &s, uint8_t number, uint32_t prerollMs) {
    const size_t at = b.open(kExtendedStreamProperties);
    b.u64(0);  // start time
    b.u64(0);  // end time
    b.u32(s.bitrate);
    b.u32(prerollMs);  // buffer size, in ms
    b.u32(prerollMs);  // initial buffer fullness
    b.u32(s.bitrate);  // alternate: the same
    b.u32(prerollMs);
    b.u32(prerollMs);
    b.u32(0);  // maximum object size: not known in advance
    b.u32(0);  // flags
    b.u16(number);
    b.u16(0);  // language
    b.u64(s.kind == AsfStreamFormat::Kind::Video && s.framesPerSecond ? 10'000'000u / s.framesPerSecond : 0);
    b.u16(0);  // stream names
    b.u16(0);  // payload extension systems
    b.close(at);
}

}  // namespace

AsfWriter::AsfWriter(AsfWriterConfig config, PacketSink sink) : config_(std::move(config)), sink_(std::move(sink)) {
    if (config_.packetSize < kPacketHeaderBytes + kPayloadHeaderBytes + 1 || config_.packetSize > 65535)
        throw std::invalid_argument("ASF packet size out of range");
    if (config_.streams.empty() || config_.streams.size() > 127)
        throw std::invalid_argument("ASF stream count out of range");
    for (const AsfStreamFormat &s : config_.streams) hasAudio_ = hasAudio_ || s.kind == AsfStreamFormat::Kind::Audio;
}

std::vector<uint8_t> AsfWriter::header() const {
    Bytes b;
    const size_t header = b.open(kHeaderObject);
    const size_t n = config_.streams.size();
    b.u32(uint32_t(n + 4));  // file, streams, extension, bit rates, codecs
    b.u8(1);
    b.u8(2);

    uint32_t totalBitrate = 0;
    for (const AsfStreamFormat &s : config_.streams) totalBitrate += s.bitrate;

    const size_t file = b.open(kFileProperties);
    b.bytes(config_.fileId);
    b.u64(0);  // file size
    b.u64(0);  // creation date
    b.u64(0);  // data packets
    b.u64(0);  // play duration
    b.u64(0);  // send duration
    b.u64(config_.prerollMs);
    b.u32(kBroadcastFlag);
    b.u32(config_.packetSize);
    b.u32(config_.packetSize);
    b.u32(totalBitrate);
    b.close(file);

    for (size_t i = 0; i < n; ++i) streamProperties(b, config_.streams[i], uint8_t(i + 1));

    const size_t extension = b.open(kHeaderExtension);
    b.bytes(kHeaderExtensionReserved);
    b.u16(6);
    const size_t sizeAt = b.out.size();
    b.u32(0);
    for (size_t i = 0; i < n; ++i) extendedStreamProperties(b, config_.streams[i], uint8_t(i + 1), config_.prerollMs);
    le::put32(b.out.data() + sizeAt, uint32_t(b.out.size() - sizeAt - 4));
    b.close(extension);

    const size_t rates = b.open(kStreamBitrateProperties);
    b.u16(uint16_t(n));
    for (size_t i = 0; i < n; ++i) {
        b.u16(uint16_t(i + 1));
        b.u32(config_.streams[i].bitrate);
    }
    b.close(rates);

    const size_t codecs = b.open(kCodecList);
    b.bytes(kCodecListReserved);
    b.u32(uint32_t(n));
    for (const AsfStreamFormat &s : config_.streams) {
        const bool audio = s.kind == AsfStreamFormat::Kind::Audio;
        b.u16(audio ? 2 : 1);
        b.counted(s.codecName);
        b.counted(s.codecDescription);
        if (audio) {
            b.u16(2);
            b.u16(s.formatTag);
        } else {
            b.u16(4);
            for (char c : s.fourcc) b.u8(uint8_t(c));
        }
    }
    b.close(codecs);
    b.close(header);

    // The Data Object's start: size and packet count 0, as the stream has no end.
    b.bytes(kDataObject);
    b.u64(0);
    b.bytes(config_.fileId);
    b.u64(0);
    b.u8(1);
    b.u8(1);
    return std::move(b.out);
}

AsfWriter::Lane &AsfWriter::lane(uint8_t rendition) {
    if (lanes_.size() <= rendition) lanes_.resize(size_t(rendition) + 1);
    Lane &l = lanes_[rendition];
    if (l.packet.empty()) {
        l.packet.resize(config_.packetSize);
        l.objectNumbers.resize(config_.streams.size(), 0);
    }
    return l;
}

void AsfWriter::beginPacket(Lane &l, uint32_t timeMs, uint8_t keyFrameStream) {
    std::fill(l.packet.begin(), l.packet.end(), 0);
    l.packet[0] = 0x82;  // error correction data: 2 bytes, both 0
    l.packet[3] = 0x11;  // multiple payloads; padding length as WORD; packet length from the header
    l.packet[4] = 0x5D;  // replicated data BYTE, offset DWORD, object number BYTE, stream BYTE
    l.firstTimeMs = timeMs;
    l.keyFrameStream = keyFrameStream;
    l.used = kPacketHeaderBytes;
    l.payloads = 0;
}

void AsfWriter::flush(Lane &l, uint8_t rendition) {
    if (l.used == 0) return;
    // Sent in this order, so send times may not go back, whichever rendition went before.
    sendTimeMs_ = std::max(sendTimeMs_, l.firstTimeMs);
    le::put16(&l.packet[5], uint16_t(config_.packetSize - l.used));  // padding, already zeros
    le::put32(&l.packet[7], sendTimeMs_);
    l.packet[13] = uint8_t(0x80 | l.payloads);  // payload lengths as WORD
    sink_(AsfDataPacket{l.packet, sendTimeMs_, l.keyFrameStream, rendition});
    ++packetsOut_;
    l.used = 0;
}

void AsfWriter::flush() {
    for (size_t r = 0; r < lanes_.size(); ++r) release(uint8_t(r), UINT32_MAX);
    for (size_t r = 0; r < lanes_.size(); ++r) flush(lanes_[r], uint8_t(r));
}

void AsfWriter::release(uint8_t rendition, uint32_t soundMs) {
    std::vector<HeldFrame> &held = lane(rendition).held;
    if (held.empty()) return;
    // A later key frame the sound has not reached yet goes on waiting.
    size_t n = 1;
    while (n < held.size() && (!held[n].keyFrame || held[n].time <= soundMs)) ++n;
    std::vector<HeldFrame> ready(std::make_move_iterator(held.begin()), std::make_move_iterator(held.begin() + long(n)));
    held.erase(held.begin(), held.begin() + long(n));
    for (const HeldFrame &f : ready) write(f.stream, f.payload, f.time, f.keyFrame, rendition);
}

void AsfWriter::addFrame(uint8_t stream, std::span<const uint8_t> payload, uint64_t timeMs, bool keyFrame,
                         uint8_t rendition) {
    if (stream == 0 || stream > config_.streams.size() || payload.empty()) return;
    const bool video = config_.streams[stream - 1u].kind == AsfStreamFormat::Kind::Video;
    if (!haveOrigin_) {
        haveOrigin_ = true;
        originMs_ = config_.originMs.value_or(timeMs);
    }
    const uint32_t time =
        uint32_t(std::min<uint64_t>(timeMs > originMs_ ? timeMs - originMs_ : 0, UINT32_MAX - config_.prerollMs));
    Lane &l = lane(rendition);
    if (!video) {
        audioTimeMs_ = time;
        for (size_t r = 0; r < lanes_.size(); ++r) {
            if (!lanes_[r].held.empty() && lanes_[r].held.front().time <= time) release(uint8_t(r), time);
        }
        write(stream, payload, time, keyFrame, rendition);
        return;
    }
    const bool soundBehind = hasAudio_ && (!audioTimeMs_ || *audioTimeMs_ < time);
    if (l.held.empty() && !(keyFrame && soundBehind)) {
        write(stream, payload, time, keyFrame, rendition);
        return;
    }
    l.held.push_back({stream, std::vector<uint8_t>(payload.begin(), payload.end()), time, keyFrame});
    // Sound that stopped coming holds the picture up no longer.
    if (time >= l.held.front().time + kMaxKeyFrameWaitMs) release(rendition, UINT32_MAX);
}

void AsfWriter::write(uint8_t stream, std::span<const uint8_t> payload, uint32_t time, bool keyFrame,
                      uint8_t rendition) {
    const bool video = config_.streams[stream - 1u].kind == AsfStreamFormat::Kind::Video;
    // Every audio frame stands alone; a video frame only when the encoder says so.
    const bool key = keyFrame || !video;
    Lane &l = lane(rendition);
    if (video && keyFrame) {
        // The sound so far goes before it (with renditions it has packets of its own).
        if (rendition != 0) flush(lane(0), 0);
        flush(l, rendition);
    }

    const uint8_t objectNumber = l.objectNumbers[stream - 1u]++;
    const uint32_t objectSize = uint32_t(payload.size());
    size_t offset = 0;
    while (offset < payload.size()) {
        if (l.used != 0 &&
            (config_.packetSize - l.used < kPayloadHeaderBytes + 1 || l.payloads == kMaxPayloadsPerPacket))
            flush(l, rendition);
        if (l.used == 0) beginPacket(l, time, video && keyFrame && offset == 0 ? stream : 0);
        const size_t length = std::min(payload.size() - offset, config_.packetSize - l.used - kPayloadHeaderBytes);
        uint8_t *p = &l.packet[l.used];
        p[0] = uint8_t(stream | (key ? 0x80 : 0));
        p[1] = objectNumber;
        le::put32(p + 2, uint32_t(offset));
        p[6] = 8;  // replicated data: object size and presentation time
        le::put32(p + 7, objectSize);
        le::put32(p + 11, time + config_.prerollMs);
        le::put16(p + 15, uint16_t(length));
        std::copy_n(payload.data() + offset, length, p + kPayloadHeaderBytes);
        l.used += kPayloadHeaderBytes + length;
        ++l.payloads;
        offset += length;
    }
}

}  // namespace morlanex
