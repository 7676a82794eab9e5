// A recording of the live stream as the encoder hands it to the network sink: the header,
// then every data packet with its rendition (0 shared, r >= 1 only for viewers of video
// rendition r) and the moment it was handed over, in ms from the first packet. The bench
// server replays it into a real sink at those moments.
//
// File layout (little-endian): "MLXTAGS1", then records of
//   u8 kind (0 header, 1 packet), u8 rendition, u32 ms, u32 size, size bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace morlanex::bench {

struct TaggedPacket {
    uint32_t handedOverMs = 0;
    uint8_t rendition = 0;
    std::vector<uint8_t> bytes;
};

struct TaggedRecording {
    std::vector<uint8_t> header;
    std::vector<TaggedPacket> packets;

    uint32_t lengthMs() const { return packets.empty() ? 0 : packets.back().handedOverMs; }
};

// Writes records as they come; the file is complete after each call.
class TaggedRecordingWriter {
public:
    explicit TaggedRecordingWriter(const std::string &path);
    ~TaggedRecordingWriter();
    TaggedRecordingWriter(const TaggedRecordingWriter &) = delete;
    TaggedRecordingWriter &operator=(const TaggedRecordingWriter &) = delete;

    bool ok() const { return file_ != nullptr && !failed_; }
    void header(const uint8_t *data, size_t size);
    void packet(const uint8_t *data, size_t size, uint8_t rendition, uint32_t handedOverMs);

private:
    void record(uint8_t kind, uint8_t rendition, uint32_t ms, const uint8_t *data, size_t size);
    std::FILE *file_ = nullptr;
    bool failed_ = false;
};

// Whether the file starts like a tagged recording.
bool isTaggedRecording(const std::string &path);
// nullopt and `*error` for an unreadable or malformed file.
std::optional<TaggedRecording> loadTaggedRecording(const std::string &path, std::string *error);

}  // namespace morlanex::bench
