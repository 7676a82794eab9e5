// Public header. The one capture pipeline: camera preview and, while live, the encoders.
//
// It is built from a plain description. Each source is its device's element, a caps filter
// with the chosen format and a tee. The camera's tee feeds the preview (converted to 320 x 240
// RGB and handed to the frame callback); with live settings it also feeds the WMV8 encoder,
// and the microphone's tee the WMA encoder. Their frames go to our ASF writer, whose header
// and packets the network sink serves. The microphone only joins the pipeline when live.
//
// The pipeline object lives as long as this class; building again replaces its elements, so
// its bus, and the bus's poll descriptor, stay the same. Messages of an earlier build are
// dropped. The owner watches busDescriptor() (readable while messages wait) and calls
// takeEvents() on its own thread.
//
// Threads: everything on the owner's (UI) thread, except the frame callback and the stream
// observer, which run on GStreamer streaming threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "media/device_catalog.h"
#include "media/profiles.h"

typedef struct _GstElement GstElement;

namespace morlanex {

// What media operations throw: the text the application's error report shows.
class MediaError : public std::runtime_error {
public:
    explicit MediaError(const std::string &text) : std::runtime_error(text) {}
};
// The text of a step that needs a device that cannot be opened.
inline constexpr const char *kInterfaceNotSupported = "Interface not supported";

class NetworkSink;
class LiveEncoder;

struct VideoFrame {
    const uint8_t *rgb;  // width x height pixels of 3 bytes (R, G, B), rows `stride` apart
    int width;
    int height;
    int stride;
};
using FrameCallback = std::function<void(const VideoFrame &)>;

// Sees the stream as written: the header once (isHeader), then every data packet with its
// rendition (0: for every viewer; r: only for viewers of rendition r, see AsfDataPacket).
using StreamObserver = std::function<void(bool isHeader, std::span<const uint8_t> bytes, uint8_t rendition)>;

struct LiveSettings {
    EncoderSettings encoder;
    std::string bindAddress = "0.0.0.0";
    uint16_t port = 0;        // 0: encode without serving
    size_t maxViewers = 6000;
    std::chrono::milliseconds fanOutInterval{400};
    StreamObserver observer;  // optional
};

struct CaptureDescription {
    DeviceHandle camera;       // empty: no camera
    DeviceHandle microphone;   // empty: no microphone (a live stream is then video only)
    std::string cameraCaps;    // caps text; empty: the camera's current format
    std::string microphoneCaps;
    int recordingLine = -1;    // enabled when going live; -1 leaves the lines alone
    std::optional<LiveSettings> live;
};

struct PipelineEvent {
    enum Kind { Paused, Error, Ended };
    Kind kind;
    std::string text;  // the failure's message for Error
};

class CapturePipeline {
public:
    static constexpr int kPreviewWidth = 320;
    static constexpr int kPreviewHeight = 240;

    CapturePipeline();
    ~CapturePipeline();
    CapturePipeline(const CapturePipeline &) = delete;
    CapturePipeline &operator=(const CapturePipeline &) = delete;

    // Set before building; called for every preview frame (slow painters lose frames).
    void setFrameCallback(FrameCallback callback) { frameCallback_ = std::move(callback); }

    // Replaces what the pipeline holds with `description`, stopped. A camera or microphone
    // that cannot be opened is reported as an Error event; with live settings it throws
    // MediaError("Interface not supported") instead and leaves the pipeline empty.
    void build(const CaptureDescription &description);
    void play();
    void stop();
    // Stops and removes everything (the network sink closes).
    void clear();
    bool built() const { return built_; }
    bool live() const { return encoder_ != nullptr; }

    int busDescriptor() const;
    // The messages waiting on the bus, as events; only the first error of a build counts.
    std::vector<PipelineEvent> takeEvents();

    // Live: whether the network sink serves on the port, and why not.
    bool sinkOpen() const;
    std::string sinkError() const;
    NetworkSink *networkSink() const;
    uint64_t packetsOut() const;
    // The pipeline clock's time (ns) at the stream's time 0, once the stream has begun.
    std::optional<uint64_t> streamStartClockNs() const;
    // The format a source runs with (caps text; empty for the device's current format or
    // when the source is not in the pipeline).
    std::string formatInUse(DeviceKind kind) const;
    const CaptureDescription &description() const { return description_; }
    uint64_t framesDelivered() const { return frames_.load(); }

private:
    // The device's element, a caps filter (`format`) and a tee; returns the tee, or null
    // when the device cannot be opened.
    GstElement *addSource(GstDevice *device, const std::string &caps, GstElement *&format);
    void addPreview(GstElement *tee);
    void postError(const std::string &text);

    GstElement *pipeline_ = nullptr;
    GstElement *cameraFormat_ = nullptr;  // the sources' caps filters while built
    GstElement *microphoneFormat_ = nullptr;
    CaptureDescription description_;
    bool built_ = false;
    bool errorSeen_ = false;
    FrameCallback frameCallback_;
    std::atomic<uint64_t> frames_{0};
    std::unique_ptr<LiveEncoder> encoder_;
};

}  // namespace morlanex
