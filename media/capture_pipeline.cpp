#include "media/capture_pipeline.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "media/live_encoder.h"
#include "media/netsink/network_sink.h"
#include "media/recording_mixer.h"

namespace morlanex {

std::vector<GstElement *> addChain(GstElement *bin, GstElement *from, std::initializer_list<const char *> factories)
{
    std::vector<GstElement *> made;
    for (const char *factory : factories) {
        GstElement *e = gst_element_factory_make(factory, nullptr);
        if (!e) {
            g_printerr("morlanex media: GStreamer element \"%s\" is missing\n", factory);
            for (GstElement *m : made)
                gst_object_unref(gst_object_ref_sink(m));
            return {};
        }
        made.push_back(e);
    }
    for (GstElement *e : made) {
        gst_bin_add(GST_BIN(bin), e);
        gst_element_link(from, e);
        from = e;
    }
    return made;
}

CapturePipeline::CapturePipeline()
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    pipeline_ = gst_pipeline_new("capture");
}

CapturePipeline::~CapturePipeline()
{
    clear();
    gst_object_unref(pipeline_);
}

void CapturePipeline::clear()
{
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    if (encoder_)
        encoder_->stop();
    while (GList *child = GST_BIN_CHILDREN(pipeline_))
        gst_bin_remove(GST_BIN(pipeline_), GST_ELEMENT(child->data));
    encoder_.reset();  // after its appsinks are gone: no frame reaches it any more
    cameraFormat_ = microphoneFormat_ = nullptr;
    built_ = false;
}

GstElement *CapturePipeline::addSource(GstDevice *device, const std::string &caps, GstElement *&format)
{
    GstElement *source = gst_device_create_element(device, nullptr);
    if (!source)
        return nullptr;
    gst_bin_add(GST_BIN(pipeline_), source);
    std::vector<GstElement *> chain = addChain(pipeline_, source, {"capsfilter", "tee"});
    if (chain.empty())
        return nullptr;
    format = chain[0];
    if (!caps.empty()) {
        GstCaps *c = gst_caps_from_string(caps.c_str());
        g_object_set(format, "caps", c, nullptr);
        gst_caps_unref(c);
    }
    return chain[1];
}

void CapturePipeline::addPreview(GstElement *tee)
{
    std::vector<GstElement *> chain = addChain(pipeline_, tee, {"queue", "videoconvert", "videoscale", "capsfilter",
                                                                "appsink"});
    if (chain.empty())
        return;
    // Leaky: a slow painter loses frames instead of holding up the camera.
    g_object_set(chain[0], "max-size-buffers", 2u, "max-size-bytes", 0u, "max-size-time", guint64(0), "leaky",
                 2 /* downstream */, nullptr);
    g_object_set(chain[2], "add-borders", FALSE, nullptr);
    GstCaps *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGB", "width", G_TYPE_INT,
                                        kPreviewWidth, "height", G_TYPE_INT, kPreviewHeight, "pixel-aspect-ratio",
                                        GST_TYPE_FRACTION, 1, 1, nullptr);
    g_object_set(chain[3], "caps", caps, nullptr);
    gst_caps_unref(caps);
    g_object_set(chain[4], "sync", FALSE, "max-buffers", 1u, "drop", TRUE, "qos", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink *appsink, gpointer data) {
        auto *self = static_cast<CapturePipeline *>(data);
        GstSample *sample = gst_app_sink_pull_sample(appsink);
        if (!sample)
            return GST_FLOW_EOS;
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

void CapturePipeline::postError(const std::string &text)
{
    GError *error = g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND, text.c_str());
    gst_element_post_message(pipeline_, gst_message_new_error(GST_OBJECT(pipeline_), error, nullptr));
    g_error_free(error);
}

void CapturePipeline::build(const CaptureDescription &description)
{
    clear();
    // Whatever an earlier build said is no longer news.
    GstBus *bus = gst_element_get_bus(pipeline_);
    gst_bus_set_flushing(bus, TRUE);
    gst_bus_set_flushing(bus, FALSE);
    gst_object_unref(bus);
    description_ = description;
    errorSeen_ = false;
    built_ = true;

    const bool live = description.live.has_value();
    GstElement *microphone = live && description.microphone
                                 ? addSource(description.microphone.get(), description.microphoneCaps, microphoneFormat_)
                                 : nullptr;
    GstElement *camera =
        description.camera ? addSource(description.camera.get(), description.cameraCaps, cameraFormat_) : nullptr;
    const bool microphoneMissing = live && description.microphone && !microphone;
    const bool cameraMissing = description.camera && !camera;
    if (live && (cameraMissing || microphoneMissing)) {
        clear();
        throw MediaError(kInterfaceNotSupported);
    }
    if (cameraMissing)
        postError("The camera is not available.");
    if (!camera)
        return;
    addPreview(camera);
    if (!live)
        return;
    if (description.recordingLine >= 0 && description.microphone) {
        if (std::unique_ptr<RecordingMixer> mixer = recordingMixerFor(description.microphone.get()))
            mixer->setEnabled(description.recordingLine, true);
    }
    encoder_ = std::make_unique<LiveEncoder>(*description.live);
    if (!encoder_->link(pipeline_, camera, microphone))
        postError("The live encoder could not be built.");
}

void CapturePipeline::play()
{
    if (built_)
        gst_element_set_state(pipeline_, GST_STATE_PLAYING);
}

void CapturePipeline::stop()
{
    gst_element_set_state(pipeline_, GST_STATE_NULL);
}

int CapturePipeline::busDescriptor() const
{
    GstBus *bus = gst_element_get_bus(pipeline_);
    GPollFD fd{};
    gst_bus_get_pollfd(bus, &fd);
    gst_object_unref(bus);
    return fd.fd;
}

std::vector<PipelineEvent> CapturePipeline::takeEvents()
{
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
                events.push_back({PipelineEvent::Paused, {}});
            break;
        }
        case GST_MESSAGE_ERROR: {
            // One failure makes several elements report; the first says why.
            if (errorSeen_)
                break;
            errorSeen_ = true;
            GError *error = nullptr;
            gchar *debug = nullptr;
            gst_message_parse_error(message, &error, &debug);
            const std::string text = error && error->message ? error->message : "Unknown error";
            if (debug)
                g_printerr("morlanex media: %s (%s)\n", text.c_str(), debug);
            g_clear_error(&error);
            g_free(debug);
            events.push_back({PipelineEvent::Error, text});
            break;
        }
        case GST_MESSAGE_EOS:
            events.push_back({PipelineEvent::Ended, {}});
            break;
        default:
            break;
        }
        gst_message_unref(message);
    }
    gst_object_unref(bus);
    return events;
}

std::string CapturePipeline::formatInUse(DeviceKind kind) const
{
    GstElement *format = kind == DeviceKind::Camera ? cameraFormat_ : microphoneFormat_;
    if (!format)
        return {};
    GstCaps *caps = nullptr;
    g_object_get(format, "caps", &caps, nullptr);
    return takeCapsText(caps);
}

bool CapturePipeline::sinkOpen() const { return encoder_ && encoder_->sinkOpen(); }
std::string CapturePipeline::sinkError() const { return encoder_ ? encoder_->sinkError() : std::string(); }
NetworkSink *CapturePipeline::networkSink() const { return encoder_ ? encoder_->sink() : nullptr; }
uint64_t CapturePipeline::packetsOut() const { return encoder_ ? encoder_->packetsOut() : 0; }
std::optional<uint64_t> CapturePipeline::streamStartClockNs() const
{
    return encoder_ ? encoder_->streamStartClockNs() : std::nullopt;
}

}  // namespace morlanex
