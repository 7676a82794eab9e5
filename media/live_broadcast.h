// Public header. One broadcast, from going live to stopping (LiveBroadcast): the one owner of
// its server (LiveServer, the network sink), its encoders (WMV8/WMA, the browser's WebM, the
// WebRTC VP8/Opus), their branches on the capture pipeline's tees, and, while it serves, the
// mappings of its ports on the home router (PortMapper): the stream's TCP port, the WebRTC UDP
// port and the node's directory endpoints. The router's outside address and the WebRTC port it
// granted go into every WHEP answer from then on. With push mode on, it also holds the pusher
// (BroadcastPusher) that sends the browser rendition to the relay tier once startPushing() is
// called, or at once with PushMode::Always. The capture pipeline only lends its tees and clock;
// the broadcast's serving settings come in as one value.
//
// Threads: UI thread (built, stopped and destroyed there); the encoders run on GStreamer's
// streaming threads and the sink on its own loop thread, see LiveServer.
//
// Example:
//   LiveInputs inputs = pipeline.joinLive(description);
//   LiveBroadcast broadcast(pipeline, inputs, settings);   // serving unless error() says why
//   pipeline.startLive();
//   ...
//   broadcast.stop();                                        // the microphone stays in place
//   pipeline.stopLive();
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/capture_pipeline.h"
#include "media/live_server.h"
#include "media/push/broadcast_pusher.h"
#include "net/port_mapping/mapping_report.h"

namespace morlanex {

class BrowserEncoder;
class LiveEncoder;
class TeeBranch;
class WebRtcEncoder;
namespace portmap {
class PortMapper;
}

// Port mapping while serving: off unless enabled.
struct PortMappingSettings {
    bool enabled = false;
    std::chrono::seconds lease{3600};
    std::vector<uint16_t> endpointPorts;  // the node's directory endpoints (UDP)
    // After each attempt and renewal; on the mapper's thread: post it to your own.
    std::function<void(const portmap::MappingReport &)> report;
    std::function<void(const std::string &)> log;  // one line per mapping made, renewed, removed
};

class LiveBroadcast {
public:
    // Opens the server when the settings give a port and viewers, and hangs the encoders
    // (the browser's and WebRTC's only while serving) off `inputs`. An encoder that cannot be
    // built is reported on the pipeline's bus.
    LiveBroadcast(CapturePipeline &pipeline, const LiveInputs &inputs, const LiveSettings &settings,
                  const PortMappingSettings &mapping = {}, const PushSettings &push = {});
    ~LiveBroadcast();
    LiveBroadcast(const LiveBroadcast &) = delete;
    LiveBroadcast &operator=(const LiveBroadcast &) = delete;

    // Takes the encoders off the pipeline, disconnects every viewer, removes the router's
    // mappings and frees the ports.
    void stop();

    // Serving: the sink listens on the settings' port.
    bool serving() const { return server_->serving(); }
    // Why the port could not be opened; empty when it was, or none was asked for.
    const std::string &error() const { return server_->error(); }
    LiveServer &server() { return *server_; }
    NetworkSink *sink() const { return server_->sink(); }
    const ServingSettings &settings() const { return settings_.serving; }
    // The WebRTC viewers' UDP port as bound; 0 when there is none.
    uint16_t webrtcPort() const;
    // Push mode: the browser rendition goes to the relay tier from now on (nothing without a
    // pusher: push off, or not serving).
    void startPushing();
    bool pushing() const { return pusher_ && pusher_->active(); }
    uint64_t packetsOut() const { return server_->packetsOut(); }
    // The pipeline clock's time (ns) at the stream's time 0, once the stream has begun.
    std::optional<uint64_t> streamStartClockNs() const;

private:
    void mapPorts(const PortMappingSettings &mapping);

    CapturePipeline &pipeline_;
    LiveSettings settings_;
    std::unique_ptr<LiveServer> server_;
    std::unique_ptr<LiveEncoder> encoder_;
    std::unique_ptr<BrowserEncoder> browser_;  // while serving
    std::unique_ptr<WebRtcEncoder> webrtc_;  // while serving, unless WebRTC is off
    std::vector<std::unique_ptr<TeeBranch>> branches_;
    std::unique_ptr<portmap::PortMapper> mapper_;  // while serving with mapping on
    std::unique_ptr<BroadcastPusher> pusher_;  // while serving with push on
    bool stopped_ = false;
};

}  // namespace morlanex
