#include "media/capture_pipeline.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "media/recording_mixer.h"
#include "media/tee_branch.h"

namespace morlanex {

CapturePipeline::CapturePipeline() {
    if (!gst_is_initialized()) gst_init(nullptr, nullptr);
    pipeline_ = gst_pipeline_new("capture");
    // One clock for the pipeline's life. Left to choose, it takes a source's own (PipeWire's)
    // and picks again when the microphone joins on going live, and the frames' running times
    // jump by hours; the stream's start on the wall clock is reckoned on this one as well.
    GstClock *clock = gst_system_clock_obtain();
    gst_pipeline_use_clock(GST_PIPELINE(pipeline_), clock);
    gst_object_unref(clock);
}

CapturePipeline::~CapturePipeline() {
    clear();
    gst_object_unref(pipeline_);
}

void CapturePipeline::clear() {
    cameraWatch_.reset();
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    stopLive();
    while (GList *child = GST_BIN_CHILDREN(pipeline_)) gst_bin_remove(GST_BIN(pipeline_), GST_ELEMENT(child->data));
    cameraTee_ = cameraSource_ = cameraFormat_ = microphoneFormat_ = nullptr;
    built_ = false;
}

GstElement *CapturePipeline::addSource(const DeviceHandle &device, const std::string &caps, GstElement *&format,
                                       std::vector<GstElement *> &elements, RemovalWatch &watch) {
    GstElement *source = gst_device_create_element(device.get(), nullptr);
    if (!source) return nullptr;
    std::shared_ptr<GstElement> held(GST_ELEMENT(gst_object_ref(source)), gst_object_unref);
    watch = watchRemoval(device, [held] {
        GError *error =
            g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND, "The device was removed.");
        gst_element_post_message(held.get(), gst_message_new_error(GST_OBJECT(held.get()), error, nullptr));
        g_error_free(error);
    });
    // Frames that come without a time are stamped on arrival: the live branches drop frames
    // they cannot place (Debian 12's pipewiresrc leaves every frame untimed when the node
    // sends no header with it). A source that stamps its own is left as it is.
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(source), "do-timestamp"))
        g_object_set(source, "do-timestamp", TRUE, nullptr);
    // pipewiresrc's frames borrow the stream's memory, which it frees when it negotiates again
    // (a branch joining on going live) while frames are still on their way: it copies them.
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(source), "always-copy"))
        g_object_set(source, "always-copy", TRUE, nullptr);
    gst_bin_add(GST_BIN(pipeline_), source);
    elements.push_back(source);
    std::vector<GstElement *> chain = addChain(pipeline_, source, {"capsfilter", "tee"});
    if (chain.empty()) return nullptr;
    elements.insert(elements.end(), chain.begin(), chain.end());
    format = chain[0];
    // Its frames may come before a branch is linked (the microphone joining a pipeline on its
    // way to playing); they are dropped, not an error.
    g_object_set(chain[1], "allow-not-linked", TRUE, nullptr);
    if (!caps.empty()) {
        GstCaps *c = gst_caps_from_string(caps.c_str());
        g_object_set(format, "caps", c, nullptr);
        gst_caps_unref(c);
    }
    return chain[1];
}

void CapturePipeline::addPreview(GstElement *tee) {
    std::vector<GstElement *> chain =
        addChain(pipeline_, tee, {"queue", "videoconvert", "videoscale", "capsfilter", "appsink"});
    if (chain.empty()) return;
    // Leaky: a slow painter loses frames instead of holding up the camera.
    g_object_set(chain[0], "max-size-buffers", 2u, "max-size-bytes", 0u, "max-size-time", guint64(0), "leaky",
                 2 /* downstream */, nullptr);
    g_object_set(chain[2], "add-borders", FALSE, nullptr);
    GstCaps *caps =
        gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGB", "width", G_TYPE_INT, kPreviewWidth, "height",
                            G_TYPE_INT, kPreviewHeight, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    g_object_set(chain[3], "caps", caps, nullptr);
    gst_caps_unref(caps);
    g_object_set(chain[4], "sync", FALSE, "max-buffers", 1u, "drop", TRUE, "qos", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink *appsink, gpointer data) {
        auto *self = static_cast<CapturePipeline *>(data);
        GstSample *sample = gst_app_sink_pull_sample(appsink);
        if (!sample) return GST_FLOW_EOS;
        GstVideoInfo info;
        GstVideoFrame frame;
        GstBuffer *buffer = gst_sample_get_buffer(sample);
        if (buffer && gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
            gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
            if (self->frameCallback_)
                self->frameCallback_({static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                                      GST_VIDEO_FRAME_WIDTH(&frame), GST_VIDEO_FRAME_HEIGHT(&frame),
                                      GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0)});
            self->frames_.fetch_add(1);
            gst_video_frame_unmap(&frame);
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(chain[4]), &callbacks, this, nullptr);
}

