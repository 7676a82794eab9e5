#include "media/live_broadcast.h"

#include "media/browser_encoder.h"
#include "media/live_encoder.h"
#include "media/netsink/network_sink.h"
#include "media/tee_branch.h"
#include "media/webrtc_encoder.h"

namespace morlanex {

LiveBroadcast::LiveBroadcast(CapturePipeline &pipeline, const LiveInputs &inputs, const LiveSettings &settings)
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
