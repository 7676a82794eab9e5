#include "media/live_server.h"

#include <cstdio>

#include "media/browser_encoder.h"

namespace morlanex {

void LiveServer::Relay::changed(bool value) { update(&bySink, value); }

void LiveServer::Relay::hold(bool value) { update(&held, value); }

void LiveServer::Relay::update(bool *reason, bool value) {
    std::function<void()> call;
    {
        std::lock_guard lock(mutex);
        *reason = value;
        watched = bySink || held;
        call = listener;
    }
    if (call) call();
}

void LiveServer::Relay::keyFrame() {
    std::function<void()> call;
    {
        std::lock_guard lock(mutex);
        call = requester;
    }
    if (call) call();
}

LiveServer::LiveServer(const LiveSettings &settings)
    : observer_(settings.observer), rtcObserver_(settings.rtcObserver) {
    if (settings.serving.port == 0 || settings.serving.maxClients == 0) return;
    NetworkSinkConfig config;
    static_cast<ServingSettings &>(config) = settings.serving;
    std::weak_ptr<Relay> relay = relay_;
    config.mediaStreams.push_back(
        {BrowserEncoder::kStreamPath, "video/webm", BrowserEncoder::kSegmentPrefix, [relay](bool watched) {
             if (std::shared_ptr<Relay> r = relay.lock()) r->changed(watched);
         }});
    config.webrtcVideoRates = webrtcVideoRates(settings.encoder);
    std::weak_ptr<Relay> rtc = rtc_;
    config.webrtcWatchedChanged = [rtc](bool watched) {
        if (std::shared_ptr<Relay> r = rtc.lock()) r->changed(watched);
    };
    config.keyFrameWanted = [rtc] {
        if (std::shared_ptr<Relay> r = rtc.lock()) r->keyFrame();
    };
    std::weak_ptr<Outside> outside = outside_;
    config.outsideAddress = [outside]() -> std::optional<OutsideAddress> {
        std::shared_ptr<Outside> o = outside.lock();
        if (!o) return std::nullopt;
        std::lock_guard lock(o->mutex);
        return o->address;
    };
    config.pages.push_back(BrowserEncoder::playerPage());
    config.pages.push_back(BrowserEncoder::relayPlayerPage());
    auto sink = std::make_unique<NetworkSink>(std::move(config));
    std::string error;
    if (sink->start(&error))
        sink_ = std::move(sink);
    else
        error_ = error.empty() ? "cannot open port " + std::to_string(settings.serving.port) : error;
}

LiveServer::~LiveServer() { stop(); }

void LiveServer::setWebrtcOutsideAddress(std::optional<OutsideAddress> outside) {
    std::lock_guard lock(outside_->mutex);
    outside_->address = std::move(outside);
}

void LiveServer::stop() {
    if (sink_) sink_->stop();
}

void LiveServer::setHeader(std::span<const uint8_t> header) {
    if (observer_) observer_(true, header, 0);
    std::string error;
    if (sink_ && !sink_->setHeader(header.data(), header.size(), &error))
        std::fprintf(stderr, "morlanex media: stream header refused: %s\n", error.c_str());
}

void LiveServer::pushPacket(std::span<const uint8_t> packet, uint8_t rendition) {
    if (observer_) observer_(false, packet, rendition);
    // The sink gives each viewer the shared packets and those of one rendition.
    if (sink_) sink_->pushPacket(packet.data(), packet.size(), rendition);
    packets_.fetch_add(1);
}

bool LiveServer::setBrowserHeader(std::span<const uint8_t> header) {
    std::shared_ptr<const BrowserTap> tap;
    {
        std::lock_guard lock(tapMutex_);
        browserHeader_.assign(header.begin(), header.end());
        tap = tap_;
    }
    if (tap) tap->header(header);
    return !sink_ || sink_->setStreamHeader(kBrowserStream, header);
}

void LiveServer::pushBrowserChunk(std::span<const uint8_t> chunk, bool startPoint) {
    std::shared_ptr<const BrowserTap> tap;
    {
        std::lock_guard lock(tapMutex_);
        tap = tap_;
    }
    if (tap) tap->chunk(chunk, startPoint);
    if (sink_) sink_->pushChunk(kBrowserStream, chunk, startPoint);
}

void LiveServer::setBrowserTap(std::shared_ptr<const BrowserTap> tap) {
    std::vector<uint8_t> header;
    {
        std::lock_guard lock(tapMutex_);
        tap_ = tap;
        header = browserHeader_;
    }
    // Chunks that come before the header are passed over by the tap.
    if (tap && !header.empty()) tap->header(header);
    relay_->hold(tap != nullptr);
}

void LiveServer::setBrowserListener(std::function<void()> listener) {
    std::lock_guard lock(relay_->mutex);
    relay_->listener = std::move(listener);
}

void LiveServer::pushRtcFrame(RtcMedia kind, std::span<const uint8_t> frame, uint64_t ptsNs, bool keyFrame,
                              uint8_t rendition) {
    if (rtcObserver_) rtcObserver_(kind, frame, ptsNs, keyFrame, rendition);
    if (sink_) sink_->pushRtcFrame(kind, frame, ptsNs, keyFrame, rendition);
}

void LiveServer::setWebrtcListener(std::function<void()> listener) {
    std::lock_guard lock(rtc_->mutex);
    rtc_->listener = std::move(listener);
}

void LiveServer::setKeyFrameRequester(std::function<void()> requester) {
    std::lock_guard lock(rtc_->mutex);
    rtc_->requester = std::move(requester);
}

}  // namespace morlanex