void CapturePipeline::postError(const std::string &text) {
    GError *error = g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND, text.c_str());
    gst_element_post_message(pipeline_, gst_message_new_error(GST_OBJECT(pipeline_), error, nullptr));
    g_error_free(error);
}

void CapturePipeline::build(const CaptureDescription &description) {
    clear();
    // Whatever an earlier build said is no longer news.
    GstBus *bus = gst_element_get_bus(pipeline_);
    gst_bus_set_flushing(bus, TRUE);
    gst_bus_set_flushing(bus, FALSE);
    gst_object_unref(bus);
    description_ = description;
    errorSeen_ = false;
    built_ = true;

    const bool live = description.live;
    std::vector<GstElement *> elements;
    GstElement *camera = description.camera
        ? addSource(description.camera, description.cameraCaps, cameraFormat_, elements, cameraWatch_)
        : nullptr;
    const bool cameraMissing = description.camera && !camera;
    if (live && cameraMissing) {
        clear();
        throw MediaError(kInterfaceNotSupported);
    }
    if (cameraMissing) postError("The camera is not available.");
    if (!camera) return;
    cameraTee_ = camera;
    cameraSource_ = elements.front();
    addPreview(camera);
}

LiveInputs CapturePipeline::joinLive(const CaptureDescription &description) {
    const bool previewing =
        built_ && cameraTee_ && !errorSeen_ && description.camera && description_.camera == description.camera;
    stopLive();
    if (previewing)
        description_ = description;
    else
        build(description);
    microphoneErrorSeen_ = false;
    GstElement *microphone = nullptr;
    if (description.microphone) {
        microphone = addSource(description.microphone, description.microphoneCaps, microphoneFormat_, liveMicrophone_,
                               microphoneWatch_);
        if (!microphone) {
            clear();
            throw MediaError(kInterfaceNotSupported);
        }
        // A live microphone ends only by failing; its end of stream would end the broadcast's
        // sound for good, so it stops here and silence takes its place.
        GstPad *pad = gst_element_get_static_pad(microphoneFormat_, "sink");
        auto dropEnd = [](GstPad *, GstPadProbeInfo *info, gpointer) {
            const bool end = GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS;
            return end ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
        };
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, dropEnd, nullptr, nullptr);
        gst_object_unref(pad);
    }
    if (!description.cameraCaps.empty()) {
        // The camera renegotiates, without closing, whenever the filter is set: only on a change.
        GstCaps *wanted = gst_caps_from_string(description.cameraCaps.c_str());
        GstCaps *current = nullptr;
        g_object_get(cameraFormat_, "caps", &current, nullptr);
        if (wanted && !(current && gst_caps_is_equal(current, wanted)))
            g_object_set(cameraFormat_, "caps", wanted, nullptr);
        if (current) gst_caps_unref(current);
        if (wanted) gst_caps_unref(wanted);
    }
    if (description.recordingLine >= 0 && description.microphone) {
        if (std::unique_ptr<RecordingMixer> mixer = recordingMixerFor(description.microphone.get()))
            mixer->setEnabled(description.recordingLine, true);
    }
    live_ = true;
    return {pipeline_, cameraTee_, microphone, TeeBranch::runningTime(pipeline_)};
}

void CapturePipeline::startLive() {
    // The microphone starts once its frames have somewhere to go: its tee first.
    for (auto e = liveMicrophone_.rbegin(); e != liveMicrophone_.rend(); ++e) gst_element_sync_state_with_parent(*e);
    if (GST_STATE_TARGET(pipeline_) != GST_STATE_PLAYING) play();
}

void CapturePipeline::haltMicrophone() {
    // Before the branches go, so that it never pushes into a tee losing its last branch.
    microphoneWatch_.reset();
    for (GstElement *e : liveMicrophone_) gst_element_set_state(e, GST_STATE_NULL);
}

