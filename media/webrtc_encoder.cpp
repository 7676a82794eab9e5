#include "media/webrtc_encoder.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <mutex>
#include <vector>

#include "media/live_server.h"
#include "media/tee_branch.h"

namespace morlanex {

namespace {

constexpr int kOpusBitrate = 64000;

// What an appsink hands on: the encoder, and which kind (and VP8 rendition) its frames are.
struct Output {
    LiveServer *server;
    RtcMedia kind;
    std::atomic<uint64_t> *frames;
    uint8_t rendition = 0;
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
            out->server->pushRtcFrame(out->kind, {map.data, map.size}, GST_CLOCK_TIME_IS_VALID(pts) ? pts : 0, key,
                                      out->rendition);
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
        if (open) askKeyFrameLocked();
    }
    // Every rendition's encoder gives its key frame at the same picture: the request goes down
    // with the pictures, ahead of the next one, to all of them.
    std::atomic<bool> keyFrameWanted{false};
    static GstPadProbeReturn beforePicture(GstPad *pad, GstPadProbeInfo *, gpointer data) {
        const std::shared_ptr<Gate> gate = static_cast<std::weak_ptr<Gate> *>(data)->lock();
        if (gate && gate->keyFrameWanted.exchange(false))
            gst_pad_push_event(pad, gst_video_event_new_downstream_force_key_unit(GST_CLOCK_TIME_NONE,
                                                                                  GST_CLOCK_TIME_NONE,
                                                                                  GST_CLOCK_TIME_NONE, TRUE, 0));
        return GST_PAD_PROBE_OK;
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
    // One picture to every rendition's encoder, each into its own appsink.
    std::vector<GstElement *> video = addVideoInput(bin, settings_);
    GstElement *split = video.empty() ? nullptr : addChain(bin, video.back(), {"tee"}).front();
    const std::vector<uint32_t> rates = webrtcVideoRates(settings_);
    bool complete = split != nullptr;
    for (size_t r = 0; complete && r < rates.size(); ++r) {
        const std::vector<GstElement *> chain = addChain(bin, split, {"queue"});
        GstElement *encoder = chain.empty() ? nullptr
                                            : addVp8Encoder(bin, chain[0], int(rates[r]),
                                                            settings_.videoFramesPerSecond * kKeyFrameSeconds);
        GstElement *out = encoder ? makeAppSink(bin, new Output{server_, RtcMedia::Vp8, &frames_, uint8_t(r)}) : nullptr;
        complete = out != nullptr;
        if (!complete) break;
        // Frames that do not depend on a lost one's probability tables: a viewer over UDP loses some.
        gst_util_set_object_arg(G_OBJECT(encoder), "error-resilient", "default");
        gst_element_link(encoder, out);
    }
    std::vector<GstElement *> audio;
    if (withAudio) audio = addAudioChain(bin, settings_, kAudioRate, "opusenc");
    GstElement *audioOut = audio.empty() ? nullptr : makeAppSink(bin, new Output{server_, RtcMedia::Opus, &frames_});
    if (!complete || (withAudio && !audioOut)) {
        g_printerr("morlanex media: the WebRTC encoder is missing elements\n");
        gst_object_unref(gst_object_ref_sink(bin));
        return nullptr;
    }
    addBranchInput(bin, "video", video[0]);
    GstPad *before = gst_element_get_static_pad(video.back(), "src");
    gst_pad_add_probe(before, GST_PAD_PROBE_TYPE_BUFFER, Gate::beforePicture, new std::weak_ptr<Gate>(gate_),
                      [](gpointer data) { delete static_cast<std::weak_ptr<Gate> *>(data); });
    gst_object_unref(before);
    if (!audio.empty()) {
        addBranchInput(bin, "audio", audio[0]);
        gst_util_set_object_arg(G_OBJECT(audio.back()), "frame-size", "20");
        g_object_set(audio.back(), "bitrate", kOpusBitrate, nullptr);
        gst_element_link(audio.back(), audioOut);
    }

    std::lock_guard lock(gate_->mutex);
    gate_->adoptLocked(video, audio);
    gate_->keyFrameHook = [g = gate_.get()] { g->keyFrameWanted = true; };
    return bin;
}

}  // namespace morlanex
