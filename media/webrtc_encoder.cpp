#include "media/webrtc_encoder.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <mutex>
#include <vector>

#include "media/live_server.h"
#include "media/tee_branch.h"

namespace morlanex {

namespace {

constexpr int kOpusBitrate = 64000;

// What an appsink hands on: the encoder, and which kind its frames are.
struct Output {
    LiveServer *server;
    RtcMedia kind;
    std::atomic<uint64_t> *frames;
};

GstFlowReturn onSample(GstAppSink *sink, gpointer data) {
    const auto *out = static_cast<const Output *>(data);
    GstSample *sample = gst_app_sink_pull_sample(sink);
    if (!sample) return GST_FLOW_OK;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        const GstClockTime pts = GST_BUFFER_PTS(buffer);
        const bool key = out->kind == RtcMedia::Vp8 && !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        if (out->server)
            out->server->pushRtcFrame(out->kind, {map.data, map.size}, GST_CLOCK_TIME_IS_VALID(pts) ? pts : 0, key);
        out->frames->fetch_add(1);
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

GstElement *makeAppSink(GstElement *bin, Output *out) {
    GstElement *sink = gst_element_factory_make("appsink", nullptr);
    if (!sink) return nullptr;
    g_object_set(sink, "sync", FALSE, "async", FALSE, "qos", FALSE, "max-buffers", 0u, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = onSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, out,
                               [](gpointer d) { delete static_cast<Output *>(d); });
    gst_bin_add(GST_BIN(bin), sink);
    return sink;
}

}  // namespace

// Closed until someone watches.
struct WebRtcEncoder::Gate : ValveGate {
    Gate() : ValveGate(false) {}
    // Read under the lock, so that of two changes close together the later one holds.
    void follow(const LiveServer &server) {
        std::lock_guard lock(mutex);
        setOpenLocked(server.webrtcWatched());
    }
    void forceKeyFrame() {
        std::lock_guard lock(mutex);
        if (open && videoEncoder) forceKeyUnit(videoEncoder);
    }
};

WebRtcEncoder::WebRtcEncoder(const EncoderSettings &settings) : settings_(settings), gate_(std::make_shared<Gate>()) {}

WebRtcEncoder::~WebRtcEncoder() {
    if (server_) {
        server_->setWebrtcListener({});
        server_->setKeyFrameRequester({});
    }
}

void WebRtcEncoder::serveWith(LiveServer *server) {
    server_ = server;
    std::weak_ptr<Gate> gate = gate_;
    server->setWebrtcListener([gate, server] {
        if (std::shared_ptr<Gate> g = gate.lock()) g->follow(*server);
    });
    server->setKeyFrameRequester([gate] {
        if (std::shared_ptr<Gate> g = gate.lock()) g->forceKeyFrame();
    });
    gate_->follow(*server);
}

bool WebRtcEncoder::encoding() const {
    std::lock_guard lock(gate_->mutex);
    return gate_->open;
}

GstElement *WebRtcEncoder::makeBranch(bool withAudio) {
    GstElement *bin = gst_bin_new("webrtc-encoder");
    std::vector<GstElement *> video = addVp8Chain(bin, settings_, kKeyFrameSeconds);
    std::vector<GstElement *> audio;
    if (withAudio) audio = addAudioChain(bin, settings_, kAudioRate, "opusenc");
    GstElement *videoOut = video.empty() ? nullptr : makeAppSink(bin, new Output{server_, RtcMedia::Vp8, &frames_});
    GstElement *audioOut = audio.empty() ? nullptr : makeAppSink(bin, new Output{server_, RtcMedia::Opus, &frames_});
    if (!videoOut || (withAudio && !audioOut)) {
        g_printerr("morlanex media: the WebRTC encoder is missing elements\n");
        gst_object_unref(gst_object_ref_sink(bin));
        return nullptr;
    }
    addBranchInput(bin, "video", video[0]);
    // Frames that do not depend on a lost one's probability tables: a viewer over UDP loses some.
    gst_util_set_object_arg(G_OBJECT(video.back()), "error-resilient", "default");
    gst_element_link(video.back(), videoOut);
    if (!audio.empty()) {
        addBranchInput(bin, "audio", audio[0]);
        gst_util_set_object_arg(G_OBJECT(audio.back()), "frame-size", "20");
        g_object_set(audio.back(), "bitrate", kOpusBitrate, nullptr);
        gst_element_link(audio.back(), audioOut);
    }

    std::lock_guard lock(gate_->mutex);
    gate_->adoptLocked(video, audio);
    return bin;
}

}  // namespace morlanex