void CapturePipeline::stopLive() {
    if (!live_) return;
    haltMicrophone();
    for (GstElement *e : liveMicrophone_) gst_bin_remove(GST_BIN(pipeline_), e);
    liveMicrophone_.clear();
    microphoneFormat_ = nullptr;
    live_ = false;
}

void CapturePipeline::play() {
    if (built_) gst_element_set_state(pipeline_, GST_STATE_PLAYING);
}

void CapturePipeline::stop() { gst_element_set_state(pipeline_, GST_STATE_NULL); }

int CapturePipeline::busDescriptor() const {
    GstBus *bus = gst_element_get_bus(pipeline_);
    GPollFD fd{};
    gst_bus_get_pollfd(bus, &fd);
    gst_object_unref(bus);
    return fd.fd;
}

std::vector<PipelineEvent> CapturePipeline::takeEvents() {
    std::vector<PipelineEvent> events;
    GstBus *bus = gst_element_get_bus(pipeline_);
    while (GstMessage *message = gst_bus_pop(bus)) {
        switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_STATE_CHANGED: {
            GstState oldState, newState, pending;
            gst_message_parse_state_changed(message, &oldState, &newState, &pending);
            // Running passes through PAUSED: that is the pause completed.
            if (GST_MESSAGE_SRC(message) == GST_OBJECT(pipeline_) && newState == GST_STATE_PAUSED &&
                pending == GST_STATE_PLAYING)
                events.push_back({PipelineEvent::Paused, {}, {}});
            break;
        }
        case GST_MESSAGE_ERROR: {
            const std::optional<DeviceKind> device = failedDevice(GST_MESSAGE_SRC(message));
            // One failure makes several elements report; the first says why. A microphone
            // lost while live leaves the picture running.
            bool &seen = device == DeviceKind::Microphone ? microphoneErrorSeen_ : errorSeen_;
            if (seen) break;
            seen = true;
            GError *error = nullptr;
            gchar *debug = nullptr;
            gst_message_parse_error(message, &error, &debug);
            const std::string text = error && error->message ? error->message : "Unknown error";
            g_printerr("morlanex media: %s (%s)\n", text.c_str(), debug ? debug : "");
            g_clear_error(&error);
            g_free(debug);
            events.push_back({PipelineEvent::Error, text, device});
            break;
        }
        case GST_MESSAGE_EOS:
            events.push_back({PipelineEvent::Ended, {}, {}});
            break;
        default:
            break;
        }
        gst_message_unref(message);
    }
    gst_object_unref(bus);
    return events;
}

std::optional<DeviceKind> CapturePipeline::failedDevice(GstObject *source) const {
    GstElement *microphone = liveMicrophone_.empty() ? nullptr : liveMicrophone_.front();
    for (GstObject *o = source; o; o = GST_OBJECT_PARENT(o)) {
        if (cameraSource_ && o == GST_OBJECT(cameraSource_)) return DeviceKind::Camera;
        if (microphone && o == GST_OBJECT(microphone)) return DeviceKind::Microphone;
    }
    return std::nullopt;
}

bool CapturePipeline::replaceMicrophoneWithSilence() {
    if (liveMicrophone_.size() < 2) return false;
    GstElement *lost = liveMicrophone_.front();
    GstElement *silence = gst_element_factory_make("audiotestsrc", nullptr);
    if (!silence) return false;
    g_object_set(silence, "is-live", TRUE, "wave", 4 /* silence */, nullptr);
    gst_element_set_locked_state(lost, TRUE);
    gst_element_set_state(lost, GST_STATE_NULL);
    gst_bin_remove(GST_BIN(pipeline_), lost);
    gst_bin_add(GST_BIN(pipeline_), silence);
    // The format filter keeps the stream's sound format, so the encoders see no change.
    if (!gst_element_link(silence, liveMicrophone_[1])) {
        liveMicrophone_.erase(liveMicrophone_.begin());
        gst_bin_remove(GST_BIN(pipeline_), silence);
        return false;
    }
    liveMicrophone_.front() = silence;
    gst_element_sync_state_with_parent(silence);
    return true;
}

std::string CapturePipeline::formatInUse(DeviceKind kind) const {
    GstElement *format = kind == DeviceKind::Camera ? cameraFormat_ : microphoneFormat_;
    if (!format) return {};
    GstCaps *caps = nullptr;
    g_object_get(format, "caps", &caps, nullptr);
    return takeCapsText(caps);
}

void CapturePipeline::reportError(const std::string &text) { postError(text); }

}  // namespace morlanex
