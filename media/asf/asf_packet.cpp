#include "media/asf/asf_packet.h"

#include "media/asf/byte_order.h"

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
        case 1:
            return p[0];
        case 2:
            return le::u16(p);
        case 4:
            return le::u32(p);
        default:
            return 0;
        }
    }
    void skip(size_t n) {
        if (bad_ || b_.size() - pos_ < n)
            bad_ = true;
        else
            pos_ += n;
    }

private:
    std::span<const uint8_t> b_;
    size_t pos_ = 0;
    bool bad_ = false;
};

constexpr uint8_t kErrorCorrectionPresent = 0x80;
constexpr uint8_t kKeyFrameBit = 0x80;

// The error-correction data and the payload parsing information, up to the first payload.
struct PacketHead {
    uint8_t flags = 0;
    uint8_t props = 0;
    uint32_t packetLength = 0;
    uint32_t padding = 0;
    uint32_t sendTimeMs = 0;
    uint16_t durationMs = 0;
};

std::optional<PacketHead> readHead(Reader &r) {
    PacketHead h;
    h.flags = r.byte();
    if (h.flags & kErrorCorrectionPresent) {
        // Error-correction flags: data length in the low nibble; length type must be 0.
        if (h.flags & 0x60) return std::nullopt;
        r.skip(h.flags & 0x0F);
        h.flags = r.byte();
    }
    h.props = r.byte();
    h.packetLength = r.sized(h.flags >> 5);
    r.sized(h.flags >> 1);  // sequence
    h.padding = r.sized(h.flags >> 3);
    h.sendTimeMs = r.sized(3);
    h.durationMs = uint16_t(r.sized(2));
    if (r.bad()) return std::nullopt;
    return h;
}

}  // namespace

uint32_t AsfPayload::objectSize() const { return replicated.size() >= 8 ? le::u32(replicated.data()) : 0; }

uint32_t AsfPayload::presentationMs() const { return replicated.size() >= 8 ? le::u32(replicated.data() + 4) : 0; }

std::optional<uint32_t> asfPacketSendTime(std::span<const uint8_t> start) {
    Reader r(start);
    const auto head = readHead(r);
    return head ? std::optional(head->sendTimeMs) : std::nullopt;
}

std::optional<AsfPacketContents> readAsfPacket(std::span<const uint8_t> packet) {
    Reader r(packet);
    const auto head = readHead(r);
    if (!head) return std::nullopt;
    const bool multiple = head->flags & 0x01;
    AsfPacketContents out;
    out.sendTimeMs = head->sendTimeMs;
    out.durationMs = head->durationMs;
    out.paddingBytes = head->padding;

    // An explicit packet length may be shorter than the buffer; the tail is padding.
    size_t end = packet.size();
    if ((head->flags >> 5) & 3) {
        if (head->packetLength > packet.size() || head->packetLength < r.pos()) return std::nullopt;
        end = head->packetLength;
    }
    if (head->padding > end - r.pos()) return std::nullopt;
    // Payloads with explicit lengths may run up to the packet length: some muxers write a
    // packet length that already leaves out the padding.
    const size_t payloadLimit = multiple ? end : end - head->padding;
    end -= head->padding;

    const uint8_t props = head->props;
    const unsigned replicatedType = props & 3, offsetType = (props >> 2) & 3, objectType = (props >> 4) & 3;
    if (((props >> 6) & 3) != 1) return std::nullopt;  // stream number is always one byte

    unsigned payloads = 1, payloadLengthType = 0;
    if (multiple) {
        const uint8_t pf = r.byte();
        payloads = pf & 0x3F;
        payloadLengthType = pf >> 6;
        if (payloads == 0 || payloadLengthType == 0) return std::nullopt;
    }
    out.payloads.reserve(payloads);
    for (unsigned i = 0; i < payloads; ++i) {
        AsfPayload p;
        const uint8_t stream = r.byte();
        p.stream = stream & 0x7F;
        p.keyFrame = stream & kKeyFrameBit;
        p.objectNumber = r.sized(objectType);
        p.offset = r.sized(offsetType);
        const uint32_t replicated = r.sized(replicatedType);
        const size_t replicatedAt = r.pos();
        r.skip(replicated);
        if (r.bad() || r.pos() > payloadLimit) return std::nullopt;
        p.replicated = packet.subspan(replicatedAt, replicated);
        size_t length = end > r.pos() ? end - r.pos() : 0;
        if (multiple) {
            length = r.sized(payloadLengthType);
            if (r.bad() || r.pos() > payloadLimit || length > payloadLimit - r.pos()) return std::nullopt;
        }
        const size_t dataAt = r.pos();
        r.skip(length);
        if (r.bad()) return std::nullopt;
        p.data = packet.subspan(dataAt, length);
        out.payloads.push_back(p);
    }
    out.payloadsEnd = r.pos();
    return out;
}

std::optional<AsfPacketInfo> parseAsfPacket(std::span<const uint8_t> packet, std::span<const uint8_t> videoStreams) {
    const auto contents = readAsfPacket(packet);
    if (!contents) return std::nullopt;
    AsfPacketInfo info;
    info.sendTime_ms = contents->sendTimeMs;
    for (const AsfPayload &p : contents->payloads) {
        const bool video = std::find(videoStreams.begin(), videoStreams.end(), p.stream) != videoStreams.end();
        if (video && p.keyFrame && p.startsObject()) info.startsVideoKeyFrame = true;
    }
    return info;
}

bool isAsfStartPoint(std::span<const uint8_t> packet, std::span<const uint8_t> videoStreams) {
    const auto info = parseAsfPacket(packet, videoStreams);
    return info && (videoStreams.empty() || info->startsVideoKeyFrame);
}

}  // namespace morlanex
