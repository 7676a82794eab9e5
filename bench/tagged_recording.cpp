#include "tagged_recording.h"

#include "media/asf/byte_order.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace morlanex::bench {
namespace {

constexpr char kMagic[8] = {'M', 'L', 'X', 'T', 'A', 'G', 'S', '1'};
constexpr size_t kRecordHead = 10;
constexpr uint32_t kMaxRecordBytes = 1 << 20;

}  // namespace

TaggedRecordingWriter::TaggedRecordingWriter(const std::string &path) : file_(std::fopen(path.c_str(), "wb")) {
    if (file_) failed_ = std::fwrite(kMagic, 1, sizeof kMagic, file_) != sizeof kMagic;
}

TaggedRecordingWriter::~TaggedRecordingWriter() {
    if (file_) std::fclose(file_);
}

void TaggedRecordingWriter::header(const uint8_t *data, size_t size) { record(0, 0, 0, data, size); }

void TaggedRecordingWriter::packet(const uint8_t *data, size_t size, uint8_t rendition, uint32_t handedOverMs) {
    record(1, rendition, handedOverMs, data, size);
}

void TaggedRecordingWriter::record(uint8_t kind, uint8_t rendition, uint32_t ms, const uint8_t *data, size_t size) {
    if (!ok()) return;
    uint8_t head[kRecordHead] = {kind, rendition};
    le::put32(head + 2, ms);
    le::put32(head + 6, uint32_t(size));
    failed_ = std::fwrite(head, 1, sizeof head, file_) != sizeof head || std::fwrite(data, 1, size, file_) != size ||
        std::fflush(file_) != 0;
}

bool isTaggedRecording(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    char magic[sizeof kMagic] = {};
    return in.read(magic, sizeof magic) && std::memcmp(magic, kMagic, sizeof kMagic) == 0;
}

std::optional<TaggedRecording> loadTaggedRecording(const std::string &path, std::string *error) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) return *error = "cannot read " + path, std::nullopt;
    if (all.size() < sizeof kMagic || std::memcmp(all.data(), kMagic, sizeof kMagic) != 0)
        return *error = path + " is not a tagged recording", std::nullopt;
    TaggedRecording r;
    for (size_t at = sizeof kMagic; at < all.size();) {
        if (all.size() - at < kRecordHead) return *error = path + ": a record is cut short", std::nullopt;
        const uint8_t *head = all.data() + at;
        const uint32_t size = le::u32(head + 6);
        if (head[0] > 1 || size > kMaxRecordBytes || all.size() - at - kRecordHead < size)
            return *error = path + ": malformed record at byte " + std::to_string(at), std::nullopt;
        const uint8_t *body = head + kRecordHead;
        if (head[0] == 0) {
            if (!r.header.empty()) return *error = path + ": a second header", std::nullopt;
            r.header.assign(body, body + size);
        } else {
            r.packets.push_back({le::u32(head + 2), head[1], std::vector<uint8_t>(body, body + size)});
        }
        at += kRecordHead + size;
    }
    if (r.header.empty() || r.packets.empty()) return *error = path + ": no header or no packets", std::nullopt;
    return r;
}

}  // namespace morlanex::bench
