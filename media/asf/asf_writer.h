// Public header. AsfWriter: our own live ASF (Windows Media) writer.
//
// Takes encoded frames (payload, presentation time, key-frame flag) of the streams it was
// configured with and produces what a live ASF stream is made of: one header (Header Object
// and the 50-byte start of the Data Object) and data packets of one fixed size.
//
// The header is a broadcast header: File Properties with the broadcast flag, sizes, counts
// and durations 0 and the streams' total as Max Bitrate; one Stream Properties object per
// stream with its codec data; a Header Extension with each stream's Extended Stream
// Properties (average bit rate, average time per frame); Stream Bitrate Properties; a
// Codec List. The Data Object's size and packet count are 0, as the stream has no end.
//
// Packets carry several payloads each (frames are split across packets where they do not
// fit), and every video key frame begins a new packet: a viewer can join, or move to another
// stream, exactly on a packet boundary. Send times are the frames' times from the first frame
// on, so the stream starts at 0; presentation times add the preroll.
//
// Stream numbers are 1 + the index in AsfWriterConfig::streams.
//
// Threads: not thread-safe; one caller at a time. The packet sink runs inside addFrame/flush.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace morlanex {

struct AsfStreamFormat {
    enum class Kind : uint8_t { Audio, Video };
    Kind kind = Kind::Video;
    uint32_t bitrate = 0;            // average, bits per second
    std::vector<uint8_t> codecData;  // the encoder's extra data (WAVEFORMATEX / bitmap header tail)
    std::string codecName;           // for the Codec List
    std::string codecDescription;
    // Audio (WAVEFORMATEX).
    uint16_t formatTag = 0x0161;  // Windows Media Audio 8 ("WMA v2")
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 16;
    // Video (bitmap header).
    uint32_t width = 0;
    uint32_t height = 0;
    std::array<char, 4> fourcc{'W', 'M', 'V', '2'};
    uint32_t framesPerSecond = 0;
};

struct AsfWriterConfig {
    uint32_t packetSize = 4800;
    uint32_t prerollMs = 3000;
    std::array<uint8_t, 16> fileId{};  // the same in File Properties and the Data Object
    std::vector<AsfStreamFormat> streams;
};

// One finished data packet, valid during the call of the packet sink.
struct AsfDataPacket {
    std::span<const uint8_t> bytes;  // exactly packetSize bytes
    uint32_t sendTimeMs = 0;
    // The video stream whose key frame begins this packet, 0 when the packet does not begin
    // with a video key frame.
    uint8_t keyFrameStream = 0;
};

class AsfWriter {
public:
    using PacketSink = std::function<void(const AsfDataPacket &)>;

    static constexpr size_t kPacketHeaderBytes = 14;   // error correction + parsing information
    static constexpr size_t kPayloadHeaderBytes = 17;  // with 8 bytes of replicated data
    static constexpr size_t kMaxPayloadsPerPacket = 63;

    // The packet size must leave room for one payload byte after the headers.
    AsfWriter(AsfWriterConfig config, PacketSink sink);

    const AsfWriterConfig &config() const { return config_; }
    // Header Object + Data Object start; the same bytes on every call.
    std::vector<uint8_t> header() const;

    // One encoded frame of stream `stream` (1-based) at `timeMs`. Frames of one stream come in
    // presentation order; times before the first frame's count as the first frame's.
    // Unknown streams and empty frames are ignored.
    void addFrame(uint8_t stream, std::span<const uint8_t> payload, uint64_t timeMs, bool keyFrame);
    // Sends the packet being filled, padded, if it holds anything.
    void flush();

    uint64_t packetsOut() const { return packetsOut_; }
    // The time given with the first frame, which the stream counts from (0 before any).
    uint64_t originMs() const { return originMs_; }

private:
    void beginPacket(uint32_t sendTimeMs, uint8_t keyFrameStream);
    size_t freeBytes() const { return config_.packetSize - used_; }

    AsfWriterConfig config_;
    PacketSink sink_;
    std::vector<uint8_t> packet_;
    size_t used_ = 0;  // 0: no packet open
    unsigned payloads_ = 0;
    uint32_t sendTimeMs_ = 0;
    uint8_t keyFrameStream_ = 0;
    bool haveOrigin_ = false;
    uint64_t originMs_ = 0;
    std::vector<uint8_t> objectNumbers_;  // per stream, the next media object number
    uint64_t packetsOut_ = 0;
};

}  // namespace morlanex
