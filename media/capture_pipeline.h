// Public header. The one capture pipeline: camera preview and, while live, the encoders.
//
// It is built from a plain description. Each source is its device's element, a caps filter
// with the chosen format and a tee. The camera's tee feeds the preview (converted to 320 x 240
// RGB and handed to the frame callback). Going live hangs the encoders' branches off the
// camera's and the microphone's tees (see TeeBranch) while the preview runs: the camera is
// not reopened, only set to the broadcast's format, and the microphone joins the pipeline
// then. The pipeline only lends its tees and its clock (LiveInputs): the broadcast
// (LiveBroadcast) owns the encoders and their server. Stopping takes the microphone off again;
// the preview goes on.
//
// The pipeline object lives as long as this class; building again replaces its elements, so
// its bus, and the bus's poll descriptor, stay the same. Messages of an earlier build are
// dropped. The owner watches busDescriptor() (readable while messages wait) and calls
// takeEvents() on its own thread.
//
// Threads: everything on the owner's (UI) thread, except the frame callback and the stream
// observer, which run on GStreamer streaming threads. Stopping waits for each tee pad it takes
// to finish its frame, a few milliseconds.
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
typedef struct _GstObject GstObject;

namespace morlanex {

// What media operations throw: the text the application's error report shows.
class MediaError : public std::runtime_error {
public:
    explicit MediaError(const std::string &text) : std::runtime_error(text) {}
};
// The text of a step that needs a device that cannot be opened.
inline constexpr const char *kInterfaceNotSupported = "Interface not supported";

struct VideoFrame {
    const uint8_t *rgb;  // width x height pixels of 3 bytes (R, G, B), rows `stride` apart
    int width;
    int height;
    int stride;
};
using FrameCallback = std::function<void(const VideoFrame &)>;

struct CaptureDescription {
    DeviceHandle camera;  // empty: no camera
    DeviceHandle microphone;  // empty: no microphone (a live stream is then video only)
    std::string cameraCaps;  // caps text; empty: the camera's current format
    std::string microphoneCaps;
    int recordingLine = -1;  // enabled when going live; -1 leaves the lines alone
    bool live = false;  // a camera that cannot be opened throws rather than reports
};

// What a broadcast's encoders hang off while live.
struct LiveInputs {
    GstElement *pipeline;  // whose clock the stream keeps
    GstElement *cameraTee;
    GstElement *microphoneTee;  // null: no microphone
    uint64_t offsetNs;  // the pipeline's running time when the broadcast joined
};

struct PipelineEvent {
    enum Kind { Paused, Error, Ended };
    Kind kind;
    std::string text;  // the failure's message for Error
    // For Error: the device whose element failed (a device lost), if one did.
    std::optional<DeviceKind> device;
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
    // Readies going live as `description` says: on the preview of its camera, unless that
    // reported an error, the camera only takes the broadcast's format; otherwise the pipeline
    // is built anew. The microphone joins, not yet started. Throws as build() does (a device
    // that cannot be opened), leaving the pipeline empty. The caller hangs its branches off the
    // inputs, then calls startLive().
    LiveInputs joinLive(const CaptureDescription &description);
    // Starts the microphone and plays.
    void startLive();
    // Stops the microphone in place: first step of leaving, before the branches go.
    void haltMicrophone();
    // Takes the microphone off; the preview goes on (in the broadcast's camera format).
    void stopLive();
    void play();
    void stop();
    // Stops and removes everything (the network sink closes).
    void clear();
    bool built() const { return built_; }
    bool live() const { return live_; }
    // A camera's picture is flowing (built with a camera, no error reported since).
    bool previewRunning() const { return built_ && cameraTee_ && !errorSeen_; }
    // Live: a microphone that failed gives way to silence in its format, so the stream stays
    // valid; false when there was no microphone to replace.
    bool replaceMicrophoneWithSilence();

    int busDescriptor() const;
    // The messages waiting on the bus, as events; only the first error of a build counts.
    std::vector<PipelineEvent> takeEvents();

    // Posts an Error event, as a failing element would.
    void reportError(const std::string &text);
    // The format a source runs with (caps text; empty for the device's current format or
    // when the source is not in the pipeline).
    std::string formatInUse(DeviceKind kind) const;
    const CaptureDescription &description() const { return description_; }
    uint64_t framesDelivered() const { return frames_.load(); }

private:
    // The device's element, a caps filter (`format`) and a tee, not yet started: `elements`
    // gets all three. Returns the tee, or null when the device cannot be opened.
    GstElement *addSource(const DeviceHandle &device, const std::string &caps, GstElement *&format,
                          std::vector<GstElement *> &elements, RemovalWatch &watch);
    void addPreview(GstElement *tee);
    void postError(const std::string &text);
    // The device whose source `source` belongs to, if any.
    std::optional<DeviceKind> failedDevice(GstObject *source) const;

    GstElement *pipeline_ = nullptr;
    GstElement *cameraTee_ = nullptr;  // while the camera is in the pipeline
    GstElement *cameraSource_ = nullptr;
    GstElement *cameraFormat_ = nullptr;  // the sources' caps filters while built
    GstElement *microphoneFormat_ = nullptr;
    // The source's element fails when the desktop takes its device away.
    RemovalWatch cameraWatch_, microphoneWatch_;
    CaptureDescription description_;
    bool built_ = false;
    bool errorSeen_ = false;
    bool microphoneErrorSeen_ = false;
    FrameCallback frameCallback_;
    std::atomic<uint64_t> frames_{0};
    bool live_ = false;
    std::vector<GstElement *> liveMicrophone_;  // the microphone's source, format and tee
};

}  // namespace morlanex
