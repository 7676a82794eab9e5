#include "media/netsink/asf_packet.h"

#include "media/netsink/byte_order.h"

#include <algorithm>

namespace morlanex {
namespace {

// Bounds-checked reader: every read either succeeds or latches `bad`.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> b) : b_(b) {}
    bool bad() const { return bad_; }
    size_t pos() const { return pos_; }
    size_t left() const { return bad_ ? 0 : b_.size() - pos_; }
    uint8_t byte() { return uint8_t(sized(1)); }
    // ASF "length type" fields: 0 = absent, 1 = byte, 2 = word, 3 = dword.
    uint32_t sized(unsigned lengthType) {
        static constexpr size_t kWidth[4] = {0, 1, 2, 4};
        const size_t n = kWidth[lengthType & 3];
        if (bad_ || b_.size() - pos_ < n) {
            bad_ = true;
            return 0;
        }
        const uint8_t *p = b_.data() + pos_;
        pos_ += n;
        switch (n) {
            case 1: return p[0];
            case 2: return le::u16(p);
            case 4: return le::u32(p);
            default: return 0;
        }
    }
    void skip(size_t n) {
        if (bad_ || b_.size() - pos_ < n) bad_ = true;
        else pos_ += n;
    }

private:
    std::span<const uint8_t> b_;
    size_t pos_ = 0;
    bool bad_ = false;
};

constexpr uint8_t kErrorCorrectionPresent = 0x80;
constexpr uint8_t kKeyFrameBit = 0x80;

}  // namespace

std::optional<AsfPacketInfo> parseAsfPacket(std::span<const uint8_t> packet, std::span<const uint8_t> videoStreams) {
    Reader r(packet);
    uint8_t flags = r.byte();
    if (flags & kErrorCorrectionPresent) {
        // Error-correction flags: data length in the low nibble; length type must be 0.
        if (flags & 0x60) return std::nullopt;
        r.skip(flags & 0x0F);
        flags = r.byte();
    }
    const uint8_t props = r.byte();
    const bool multiple = flags & 0x01;
    const uint32_t packetLength = r.sized(flags >> 5);
    r.sized(flags >> 1);  // sequence
    const uint32_t padding = r.sized(flags >> 3);
    AsfPacketInfo info;
    info.sendTime_ms = r.sized(3);
    r.sized(2);  // duration
    if (r.bad()) return std::nullopt;

    // An explicit packet length may be shorter than the buffer; the tail is padding.
    size_t end = packet.size();
    if ((flags >> 5) & 3) {
        if (packetLength > packet.size() || packetLength < r.pos()) return std::nullopt;
        end = packetLength;
    }
    if (padding > end - r.pos()) return std::nullopt;
    // Payloads with explicit lengths may run up to the packet length: some muxers write a
    // packet length that already leaves out the padding.
    const size_t payloadLimit = multiple ? end : end - padding;
    end -= padding;

    const unsigned replicatedType = props & 3, offsetType = (props >> 2) & 3, objectType = (props >> 4) & 3;
    if (((props >> 6) & 3) != 1) return std::nullopt;  // stream number is always one byte

    unsigned payloads = 1, payloadLengthType = 0;
    if (multiple) {
        const uint8_t pf = r.byte();
        payloads = pf & 0x3F;
        payloadLengthType = pf >> 6;
        if (payloads == 0 || payloadLengthType == 0) return std::nullopt;
    }
    for (unsigned i = 0; i < payloads; ++i) {
        const uint8_t stream = r.byte();
        r.sized(objectType);
        const uint32_t offset = r.sized(offsetType);
        const uint32_t replicated = r.sized(replicatedType);
        r.skip(replicated);
        if (r.bad() || r.pos() > payloadLimit) return std::nullopt;
        size_t length = end > r.pos() ? end - r.pos() : 0;
        if (multiple) {
            length = r.sized(payloadLengthType);
            if (r.bad() || r.pos() > payloadLimit || length > payloadLimit - r.pos()) return std::nullopt;
        }
        // With replicated length 1 the payload is compressed and "offset" is a time:
        // each sub-payload is a whole object, so it starts one.
        const bool objectStart = replicated == 1 || offset == 0;
        const bool video = std::find(videoStreams.begin(), videoStreams.end(), stream & 0x7F) != videoStreams.end();
        if (video && (stream & kKeyFrameBit) && objectStart) info.startsVideoKeyFrame = true;
        r.skip(length);
        if (r.bad()) return std::nullopt;
    }
    return info;
}

bool isAsfStartPoint(std::span<const uint8_t> packet, std::span<const uint8_t> videoStreams) {
    const auto info = parseAsfPacket(packet, videoStreams);
    return info && (videoStreams.empty() || info->startsVideoKeyFrame);
}

}  // namespace morlanex
