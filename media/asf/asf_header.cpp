#include "media/asf/asf_header.h"

#include "media/asf/asf_guids.h"
#include "media/asf/byte_order.h"

#include <algorithm>

namespace morlanex {
namespace {

using namespace asf_guid;

constexpr size_t kObjectHeaderBytes = 24;  // GUID + u64 size
constexpr size_t kHeaderObjectFixed = 30;  // + u32 count + 2 reserved bytes
constexpr size_t kFilePropertiesBytes = 104;
constexpr size_t kStreamPropertiesMin = 78;

// File Properties field offsets, from the object start.
constexpr size_t kFpFileSize = 40, kFpPackets = 56, kFpPlayDuration = 64, kFpSendDuration = 72, kFpPreroll = 80,
                 kFpFlags = 88, kFpMinPacket = 92, kFpMaxPacket = 96, kFpMaxBitrate = 100;
constexpr uint32_t kFlagBroadcast = 0x01, kFlagSeekable = 0x02;
// Data Object: object size and total data packets, from the object start.
constexpr size_t kDoSize = 16, kDoPackets = 40;

bool fail(std::string *error, const char *why) {
    if (error) *error = why;
    return false;
}

// Walks the Header Object's children, calling `visit(offset, size)` for each.
template <typename Visit>
bool walkChildren(std::span<const uint8_t> b, size_t headerEnd, std::string *error, Visit visit) {
    const uint32_t count = le::u32(b.data() + 24);
    size_t pos = kHeaderObjectFixed;
    for (uint32_t i = 0; i < count; ++i) {
        if (headerEnd - pos < kObjectHeaderBytes) return fail(error, "header object child runs past its end");
        const uint64_t size = le::u64(b.data() + pos + 16);
        if (size < kObjectHeaderBytes || size > headerEnd - pos)
            return fail(error, "header object child has a bad size");
        visit(pos, size_t(size));
        pos += size_t(size);
    }
    return true;
}

}  // namespace

std::optional<AsfHeaderInfo> parseAsfHeader(std::span<const uint8_t> b, std::string *error, bool allowTrailing) {
    if (b.size() < kHeaderObjectFixed + kAsfDataObjectHeaderBytes || !isAsfGuid(b.data(), kHeaderObject)) {
        fail(error, "not an ASF header");
        return std::nullopt;
    }
    const uint64_t hsize = le::u64(b.data() + 16);
    if (hsize < kHeaderObjectFixed || hsize > b.size() - kAsfDataObjectHeaderBytes) {
        fail(error, "ASF header object size does not match the data");
        return std::nullopt;
    }
    AsfHeaderInfo info;
    info.headerObjectBytes = size_t(hsize);
    info.totalBytes = info.headerObjectBytes + kAsfDataObjectHeaderBytes;
    if (!allowTrailing && info.totalBytes != b.size()) {
        fail(error, "ASF header is followed by unexpected bytes");
        return std::nullopt;
    }
    if (!isAsfGuid(b.data() + info.headerObjectBytes, kDataObject)) {
        fail(error, "ASF header is not followed by the data object");
        return std::nullopt;
    }
    bool haveFileProperties = false;
    uint32_t minPacket = 0;
    const bool walked = walkChildren(b, info.headerObjectBytes, error, [&](size_t at, size_t size) {
        const uint8_t *o = b.data() + at;
        if (isAsfGuid(o, kFileProperties) && size >= kFilePropertiesBytes) {
            haveFileProperties = true;
            minPacket = le::u32(o + kFpMinPacket);
            info.packetSize = le::u32(o + kFpMaxPacket);
            info.preroll_ms = uint32_t(std::min<uint64_t>(le::u64(o + kFpPreroll), UINT32_MAX));
        } else if (isAsfGuid(o, kStreamProperties) && size >= kStreamPropertiesMin) {
            const uint8_t number = o[72] & 0x7F;
            if (isAsfGuid(o + 24, kVideoMedia))
                info.videoStreams.push_back(number);
            else if (isAsfGuid(o + 24, kAudioMedia))
                info.audioStreams.push_back(number);
        }
    });
    if (!walked) return std::nullopt;
    if (!haveFileProperties) {
        fail(error, "ASF header has no file properties");
        return std::nullopt;
    }
    if (info.packetSize == 0 || info.packetSize > 65535 - 8 || minPacket != info.packetSize) {
        fail(error, "ASF header does not declare one fixed packet size");
        return std::nullopt;
    }
    return info;
}

std::vector<AsfObjectAt> asfHeaderObjects(std::span<const uint8_t> b, const AsfHeaderInfo &info) {
    std::vector<AsfObjectAt> objects;
    walkChildren(b, info.headerObjectBytes, nullptr, [&](size_t at, size_t size) {
        AsfObjectAt o{{}, at, size};
        std::copy_n(b.data() + at, o.guid.size(), o.guid.begin());
        objects.push_back(o);
    });
    return objects;
}

std::vector<uint8_t> makeLiveAsfHeader(std::span<const uint8_t> b, const AsfHeaderInfo &info, uint32_t maxBitrateBps) {
    std::vector<uint8_t> out(b.begin(), b.begin() + std::ptrdiff_t(info.totalBytes));
    walkChildren(out, info.headerObjectBytes, nullptr, [&](size_t at, size_t size) {
        uint8_t *o = out.data() + at;
        if (!isAsfGuid(o, kFileProperties) || size < kFilePropertiesBytes) return;
        le::put64(o + kFpFileSize, 0);
        le::put64(o + kFpPackets, 0);
        le::put64(o + kFpPlayDuration, 0);
        le::put64(o + kFpSendDuration, 0);
        le::put32(o + kFpFlags, (le::u32(o + kFpFlags) | kFlagBroadcast) & ~kFlagSeekable);
        if (le::u32(o + kFpMaxBitrate) == 0) le::put32(o + kFpMaxBitrate, maxBitrateBps);
    });
    // Size 0 marks a live data object: a player taking 50 (header only) would stop at once.
    le::put64(out.data() + info.headerObjectBytes + kDoSize, 0);
    le::put64(out.data() + info.headerObjectBytes + kDoPackets, 0);
    return out;
}

}  // namespace morlanex
