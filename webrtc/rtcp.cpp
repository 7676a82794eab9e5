#include "webrtc/rtcp.h"
#include "webrtc/bytes.h"

#include <cstring>

namespace morlanex::webrtc {

using namespace bytes;

namespace {

enum PacketType : std::uint8_t {
    SenderReportType = 200,
    ReceiverReportType = 201,
    SourceDescription = 202,
    TransportFeedback = 205,  // RTPFB
    PayloadFeedback = 206,  // PSFB
};
enum Format : std::uint8_t {
    GenericNack = 1,  // RTPFB
    TransportWideCc = 15,  // RTPFB
    PictureLossIndication = 1,  // PSFB
    FullIntraRequest = 4,  // PSFB
    ApplicationLayer = 15,  // PSFB, REMB
};
constexpr std::size_t ReportBlockSize = 24;
constexpr std::size_t FeedbackHeaderSize = 12;  // header, sender SSRC, media SSRC

ReceptionReport readReportBlock(const std::uint8_t *b) {
    ReceptionReport r;
    r.ssrc = read32(b);
    r.fractionLost = b[4];
    const std::uint32_t lost = std::uint32_t(b[5]) << 16 | std::uint32_t(b[6]) << 8 | b[7];
    r.cumulativeLost = (lost & 0x800000) ? std::int32_t(lost) - 0x1000000 : std::int32_t(lost);
    r.highestSequence = read32(b + 8);
    r.jitter = read32(b + 12);
    r.lastSenderReport = read32(b + 16);
    r.delaySinceLastSenderReport = read32(b + 20);
    return r;
}

// One packet's body (header included, padding removed); `visitor` null only checks it.
RtcpError readPacket(const std::uint8_t *p, std::size_t size, RtcpVisitor *visitor) {
    const std::uint8_t count = p[0] & 0x1F;  // report count, or feedback format
    switch (p[1]) {
    case SenderReportType:
    case ReceiverReportType: {
        const std::size_t first = p[1] == SenderReportType ? 28 : 8;  // the first report block
        if (size < first + count * ReportBlockSize) return RtcpError::BadPacket;
        for (std::size_t i = 0; visitor && i < count; ++i)
            visitor->onReceptionReport(read32(p + 4), readReportBlock(p + first + i * ReportBlockSize));
        return RtcpError::None;
    }
    case TransportFeedback:
    case PayloadFeedback:
        break;
    default:
        return RtcpError::None;
    }
    if (size < FeedbackHeaderSize) return RtcpError::BadPacket;
    const std::uint32_t mediaSsrc = read32(p + 8);
    const std::uint8_t *fci = p + FeedbackHeaderSize;
    const std::size_t fciSize = size - FeedbackHeaderSize;
    if (p[1] == TransportFeedback && count == GenericNack) {
        if (fciSize % 4 != 0) return RtcpError::BadPacket;
        for (std::size_t at = 0; visitor && at < fciSize; at += 4) {
            const std::uint16_t pid = read16(fci + at);
            const std::uint16_t mask = read16(fci + at + 2);
            visitor->onNack(mediaSsrc, pid);
            for (int bit = 0; bit < 16; ++bit)
                if (mask & (1u << bit)) visitor->onNack(mediaSsrc, std::uint16_t(pid + bit + 1));
        }
    } else if (p[1] == TransportFeedback && count == TransportWideCc) {
        if (visitor) visitor->onTransportFeedback(mediaSsrc);
    } else if (p[1] == PayloadFeedback && count == PictureLossIndication) {
        if (visitor) visitor->onPictureLoss(mediaSsrc);
    } else if (p[1] == PayloadFeedback && count == FullIntraRequest) {
        if (fciSize % 8 != 0) return RtcpError::BadPacket;
        // RFC 5104 4.3.1: the media SSRC field is unused; each entry names its own source.
        for (std::size_t at = 0; visitor && at < fciSize; at += 8)
            visitor->onFullIntraRequest(read32(fci + at), fci[at + 4]);
    } else if (p[1] == PayloadFeedback && count == ApplicationLayer && fciSize >= 8 &&
               std::memcmp(fci, "REMB", 4) == 0) {
        const std::size_t ssrcs = fci[4];
        if (fciSize < 8 + 4 * ssrcs) return RtcpError::BadPacket;
        const unsigned exponent = fci[5] >> 2;
        const std::uint64_t mantissa = std::uint64_t(fci[5] & 3) << 16 | read16(fci + 6);
        if (visitor) visitor->onRemb(exponent > 46 ? UINT64_MAX : mantissa << exponent);
    }
    return RtcpError::None;
}

RtcpError walk(std::span<const std::uint8_t> compound, RtcpVisitor *visitor) {
    if (compound.empty()) return RtcpError::TooShort;
    while (!compound.empty()) {
        if (compound.size() < 4) return RtcpError::TooShort;
        const std::uint8_t *p = compound.data();
        if ((p[0] >> 6) != 2) return RtcpError::BadVersion;
        const std::size_t size = (std::size_t(read16(p + 2)) + 1) * 4;
        if (size > compound.size()) return RtcpError::BadLength;
        std::size_t body = size;
        if (p[0] & 0x20) {
            const std::size_t padding = p[size - 1];
            if (padding == 0 || padding > size - 4) return RtcpError::BadPadding;
            body -= padding;
        }
        if (const RtcpError e = readPacket(p, body, visitor); e != RtcpError::None) return e;
        compound = compound.subspan(size);
    }
    return RtcpError::None;
}

}  // namespace

const char *toString(RtcpError error) {
    switch (error) {
    case RtcpError::None:
        return "no error";
    case RtcpError::TooShort:
        return "shorter than an RTCP header";
    case RtcpError::BadVersion:
        return "not RTCP version 2";
    case RtcpError::BadLength:
        return "a packet runs past the end";
    case RtcpError::BadPadding:
        return "padding larger than the packet";
    case RtcpError::BadPacket:
        return "a packet too short for its contents";
    }
    return "unknown error";
}

RtcpError readRtcp(std::span<const std::uint8_t> compound, RtcpVisitor &visitor) {
    if (const RtcpError e = walk(compound, nullptr); e != RtcpError::None) return e;
    return walk(compound, &visitor);
}

std::uint64_t toNtpTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    constexpr std::uint64_t UnixToNtpSeconds = 2208988800ull;  // 1900-01-01 to 1970-01-01
    const auto since = duration_cast<nanoseconds>(time.time_since_epoch()).count();
    const std::uint64_t seconds = std::uint64_t(since / 1000000000) + UnixToNtpSeconds;
    const std::uint64_t fraction = (std::uint64_t(since % 1000000000) << 32) / 1000000000;
    return seconds << 32 | fraction;
}

