#include "media/live_broadcast.h"

#include "media/browser_encoder.h"
#include "media/live_encoder.h"
#include "media/netsink/network_sink.h"
#include "media/tee_branch.h"
#include "media/webrtc_encoder.h"
#include "net/port_mapping/port_mapper.h"

namespace morlanex {

LiveBroadcast::LiveBroadcast(CapturePipeline &pipeline, const LiveInputs &inputs, const LiveSettings &settings,
                             const PortMappingSettings &mapping, const PushSettings &push)
    : pipeline_(pipeline), settings_(settings), server_(std::make_unique<LiveServer>(settings)) {
    encoder_ = std::make_unique<LiveEncoder>(settings.encoder, *server_, inputs.pipeline, inputs.offsetNs);
    const bool withAudio = inputs.microphoneTee != nullptr;
    bool complete = true;
    auto attach = [&](GstElement *bin) {
        if (bin)
            branches_.push_back(std::make_unique<TeeBranch>(inputs.pipeline, bin, inputs.cameraTee,
                                                            inputs.microphoneTee, inputs.offsetNs));
        else
            complete = false;
    };
    attach(encoder_->makeBranch(withAudio));
    if (server_->serving()) {
        browser_ = std::make_unique<BrowserEncoder>(settings.encoder);
        browser_->serveWith(server_.get());
        attach(browser_->makeBranch(withAudio));
    }
    if (server_->serving() && settings.serving.webrtcPort >= 0) {
        webrtc_ = std::make_unique<WebRtcEncoder>(settings.encoder);
        webrtc_->serveWith(server_.get());
        attach(webrtc_->makeBranch(withAudio));
    }
    if (!complete) pipeline_.reportError("The live encoder could not be built.");
    if (server_->serving() && mapping.enabled) mapPorts(mapping);
    if (browser_ && push.mode != PushMode::Off && push.directoryHttpPort > 0) {
        // The credential is asked for now, whether or not pushing follows.
        BroadcastPusher::Config config;
        config.settings = push;
        config.streamPort = server_->sink()->port();
        config.playerPage = BrowserEncoder::relayPlayerPage().body;
        pusher_ = std::make_unique<BroadcastPusher>(std::move(config));
        pusher_->start();
        if (push.mode == PushMode::Always) startPushing();
    }
}

void LiveBroadcast::startPushing() {
    if (!pusher_ || pusher_->active()) return;
    pusher_->activate();
    BroadcastPusher *pusher = pusher_.get();  // outlives the tap: the encoders go first in stop()
    server_->setBrowserTap(std::make_shared<BrowserTap>(
        BrowserTap{[pusher](std::span<const uint8_t> header) { pusher->header(header); },
                   [pusher](std::span<const uint8_t> chunk, bool startPoint) { pusher->chunk(chunk, startPoint); }}));
}

void LiveBroadcast::mapPorts(const PortMappingSettings &mapping) {
    using portmap::Protocol;
    portmap::PortMapper::Config config;
    const uint16_t stream = server_->sink()->port();
    config.ports.push_back({Protocol::Tcp, stream, "Morlanex stream"});
    const uint16_t webrtc = webrtcPort();
    if (webrtc != 0) config.ports.push_back({Protocol::Udp, webrtc, "Morlanex WebRTC"});
    for (uint16_t port : mapping.endpointPorts)
        if (port != 0 && port != webrtc) config.ports.push_back({Protocol::Udp, port, "Morlanex directory"});
    config.lease = mapping.lease;
    if (settings_.serving.bindAddress != "0.0.0.0") config.insideAddress = settings_.serving.bindAddress;
    // The WHEP answers learn the router's outside address and WebRTC port as soon as it grants them.
    std::function<void(const portmap::MappingReport &)> report = mapping.report;
    LiveServer *server = server_.get();
    auto onReport = [server, webrtc, report](const portmap::MappingReport &r) {
        std::optional<OutsideAddress> outside;
        for (const portmap::PortResult &p : r.ports)
            if (p.request.protocol == Protocol::Udp && p.request.insidePort == webrtc && p.mapped() &&
                !r.outsideAddress.empty())
                outside = OutsideAddress{r.outsideAddress, p.outsidePort};
        server->setWebrtcOutsideAddress(outside);
        if (report) report(r);
    };
    mapper_ = std::make_unique<portmap::PortMapper>(std::move(config), onReport, mapping.log);
    mapper_->start();
}

LiveBroadcast::~LiveBroadcast() { stop(); }

void LiveBroadcast::stop() {
    if (stopped_) return;
    stopped_ = true;
    pipeline_.haltMicrophone();
    branches_.clear();
    // The encoders are off the pipeline: nothing reaches the server after this.
    webrtc_.reset();
    browser_.reset();
    encoder_.reset();
    server_->setBrowserTap(nullptr);
    pusher_.reset();
    // The mappings go with the broadcast, before the ports they point at close.
    mapper_.reset();
    server_->stop();
}

uint16_t LiveBroadcast::webrtcPort() const {
    NetworkSink *sink = server_->sink();
    return sink && sink->running() ? sink->webrtcPort() : 0;
}

std::optional<uint64_t> LiveBroadcast::streamStartClockNs() const {
    return encoder_ ? encoder_->streamStartClockNs() : std::nullopt;
}

}  // namespace morlanex
