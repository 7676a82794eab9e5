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

// Lets every step-th picture through, counting from the one a key frame is asked for ahead of:
// the top rendition's key frames fall on pictures this rendition encodes too.
struct Thinning {
    int step;
    int count = 0;  // of this streaming thread only
    static GstPadProbeReturn probe(GstPad *, GstPadProbeInfo *info, gpointer data) {
        auto *t = static_cast<Thinning *>(data);
        if (!(info->type & GST_PAD_PROBE_TYPE_BUFFER)) {
            if (gst_video_event_is_force_key_unit(GST_PAD_PROBE_INFO_EVENT(info))) t->count = 0;
            return GST_PAD_PROBE_OK;
        }
        const bool pass = t->count == 0;
        t->count = (t->count + 1) % t->step;
        return pass ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
    }
};

// A rendition's way from the tee to its encoder: a queue, and for a smaller picture than the
// level's thinning and scaling. Null when an element is missing.
GstElement *addRendition(GstElement *bin, GstElement *split, const EncoderSettings &s, const WebrtcRendition &r) {
    const bool smaller = r.width != s.width || r.height != s.height;
    const std::vector<GstElement *> chain =
        smaller ? addChain(bin, split, {"queue", "videoscale", "capsfilter"}) : addChain(bin, split, {"queue"});
    if (chain.empty()) return nullptr;
    if (smaller) {
        g_object_set(chain[1], "add-borders", FALSE, nullptr);
        GstCaps *caps = gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, r.width, "height", G_TYPE_INT,
                                            r.height, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
        g_object_set(chain[2], "caps", caps, nullptr);
        gst_caps_unref(caps);
    }
    if (r.frameStep > 1) {
        GstPad *out = gst_element_get_static_pad(chain[0], "src");
        gst_pad_add_probe(out, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                          Thinning::probe, new Thinning{r.frameStep},
                          [](gpointer data) { delete static_cast<Thinning *>(data); });
        gst_object_unref(out);
    }
    // Its own count of pictures between key frames: the same moments as the top's.
    const int keyFrameDistance = s.videoFramesPerSecond * WebRtcEncoder::kKeyFrameSeconds / r.frameStep;
    GstElement *encoder = addVp8Encoder(bin, chain.back(), int(r.bitrate), keyFrameDistance);
    // Frames that do not depend on a lost one's probability tables: a viewer over UDP loses some.
    if (encoder) gst_util_set_object_arg(G_OBJECT(encoder), "error-resilient", "default");
    return encoder;
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
    const std::vector<GstElement *> tee = video.empty() ? video : addChain(bin, video.back(), {"tee"});
    GstElement *split = tee.empty() ? nullptr : tee[0];
    const std::vector<WebrtcRendition> renditions = webrtcRenditions(settings_);
    bool complete = split != nullptr;
    for (size_t r = 0; complete && r < renditions.size(); ++r) {
        GstElement *encoder = addRendition(bin, split, settings_, renditions[r]);
        GstElement *out = encoder ? makeAppSink(bin, new Output{server_, RtcMedia::Vp8, &frames_, uint8_t(r)}) : nullptr;
        complete = out != nullptr;
        if (complete) gst_element_link(encoder, out);
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
        g_object_set(audio.back(), "bitrate", kWebrtcOpusBitrate, nullptr);
        gst_element_link(audio.back(), audioOut);
    }

    std::lock_guard lock(gate_->mutex);
    gate_->adoptLocked(video, audio);
    gate_->keyFrameHook = [g = gate_.get()] { g->keyFrameWanted = true; };
    return bin;
}

}  // namespace morlanex
