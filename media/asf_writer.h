// Public header. The live encoder (TASFWriter, ASFWriter1).
//
// Attached to the capture graph while live. Its bin encodes the camera to Windows Media
// Video 8 (avenc_wmv2) and the microphone to Windows Media Audio (avenc_wmav2) with the
// numbers of the chosen profile, muxes them as streamable ASF (asfmux: audio is stream
// 1, video stream 2) and hands the muxer's header and fixed-size data packets to the
// network sink, which serves them over HTTP on Port to at most MaxUsers viewers.
// Nothing is written to disk.
//
// When the writer joins an active graph it configures itself from Profile and opens the
// network sink; sinkOpen()/sinkError() say whether that worked. Leaving the graph stops
// the sink (viewers are disconnected, the port is freed).
//
// Threads: the component is used on the UI thread; muxer output is handed to the sink
// and to the stream observer on a GStreamer streaming thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/graph_component.h"
#include "media/profiles.h"

typedef struct _GstPad GstPad;
typedef struct _GstAppSink GstAppSink;
typedef struct _GstBuffer GstBuffer;

namespace morlanex {

class NetworkSink;

// Sees the muxer's output: the header once (isHeader), then every data packet.
using AsfStreamObserver = std::function<void(bool isHeader, const uint8_t *data, size_t size)>;

class TASFWriter : public GraphComponent {
public:
    static constexpr uint32_t kDefaultMaxUsers = 6000;
    static constexpr uint32_t kPacketSizeBytes = 4800;
    static constexpr uint64_t kPrerollMs = 3000;

    explicit TASFWriter(std::string name = "ASFWriter1");
    ~TASFWriter() override;

    // Profile: stored while the writer is not in an active graph; while it is, the value
    // the writer was configured with (255 when that was no known profile).
    int Profile() const;
    void setProfile(TWMPofiles8 profile) { profile_ = profile; }

    // Kept for the writer's own file output, which is never created: the stream goes to
    // the network sink alone.
    std::string FileName;
    bool AutoIndex = false;
    bool MultiPass = false;
    bool DontCompress = false;

    uint32_t Port = 0;                     // 0: no network sink
    uint32_t MaxUsers = kDefaultMaxUsers;  // 0: no network sink
    std::string BindAddress = "0.0.0.0";

    // Set while inactive; called on the streaming thread.
    void setStreamObserver(AsfStreamObserver observer) { observer_ = std::move(observer); }

    // After joining an active graph: whether the network sink is serving on Port, and why
    // not when it is not (empty when Port or MaxUsers is 0, as nothing was asked).
    bool sinkOpen() const { return sink_ != nullptr; }
    const std::string &sinkError() const { return sinkError_; }
    NetworkSink *networkSink() const { return sink_.get(); }

    // The writer's inputs while active ("pins": audio first, then video); null when the
    // profile has no encoder settings.
    GstPad *audioInput() const { return audio_.input; }
    GstPad *videoInput() const { return video_.input; }

    uint64_t packetsOut() const { return packets_.load(); }

protected:
    void adding() override;
    void added() override;
    void removing() override;
    void removed() override;
    bool connected() const override;
    void disconnectAll() override;
    void beforeRun() override;

private:
    int onSample(GstAppSink *appsink);  // a GstFlowReturn
    struct Branch {
        GstPad *input = nullptr;  // ghost pad on bin_
        GstPad *muxPad = nullptr;
        std::vector<GstElement *> elements;
    };
    bool buildBranch(Branch &branch, bool audio, const EncoderSettings &settings);
    void dropBranch(Branch &branch);
    void handleBuffer(GstBuffer *buffer);

    TWMPofiles8 profile_ = wmp_V80_100768VideoMBR;
    int configuredProfile_ = kUnknownProfile;
    GstElement *mux_ = nullptr;
    Branch audio_;
    Branch video_;
    std::unique_ptr<NetworkSink> sink_;
    std::string sinkError_;
    AsfStreamObserver observer_;
    std::atomic<uint64_t> packets_{0};
};

}  // namespace morlanex
