#include "media/tee_branch.h"

#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace morlanex {

namespace {

// A push into a branch ends at its first queue, so an idle tee pad comes within a frame; a
// source stuck in a push longer than this is not waited for.
constexpr std::chrono::milliseconds kIdleWait{2000};

// An input's frames on the branch's own time line: the running time less the offset, in one
// segment from 0, as a pipeline built with the branch would give them. (A pad offset alone
// leaves the frames' own times, which videorate measures against the segment's start.)
struct Restamp {
    uint64_t offsetNs;
    GstSegment segment;  // the upstream one; the streaming thread's

    static GstPadProbeReturn probe(GstPad *, GstPadProbeInfo *info, gpointer data) {
        auto *self = static_cast<Restamp *>(data);
        if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
            if (self->segment.format != GST_FORMAT_TIME) return GST_PAD_PROBE_OK;  // no time line to move
            GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            const GstClockTime pts =
                gst_segment_to_running_time(&self->segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
            // Captured before the branch came: not its stream's.
            if (!GST_CLOCK_TIME_IS_VALID(pts) || pts < self->offsetNs) return GST_PAD_PROBE_DROP;
            const GstClockTime dts =
                gst_segment_to_running_time(&self->segment, GST_FORMAT_TIME, GST_BUFFER_DTS(buffer));
            buffer = gst_buffer_make_writable(buffer);
            GST_BUFFER_PTS(buffer) = pts - self->offsetNs;
            GST_BUFFER_DTS(buffer) =
                GST_CLOCK_TIME_IS_VALID(dts) && dts >= self->offsetNs ? dts - self->offsetNs : GST_CLOCK_TIME_NONE;
            GST_PAD_PROBE_INFO_DATA(info) = buffer;
            return GST_PAD_PROBE_OK;
        }
        GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) != GST_EVENT_SEGMENT) return GST_PAD_PROBE_OK;
        gst_event_copy_segment(event, &self->segment);
        if (self->segment.format != GST_FORMAT_TIME) return GST_PAD_PROBE_OK;
        GstSegment own;
        gst_segment_init(&own, GST_FORMAT_TIME);
        GstEvent *replaced = gst_event_new_segment(&own);
        gst_event_set_seqnum(replaced, gst_event_get_seqnum(event));
        gst_event_unref(event);
        GST_PAD_PROBE_INFO_DATA(info) = replaced;
        return GST_PAD_PROBE_OK;
    }
};

struct Unlinked {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;  // guarded by mutex
};

}  // namespace

std::vector<GstElement *> addChain(GstElement *bin, GstElement *from, std::initializer_list<const char *> factories) {
    std::vector<GstElement *> made;
    for (const char *factory : factories) {
        GstElement *e = gst_element_factory_make(factory, nullptr);
        if (!e) {
            g_printerr("morlanex media: GStreamer element \"%s\" is missing\n", factory);
            for (GstElement *m : made) gst_object_unref(gst_object_ref_sink(m));
            return {};
        }
        made.push_back(e);
    }
    for (GstElement *e : made) {
        gst_bin_add(GST_BIN(bin), e);
        if (from) gst_element_link(from, e);
        from = e;
    }
    return made;
}

void addBranchInput(GstElement *bin, const char *name, GstElement *first) {
    GstPad *target = gst_element_get_static_pad(first, "sink");
    gst_element_add_pad(bin, gst_ghost_pad_new(name, target));
    gst_object_unref(target);
}

std::vector<GstElement *> addVp8Chain(GstElement *bin, const EncoderSettings &s, int keyFrameSeconds) {
    std::vector<GstElement *> video = addVideoInput(bin, s);
    GstElement *encoder = video.empty() ? nullptr : addVp8Encoder(bin, video.back(), s.videoBitrate, s.videoFramesPerSecond * keyFrameSeconds);
    if (!encoder) return {};
    video.push_back(encoder);
    return video;
}

