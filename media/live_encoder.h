// Internal header. The live branch of the capture pipeline: WMV8 and WMA encoders into our ASF
// writer, whose header and packets go to the network sink; beside them, while the sink
// serves, the browser rendition (BrowserEncoder) as the sink's second stream.
//
// The writer starts once every encoder has said its format (the audio's codec data comes with
// its first frame's caps); frames that come before that wait. Stream 1 is the audio, when there is a
// microphone, then the video. With several video renditions (the automatic level) each is
// encoded from the same scaled picture, with key frames at the same times, and written as the
// same video stream in packets of its own.
//
// Threads: built and stopped on the UI thread; frames arrive on the encoders' streaming
// threads and meet under one lock, in which the sink and the observer are fed.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "media/asf/asf_writer.h"
#include "media/capture_pipeline.h"

typedef struct _GstElement GstElement;
typedef struct _GstSample GstSample;
typedef struct _GstCaps GstCaps;

namespace morlanex {

class BrowserEncoder;
class NetworkSink;
class WmvEncoder;

// Makes the elements of `factories`, adds them to `bin` and links them one after another from
// `from`; empty, with nothing added, when an element is missing.
std::vector<GstElement *> addChain(GstElement *bin, GstElement *from, std::initializer_list<const char *> factories);

class LiveEncoder {
public:
    // Opens the network sink (when the settings give a port).
    explicit LiveEncoder(LiveSettings settings);
    ~LiveEncoder();

    // Adds the encoder branches to `pipeline`, fed by the tees; `audioTee` may be null.
    // False when an element is missing.
    bool link(GstElement *pipeline, GstElement *videoTee, GstElement *audioTee);
    // Stops serving: viewers are disconnected and the port is freed.
    void stop();

    bool sinkOpen() const { return sink_ != nullptr; }
    const std::string &sinkError() const { return sinkError_; }
    NetworkSink *sink() const { return sink_.get(); }
    BrowserEncoder *browser() const { return browser_.get(); }
    uint64_t packetsOut() const { return packets_.load(); }
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
    bool audioBranch(GstElement *pipeline, GstElement *tee);
    bool videoBranches(GstElement *pipeline, GstElement *tee);
    void deliverFrom(GstElement *appsink, int source);
    void onSample(int source, GstSample *sample);
    // Writes the frame, or keeps it until the writer starts; an audio frame's caps give the
    // audio format.
    void addFrame(Frame frame, const GstCaps *audioCaps = nullptr);
    void startWriter();  // under mutex_

    LiveSettings settings_;
    std::unique_ptr<BrowserEncoder> browser_;  // while the sink serves
    std::unique_ptr<NetworkSink> sink_;
    std::string sinkError_;
    GstElement *pipeline_ = nullptr;  // not owned
    bool hasAudio_ = false;

    std::mutex mutex_;
    std::optional<AsfStreamFormat> audioFormat_, videoFormat_;
    std::vector<std::unique_ptr<WmvEncoder>> videoEncoders_;  // one per rendition, lowest first
    std::vector<Frame> pending_;
    std::unique_ptr<AsfWriter> writer_;
    std::atomic<uint64_t> packets_{0};
    std::atomic<int64_t> startClockNs_{-1};
};

}  // namespace morlanex
