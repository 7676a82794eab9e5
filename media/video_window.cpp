#include "media/video_window.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

namespace morlanex {

TVideoWindow::~TVideoWindow()
{
    setFilterGraph(nullptr);
}

void TVideoWindow::adding()
{
    GstElement *queue = gst_element_factory_make("queue", nullptr);
    GstElement *convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement *scale = gst_element_factory_make("videoscale", nullptr);
    GstElement *size = gst_element_factory_make("capsfilter", nullptr);
    GstElement *sink = gst_element_factory_make("appsink", "renderer");
    // Leaky: a slow painter loses frames instead of holding up the camera.
    g_object_set(queue, "max-size-buffers", 2u, "max-size-bytes", 0u, "max-size-time",
                 guint64(0), "leaky", 2 /* downstream */, nullptr);
    g_object_set(scale, "add-borders", FALSE, nullptr);
    GstCaps *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGB", "width",
                                        G_TYPE_INT, kWidth, "height", G_TYPE_INT, kHeight,
                                        "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    g_object_set(size, "caps", caps, nullptr);
    gst_caps_unref(caps);
    g_object_set(sink, "sync", FALSE, "max-buffers", 1u, "drop", TRUE, "qos", FALSE, nullptr);

    gst_bin_add_many(GST_BIN(bin_), queue, convert, scale, size, sink, nullptr);
    gst_element_link_many(queue, convert, scale, size, sink, nullptr);

    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink *appsink, gpointer self) {
        return static_cast<GstFlowReturn>(static_cast<TVideoWindow *>(self)->onSample(appsink));
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);

    GstPad *target = gst_element_get_static_pad(queue, "sink");
    input_ = gst_ghost_pad_new("sink", target);
    gst_object_unref(target);
    gst_element_add_pad(bin_, input_);
}

int TVideoWindow::onSample(GstAppSink *appsink)
{
    GstSample *sample = gst_app_sink_pull_sample(appsink);
    if (!sample)
        return GST_FLOW_EOS;
    GstVideoInfo info;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    GstVideoFrame frame;
    if (buffer && gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
        gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
        VideoFrame out{static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                       GST_VIDEO_FRAME_WIDTH(&frame), GST_VIDEO_FRAME_HEIGHT(&frame),
                       GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0)};
        if (callback_)
            callback_(out);
        frames_.fetch_add(1);
        gst_video_frame_unmap(&frame);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

bool TVideoWindow::connected() const
{
    return input_ && gst_pad_is_linked(input_);
}

void TVideoWindow::disconnectAll()
{
    if (!input_)
        return;
    if (GstPad *peer = gst_pad_get_peer(input_)) {
        gst_pad_unlink(peer, input_);
        gst_object_unref(peer);
    }
}

void TVideoWindow::removed()
{
    input_ = nullptr;
}

}  // namespace morlanex
