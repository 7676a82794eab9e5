// Internal header. The Windows Media encoding of a broadcast: WMV8 and WMA encoders into our
// ASF writer, whose header and packets go to the broadcast's LiveServer.
//
// Its elements make one branch (see TeeBranch) fed by the camera's and the microphone's tees.
// The writer starts once every encoder has said its format (the audio's codec data comes with
// its first frame's caps); frames that come before that wait. Stream 1 is the audio, when there is a
// microphone, then the video. With several video renditions (the automatic level) each is
// encoded from the same scaled picture, with key frames at the same times, and written as the
// same video stream in packets of its own.
//
// Threads: built and destroyed on the UI thread; frames arrive on the encoders' streaming
// threads and meet under one lock, in which they are written. What the writer gives out is
// handed to the server after the lock is released, in order, by one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "media/asf/asf_writer.h"
#include "media/profiles.h"

typedef struct _GstElement GstElement;
typedef struct _GstSample GstSample;
typedef struct _GstCaps GstCaps;

namespace morlanex {

class LiveServer;
class WmvEncoder;

class LiveEncoder {
public:
    // `clockAtZero`: the element whose base time, `offsetNs` later, is the branch's running
    // time 0 (the pipeline, and the branch's TeeBranch offset).
    LiveEncoder(const EncoderSettings &settings, LiveServer &server, GstElement *clockAtZero, uint64_t offsetNs);
    ~LiveEncoder();
    LiveEncoder(const LiveEncoder &) = delete;
    LiveEncoder &operator=(const LiveEncoder &) = delete;

    // The branch (a floating bin with sink pads "video" and, withAudio, "audio"); null when an
    // element or the video encoder is missing.
    GstElement *makeBranch(bool withAudio);

    // The pipeline clock's time (ns) at the stream's time 0, once the first frame is written.
    std::optional<uint64_t> streamStartClockNs() const;

    // The packet size for a stream of this many bits per second.
    static uint32_t packetSizeFor(uint32_t bitsPerSecond);

private:
    struct Frame {
        uint8_t stream;
        std::vector<uint8_t> bytes;
        uint64_t timeMs;
        bool key;
        uint8_t rendition;
    };
    // What the writer gave out, for the server.
    struct Output {
        bool header;
        std::vector<uint8_t> bytes;
        uint8_t rendition;
    };
    bool audioBranch(GstElement *bin);
    bool videoBranches(GstElement *bin);
    void deliverFrom(GstElement *appsink, int source);
    void onSample(int source, GstSample *sample);
    // Writes the frame, or keeps it until the writer starts; an audio frame's caps give the
    // audio format. Then hands what is ready to the server, unless another thread does.
    void addFrame(Frame frame, const GstCaps *audioCaps = nullptr);
    void startWriter();  // with mutex_ held

    const EncoderSettings settings_;
    LiveServer &server_;
    GstElement *clockAtZero_;  // not owned
    const uint64_t offsetNs_;
    bool hasAudio_ = false;

    std::mutex mutex_;
    std::optional<AsfStreamFormat> audioFormat_, videoFormat_;  // guarded by mutex_
    std::vector<std::unique_ptr<WmvEncoder>> videoEncoders_;  // one per rendition, lowest first
    std::vector<int64_t> lastSlot_;  // per rendition: the frame slot of its last picture
    std::vector<Frame> pending_;  // guarded by mutex_
    bool sawPicture_ = false;  // guarded by mutex_
    std::unique_ptr<AsfWriter> writer_;  // guarded by mutex_
    std::vector<Output> outbox_;  // guarded by mutex_
    bool delivering_ = false;  // guarded by mutex_: a thread hands the outbox over
    std::atomic<int64_t> startClockNs_{-1};
    std::atomic<int64_t> firstPictureNs_{-1};  // running time of the first picture of any rendition
};

}  // namespace morlanex