std::size_t writeSenderReport(std::span<std::uint8_t> out, const SenderReport &r, std::string_view cname) {
    if (cname.empty() || cname.size() > 255) return 0;
    constexpr std::size_t SrSize = 28;
    // SDES: header, SSRC, CNAME item, then at least one zero byte up to a 32-bit boundary.
    const std::size_t sdesSize = (8 + 2 + cname.size() + 1 + 3) / 4 * 4;
    if (out.size() < SrSize + sdesSize) return 0;
    std::uint8_t *p = out.data();
    p[0] = 0x80;
    p[1] = SenderReportType;
    write16(p + 2, SrSize / 4 - 1);
    write32(p + 4, r.ssrc);
    write32(p + 8, std::uint32_t(r.ntpTime >> 32));
    write32(p + 12, std::uint32_t(r.ntpTime));
    write32(p + 16, r.rtpTimestamp);
    write32(p + 20, r.packetCount);
    write32(p + 24, r.octetCount);

    std::uint8_t *s = p + SrSize;
    std::memset(s, 0, sdesSize);
    s[0] = 0x81;  // one chunk
    s[1] = SourceDescription;
    write16(s + 2, std::uint16_t(sdesSize / 4 - 1));
    write32(s + 4, r.ssrc);
    s[8] = 1;  // CNAME
    s[9] = std::uint8_t(cname.size());
    std::memcpy(s + 10, cname.data(), cname.size());
    return SrSize + sdesSize;
}

}  // namespace morlanex::webrtc