std::vector<GstElement *> addVideoInput(GstElement *bin, const EncoderSettings &s) {
    std::vector<GstElement *> video =
        addChain(bin, nullptr, {"valve", "queue", "videoconvert", "videoscale", "videorate", "capsfilter"});
    if (video.empty()) return video;
    g_object_set(video[3], "add-borders", FALSE, nullptr);
    g_object_set(video[4], "drop-only", TRUE, "skip-to-first", TRUE, nullptr);
    GstCaps *caps =
        gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, s.width, "height",
                            G_TYPE_INT, s.height, "framerate", GST_TYPE_FRACTION, s.videoFramesPerSecond, 1,
                            "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    g_object_set(video[5], "caps", caps, nullptr);
    gst_caps_unref(caps);
    return video;
}

GstElement *addVp8Encoder(GstElement *bin, GstElement *from, int bitrate, int keyFrameDistance) {
    GstElement *encoder = gst_element_factory_make("vp8enc", nullptr);
    if (!encoder) return nullptr;
    // Real time, constant rate, no frames held back: a live picture that a viewer's buffer
    // of a few seconds plays smoothly.
    g_object_set(encoder, "deadline", gint64(1), "cpu-used", 8, "end-usage", 1 /* cbr */, "target-bitrate", bitrate,
                 "keyframe-max-dist", keyFrameDistance, "lag-in-frames", 0, "threads", 1, nullptr);
    gst_bin_add(GST_BIN(bin), encoder);
    if (from) gst_element_link(from, encoder);
    return encoder;
}

std::vector<GstElement *> addAudioChain(GstElement *bin, const EncoderSettings &s, int rate, const char *encoder) {
    std::vector<GstElement *> audio =
        addChain(bin, nullptr, {"valve", "queue", "audioconvert", "audioresample", "capsfilter", encoder});
    if (audio.empty()) return audio;
    GstCaps *caps = gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, rate, "channels", G_TYPE_INT,
                                        std::clamp(s.audioChannels, 1, 2), nullptr);
    g_object_set(audio[4], "caps", caps, nullptr);
    gst_caps_unref(caps);
    return audio;
}

void setValveAndQueue(const std::vector<GstElement *> &chain, bool open) {
    // The valve comes before the queue: a closed valve answers the tee at once, where a query
    // waiting in a queue (a device's allocation query, after the valve's reconfigure) would
    // hold up the tee and every branch beside it.
    g_object_set(chain[0], "drop", !open, nullptr);
    g_object_set(chain[1], "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time", guint64(GST_SECOND), "leaky",
                 2 /* downstream */, nullptr);
}

