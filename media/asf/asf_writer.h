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
// A viewer who joins at a key frame gets no sound from before it: the sound's packet is sent
// before the key frame's, and a key frame that comes before the sound of its moment waits for
// it (at most kMaxKeyFrameWaitMs of video). Players count a stream's time from its first
// packet, so the first time a viewer sees is the key frame's, on its frame-rate grid.
//
// Stream numbers are 1 + the index in AsfWriterConfig::streams.
//
// Renditions: several encodings of one stream (the same video at other bit rates) are written
// under the same stream number, each into packets of its own, so that a viewer can be sent one
// rendition's packets plus the shared ones and still read one valid stream. Frames of rendition 0
// are shared by every viewer; a frame of rendition r >= 1 goes only into packets marked r. With
// renditions, give the shared streams (audio) rendition 0 and each video rendition its own r.
//
// Threads: not thread-safe; one caller at a time. The packet sink runs inside addFrame/flush.
#pragma once

#include <array>
#include <optional>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace morlanex {

struct AsfStreamFormat {
    enum class Kind : uint8_t { Audio, Video };
    Kind kind = Kind::Video;
    uint32_t bitrate = 0;  // average, bits per second
    std::vector<uint8_t> codecData;  // the encoder's extra data (WAVEFORMATEX / bitmap header tail)
    std::string codecName;  // for the Codec List
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
    std::optional<uint64_t> originMs;  // the frame time that is time 0; unset: the first frame's
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
    uint8_t rendition = 0;  // 0: for every viewer; r: only for viewers of rendition r
};

class AsfWriter {
public:
    using PacketSink = std::function<void(const AsfDataPacket &)>;

    static constexpr size_t kPacketHeaderBytes = 14;  // error correction + parsing information
    static constexpr size_t kPayloadHeaderBytes = 17;  // with 8 bytes of replicated data
    static constexpr size_t kMaxPayloadsPerPacket = 63;
    static constexpr uint32_t kMaxKeyFrameWaitMs = 1000;

    // The packet size must leave room for one payload byte after the headers.
    AsfWriter(AsfWriterConfig config, PacketSink sink);

    const AsfWriterConfig &config() const { return config_; }
    // Header Object + Data Object start; the same bytes on every call.
    std::vector<uint8_t> header() const;

    // One encoded frame of stream `stream` (1-based) at `timeMs`, of rendition `rendition`.
    // Frames of one stream and rendition come in presentation order; times before the first
    // frame's count as the first frame's. Unknown streams and empty frames are ignored.
    void addFrame(uint8_t stream, std::span<const uint8_t> payload, uint64_t timeMs, bool keyFrame,
                  uint8_t rendition = 0);
    // Writes the frames waiting for sound, then sends every packet being filled, padded, if it
    // holds anything.
    void flush();

    uint64_t packetsOut() const { return packetsOut_; }
    // The time given with the first frame, which the stream counts from (0 before any).
    uint64_t originMs() const { return originMs_; }

private:
    struct HeldFrame {
        uint8_t stream;
        std::vector<uint8_t> payload;
        uint32_t time;
        bool keyFrame;
    };
    // The packet being filled for one rendition.
    struct Lane {
        std::vector<uint8_t> packet;
        size_t used = 0;  // 0: no packet open
        unsigned payloads = 0;
        uint32_t firstTimeMs = 0;  // of its first payload
        uint8_t keyFrameStream = 0;
        std::vector<uint8_t> objectNumbers;  // per stream, the next media object number
        std::vector<HeldFrame> held;  // from a key frame on, waiting for the sound to reach it
    };
    Lane &lane(uint8_t rendition);
    void beginPacket(Lane &lane, uint32_t timeMs, uint8_t keyFrameStream);
    // Sends the lane's packet, padded, with its send time: its first payload's time, or the
    // last packet's when that was later.
    void flush(Lane &lane, uint8_t rendition);
    void write(uint8_t stream, std::span<const uint8_t> payload, uint32_t time, bool keyFrame, uint8_t rendition);
    // Writes the lane's held frames up to the first later key frame past `soundMs`.
    void release(uint8_t rendition, uint32_t soundMs);

    AsfWriterConfig config_;
    PacketSink sink_;
    std::vector<Lane> lanes_;  // by rendition
    uint32_t sendTimeMs_ = 0;  // of the last packet sent, of any rendition
    bool hasAudio_ = false;
    std::optional<uint32_t> audioTimeMs_;  // of the newest sound frame
    bool haveOrigin_ = false;
    uint64_t originMs_ = 0;
    uint64_t packetsOut_ = 0;
};

}  // namespace morlanex
