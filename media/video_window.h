// Public header. The video renderer of the capture graph (TVideoWindow, VideoWindow1).
//
// Its bin converts whatever the camera delivers to 320 x 240 RGB24 and hands every
// frame to the frame callback, which a widget uses to paint. Frames are dropped rather
// than queued when the consumer is slow, so the preview never lags or grows.
//
// Threads: the component is used on the UI thread; the frame callback runs on a
// GStreamer streaming thread (copy the pixels, then hand them to the UI thread). Set
// the callback while the graph is inactive.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "media/graph_component.h"

typedef struct _GstPad GstPad;
typedef struct _GstAppSink GstAppSink;

namespace morlanex {

struct VideoFrame {
    const uint8_t *rgb;  // width x height pixels of 3 bytes (R, G, B), rows `stride` apart
    int width;
    int height;
    int stride;
};

using FrameCallback = std::function<void(const VideoFrame &)>;

class TVideoWindow : public GraphComponent {
public:
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 240;

    explicit TVideoWindow(std::string name = "VideoWindow1") : GraphComponent(std::move(name)) {}
    ~TVideoWindow() override;

    void setFrameCallback(FrameCallback callback) { callback_ = std::move(callback); }
    // Frames handed to the callback since construction.
    uint64_t framesDelivered() const { return frames_.load(); }

    // The renderer's input while the graph is active, else null.
    GstPad *input() const { return input_; }

protected:
    void adding() override;
    void removed() override;
    bool connected() const override;
    void disconnectAll() override;

private:
    int onSample(GstAppSink *appsink);  // a GstFlowReturn
    FrameCallback callback_;
    std::atomic<uint64_t> frames_{0};
    GstPad *input_ = nullptr;  // ghost pad on bin_
};

}  // namespace morlanex