void forceKeyUnit(GstElement *encoder) {
    if (GstPad *src = gst_element_get_static_pad(encoder, "src")) {
        gst_pad_send_event(src, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
        gst_object_unref(src);
    }
}

ValveGate::~ValveGate() {
    for (GstElement *v : valves) gst_object_unref(v);
    if (videoEncoder) gst_object_unref(videoEncoder);
}

void ValveGate::adoptLocked(const std::vector<GstElement *> &video, const std::vector<GstElement *> &audio) {
    for (const std::vector<GstElement *> *chain : {&video, &audio}) {
        if (chain->empty()) continue;
        setValveAndQueue(*chain, open);
        valves.push_back(GST_ELEMENT(gst_object_ref((*chain)[0])));
    }
    if (!video.empty()) videoEncoder = GST_ELEMENT(gst_object_ref(video.back()));
}

void ValveGate::setOpenLocked(bool wanted) {
    if (wanted == open) return;
    open = wanted;
    for (GstElement *v : valves) g_object_set(v, "drop", !open, nullptr);
    if (open) askKeyFrameLocked();
}

void ValveGate::askKeyFrameLocked() {
    if (keyFrameHook)
        keyFrameHook();
    else if (videoEncoder)
        forceKeyUnit(videoEncoder);
}

uint64_t TeeBranch::runningTime(GstElement *pipeline) {
    GstState state = GST_STATE_NULL;
    gst_element_get_state(pipeline, &state, nullptr, 0);
    GstClock *clock = state == GST_STATE_PLAYING ? gst_element_get_clock(pipeline) : nullptr;
    if (!clock) return 0;
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const GstClockTime base = gst_element_get_base_time(pipeline);
    return now > base ? now - base : 0;
}

TeeBranch::TeeBranch(GstElement *pipeline, GstElement *bin, GstElement *videoTee, GstElement *audioTee,
                     uint64_t offsetNs)
    : pipeline_(pipeline), bin_(GST_ELEMENT(gst_object_ref_sink(bin))) {
    gst_bin_add(GST_BIN(pipeline_), bin_);
    gst_element_sync_state_with_parent(bin_);
    for (auto [tee, name] : {std::pair{videoTee, "video"}, std::pair{audioTee, "audio"}}) {
        GstPad *binPad = tee ? gst_element_get_static_pad(bin_, name) : nullptr;
        if (!binPad) continue;
        GstPad *teePad = gst_element_request_pad_simple(tee, "src_%u");
        auto *restamp = new Restamp{offsetNs, {}};
        gst_segment_init(&restamp->segment, GST_FORMAT_UNDEFINED);
        gst_pad_add_probe(binPad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                          Restamp::probe, restamp, [](gpointer data) { delete static_cast<Restamp *>(data); });
        // A branch converts what it gets, so it has no buffer pool to offer the device; and an
        // allocation query waits in a queue until the queue is empty, which a muxer waiting for
        // its other input may never let it be: the device's thread, and with it every branch
        // beside this one, would wait as well.
        gst_pad_add_probe(
            binPad, GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM,
            [](GstPad *, GstPadProbeInfo *info, gpointer) {
                return GST_QUERY_TYPE(GST_PAD_PROBE_INFO_QUERY(info)) == GST_QUERY_ALLOCATION ? GST_PAD_PROBE_HANDLED
                                                                                              : GST_PAD_PROBE_OK;
            },
            nullptr, nullptr);
        if (gst_pad_link(teePad, binPad) != GST_PAD_LINK_OK)
            g_printerr("morlanex media: the %s branch could not be linked\n", name);
        links_.push_back({tee, teePad, binPad});
    }
}

TeeBranch::~TeeBranch() {
    for (const Link &link : links_) {
        unlink(link);
        gst_element_release_request_pad(link.tee, link.teePad);
        gst_object_unref(link.teePad);
        gst_object_unref(link.binPad);
    }
    gst_element_set_state(bin_, GST_STATE_NULL);
    gst_bin_remove(GST_BIN(pipeline_), bin_);
    gst_object_unref(bin_);
}

void TeeBranch::unlink(const Link &link) {
    auto unlinked = std::make_shared<Unlinked>();
    struct Probe {
        std::shared_ptr<Unlinked> state;
        GstPad *binPad;  // reference held
        ~Probe() { gst_object_unref(binPad); }
    };
    gst_pad_add_probe(
        link.teePad, GST_PAD_PROBE_TYPE_IDLE,
        [](GstPad *pad, GstPadProbeInfo *, gpointer data) {
            auto *probe = static_cast<Probe *>(data);
            gst_pad_unlink(pad, probe->binPad);
            std::lock_guard lock(probe->state->mutex);
            probe->state->done = true;
            probe->state->changed.notify_all();
            return GST_PAD_PROBE_REMOVE;
        },
        new Probe{unlinked, GST_PAD(gst_object_ref(link.binPad))},
        [](gpointer data) { delete static_cast<Probe *>(data); });
    std::unique_lock lock(unlinked->mutex);
    if (!unlinked->changed.wait_for(lock, kIdleWait, [&] { return unlinked->done; })) {
        g_printerr("morlanex media: a tee pad stayed busy; unlinked while streaming\n");
        lock.unlock();
        gst_pad_unlink(link.teePad, link.binPad);
    }
}

}  // namespace morlanex
