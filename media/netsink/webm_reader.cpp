#include "media/netsink/webm_reader.h"

#include <cstring>
#include <functional>
#include <string_view>
#include <utility>

namespace morlanex {
namespace {

// Element IDs (with their length marker, as written).
constexpr uint32_t kSegment = 0x18538067, kSeekHead = 0x114D9B74, kCues = 0x1C53BB6B, kVoid = 0xEC, kInfo = 0x1549A966,
                   kTimecodeScale = 0x2AD7B1, kTracks = 0x1654AE6B, kTrackEntry = 0xAE, kTrackNumber = 0xD7,
                   kTrackType = 0x83, kCodecId = 0x86, kDefaultDuration = 0x23E383, kVideo = 0xE0, kPixelWidth = 0xB0,
                   kPixelHeight = 0xBA, kAudio = 0xE1, kSamplingFrequency = 0xB5, kCluster = 0x1F43B675,
                   kTimecode = 0xE7, kSimpleBlock = 0xA3, kBlockGroup = 0xA0, kBlock = 0xA1;
// An unknown size, as a live stream writes its Segment and Clusters.
constexpr uint8_t kUnknownSize[] = {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// An EBML variable-length number at `at`: its width (0 when malformed or cut off), its value
// without the marker (`keepMarker`: with it, as IDs are written) and whether all its value
// bits are set (an unknown size).
size_t readVint(std::span<const uint8_t> b, size_t at, bool keepMarker, uint64_t *value, bool *allOnes) {
    if (at >= b.size() || b[at] == 0) return 0;
    const size_t width = size_t(__builtin_clz(b[at]) - 23);
    if (at + width > b.size() || (keepMarker && width > 4)) return 0;
    uint64_t v = keepMarker ? b[at] : b[at] & (0xFF >> width);
    for (size_t i = 1; i < width; ++i) v = v << 8 | b[at + i];
    *value = v;
    *allOnes = !keepMarker && v == (uint64_t(1) << (7 * width)) - 1;
    return width;
}

struct Element {
    uint32_t id = 0;
    size_t start = 0, data = 0, end = 0;  // end: clipped to the bytes there are
    bool open = false;  // unknown size, or more than there is: runs to the end
    bool cut = false;  // a size of more than there is
};

std::optional<Element> elementAt(std::span<const uint8_t> b, size_t at, size_t end) {
    uint64_t id = 0, size = 0;
    bool unknown = false, ignored = false;
    const size_t idWidth = readVint(b.first(end), at, true, &id, &ignored);
    const size_t sizeWidth = idWidth ? readVint(b.first(end), at + idWidth, false, &size, &unknown) : 0;
    if (sizeWidth == 0) return std::nullopt;
    Element e{uint32_t(id), at, at + idWidth + sizeWidth};
    e.cut = !unknown && size > end - e.data;
    e.open = unknown || e.cut;
    e.end = e.open ? end : e.data + size_t(size);
    return e;
}

uint64_t readUint(std::span<const uint8_t> data) {
    uint64_t v = 0;
    for (uint8_t byte : data) v = v << 8 | byte;
    return v;
}

double readFloat(std::span<const uint8_t> data) {
    const uint64_t bits = readUint(data);
    if (data.size() == 4) {
        float f;
        const uint32_t b32 = uint32_t(bits);
        std::memcpy(&f, &b32, sizeof f);
        return f;
    }
    double d = 0;
    if (data.size() == 8) std::memcpy(&d, &bits, sizeof d);
    return d;
}

// Called for each element in document order with its data (clipped to the bytes there are for
// a master element); returns whether to read a master element's children.
using Visitor = std::function<bool(uint32_t id, std::span<const uint8_t> data)>;

// The header's paths are four levels deep (Segment, Tracks, TrackEntry, Video); bytes that nest
// deeper are not a header of ours.
constexpr int kMaxDepth = 8;

// Walks the elements in [at, end); false when an element is cut off, a number is malformed or
// the elements nest too deep. A Segment may be cut off: a header is the start of its Segment (a
// file's has a size that runs on into the clusters).
bool walk(std::span<const uint8_t> b, size_t at, size_t end, const Visitor &visit, int depth = 0) {
    if (depth > kMaxDepth) return false;
    while (at < end) {
        const std::optional<Element> e = elementAt(b, at, end);
        if (!e) return false;
        if (visit(e->id, b.subspan(e->data, e->end - e->data))) {
            if (e->cut && e->id != kSegment) return false;
            if (!walk(b, e->data, e->end, visit, depth + 1)) return false;
        } else if (e->open) {
            return false;
        }
        at = e->end;
    }
    return true;
}

const char *dashCodec(std::string_view codecId) {
    if (codecId == "V_VP8") return "vp8";
    if (codecId == "V_VP9") return "vp9";
    if (codecId == "A_VORBIS") return "vorbis";
    if (codecId == "A_OPUS") return "opus";
    return "";
}

void append(std::vector<uint8_t> *out, std::span<const uint8_t> bytes) {
    out->insert(out->end(), bytes.begin(), bytes.end());
}

// An EBML size, in 8 bytes (any size fits; readers take every width).
void appendSize(std::vector<uint8_t> *out, uint64_t size) {
    out->push_back(0x01);
    for (int shift = 48; shift >= 0; shift -= 8) out->push_back(uint8_t(size >> shift));
}

// The track a block belongs to: the number at the start of its data.
std::optional<uint64_t> blockTrack(std::span<const uint8_t> data) {
    uint64_t track = 0;
    bool ignored = false;
    return readVint(data, 0, false, &track, &ignored) ? std::optional(track) : std::nullopt;
}

}  // namespace

std::optional<WebmHeaderInfo> readWebmHeader(std::span<const uint8_t> bytes) {
    WebmHeaderInfo info;
    bool sawTracks = false;
    const bool whole = walk(bytes, 0, bytes.size(), [&](uint32_t id, std::span<const uint8_t> data) {
        WebmTrack *track = info.tracks.empty() ? nullptr : &info.tracks.back();
        switch (id) {
        case kSegment:
        case kInfo:
        case kVideo:
        case kAudio:
            return true;
        case kTracks:
            sawTracks = true;
            return true;
        case kTrackEntry:
            info.tracks.emplace_back();
            return true;
        case kTimecodeScale:
            info.timecodeScaleNs = readUint(data);
            break;
        case kCodecId: {
            // Strings may be padded with zero bytes.
            std::string_view name(reinterpret_cast<const char *>(data.data()), data.size());
            if (track) track->codec = dashCodec(name.substr(0, name.find('\0')));
            break;
        }
        default:
            if (!track) break;
            const uint64_t v = readUint(data);
            if (id == kTrackNumber) track->number = v;
            if (id == kTrackType) track->type = v;
            if (id == kDefaultDuration) track->frameDurationNs = v;
            if (id == kPixelWidth) track->width = uint32_t(v);
            if (id == kPixelHeight) track->height = uint32_t(v);
            if (id == kSamplingFrequency) {
                // A rate no sound has (below zero, not a number, past 32 bits) is not written.
                const double hz = readFloat(data);
                track->sampleRateHz = hz >= 0 && hz < double(UINT32_MAX) ? uint32_t(hz + 0.5) : 0;
            }
        }
        return false;
    });
    if (!whole || !sawTracks || info.tracks.empty() || info.timecodeScaleNs == 0) return std::nullopt;
    return info;
}

std::optional<uint64_t> clusterTimeMs(std::span<const uint8_t> chunk, uint64_t timecodeScaleNs) {
    const std::optional<Element> cluster = elementAt(chunk, 0, chunk.size());
    if (!cluster || cluster->id != kCluster) return std::nullopt;
    std::optional<uint64_t> timecode;
    walk(chunk, cluster->data, cluster->end, [&](uint32_t id, std::span<const uint8_t> data) {
        if (id == kTimecode && !timecode) timecode = readUint(data);
        return false;
    });
    if (!timecode) return std::nullopt;
    return uint64_t((unsigned __int128)(*timecode) * timecodeScaleNs / 1000000);
}

std::vector<uint8_t> webmTrackHeader(std::span<const uint8_t> header, uint64_t number) {
    std::vector<uint8_t> out;
    bool found = false;
    for (size_t at = 0; at < header.size();) {
        const std::optional<Element> e = elementAt(header, at, header.size());
        if (!e) return {};
        at = e->end;
        switch (e->id) {
        case kSegment:
            append(&out, header.subspan(e->start, 4));
            append(&out, kUnknownSize);  // its children are read on as top-level ones
            at = e->data;
            break;
        case kSeekHead:
        case kCues:
        case kVoid:
            break;
        case kTracks: {
            std::vector<uint8_t> entries;
            for (size_t in = e->data; in < e->end;) {
                const std::optional<Element> entry = elementAt(header, in, e->end);
                if (!entry || entry->open) return {};
                in = entry->end;
                bool mine = false;
                walk(header, entry->data, entry->end, [&](uint32_t id, std::span<const uint8_t> data) {
                    mine = mine || (id == kTrackNumber && readUint(data) == number);
                    return false;
                });
                if (entry->id != kTrackEntry || !mine) continue;
                found = true;
                append(&entries, header.subspan(entry->start, entry->end - entry->start));
            }
            append(&out, header.subspan(e->start, 4));
            appendSize(&out, entries.size());
            append(&out, entries);
            break;
        }
        default:
            if (e->open) return {};
            append(&out, header.subspan(e->start, e->end - e->start));
        }
    }
    return found ? out : std::vector<uint8_t>();
}

bool appendWebmTrackClusters(std::span<const uint8_t> clusters, uint64_t number, std::vector<uint8_t> *out) {
    for (size_t at = 0; at < clusters.size();) {
        const std::optional<Element> e = elementAt(clusters, at, clusters.size());
        if (!e) return false;
        at = e->end;
        switch (e->id) {
        case kCluster:
            append(out, clusters.subspan(e->start, 4));
            append(out, kUnknownSize);
            at = e->data;  // its children follow as if at the top
            break;
        case kTimecode:
            append(out, clusters.subspan(e->start, e->end - e->start));
            break;
        case kSimpleBlock:
        case kBlockGroup: {
            if (e->open) return false;
            std::optional<uint64_t> track;
            if (e->id == kSimpleBlock) {
                track = blockTrack(clusters.subspan(e->data, e->end - e->data));
            } else {
                walk(clusters, e->data, e->end, [&](uint32_t id, std::span<const uint8_t> data) {
                    if (id == kBlock) track = blockTrack(data);
                    return false;
                });
            }
            if (!track) return false;
            if (*track == number) append(out, clusters.subspan(e->start, e->end - e->start));
            break;
        }
        default:  // positions and sizes of the whole, which no longer hold
            if (e->open) return false;
        }
    }
    return true;
}

}  // namespace morlanex
