#include "media/asf_writer.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include "media/filter_graph.h"
#include "media/netsink/network_sink.h"

namespace morlanex {

namespace {

GstElement *make(const char *factory, const char *name = nullptr)
{
    GstElement *e = gst_element_factory_make(factory, name);
    if (!e)
        g_printerr("morlanex media: GStreamer element \"%s\" is missing\n", factory);
    return e;
}

}  // namespace

TASFWriter::TASFWriter(std::string name) : GraphComponent(std::move(name)) {}

TASFWriter::~TASFWriter()
{
    setFilterGraph(nullptr);
}

int TASFWriter::Profile() const
{
    return mux_ ? configuredProfile_ : static_cast<int>(profile_);
}

void TASFWriter::adding()
{
    mux_ = make("asfmux", "mux");
    GstElement *out = make("appsink", "stream");
    if (!mux_ || !out) {
        if (mux_)
            gst_object_unref(gst_object_ref_sink(mux_));
        if (out)
            gst_object_unref(gst_object_ref_sink(out));
        mux_ = nullptr;
        return;
    }
    g_object_set(mux_, "streamable", TRUE, "packet-size", kPacketSizeBytes, "preroll",
                 guint64(kPrerollMs), nullptr);
    g_object_set(out, "sync", FALSE, "async", FALSE, "qos", FALSE, "max-buffers", 0u, nullptr);
    gst_bin_add_many(GST_BIN(bin_), mux_, out, nullptr);
    gst_element_link(mux_, out);

    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink *appsink, gpointer self) {
        return static_cast<GstFlowReturn>(static_cast<TASFWriter *>(self)->onSample(appsink));
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(out), &callbacks, this, nullptr);
}

void TASFWriter::added()
{
    sinkError_.clear();
    configuredProfile_ = kUnknownProfile;
    if (!mux_)
        return;
    // The profile fixes the inputs: audio first, then video.
    if (std::optional<EncoderSettings> settings = encoderSettings(profile_)) {
        configuredProfile_ = profile_;
        if (!buildBranch(audio_, true, *settings) || !buildBranch(video_, false, *settings)) {
            dropBranch(audio_);
            dropBranch(video_);
        }
    }

    if (Port == 0 || MaxUsers == 0 || Port > 65535)
        return;
    NetworkSinkConfig config;
    config.bindAddress = BindAddress;
    config.port = static_cast<uint16_t>(Port);
    config.maxClients = MaxUsers;
    if (std::optional<EncoderSettings> settings = encoderSettings(profile_))
        config.maxBitrateBps = static_cast<uint32_t>(settings->videoBitrate + settings->audioBitrate);
    auto sink = std::make_unique<NetworkSink>(std::move(config));
    std::string error;
    if (sink->start(&error))
        sink_ = std::move(sink);
    else
        sinkError_ = error.empty() ? "cannot open port " + std::to_string(Port) : error;
}

bool TASFWriter::buildBranch(Branch &branch, bool audio, const EncoderSettings &s)
{
    std::vector<const char *> chain;
    if (audio)
        chain = {"queue", "audioconvert", "audioresample", "capsfilter", "avenc_wmav2", "identity"};
    else
        chain = {"queue", "videoconvert", "videoscale", "videorate", "capsfilter", "avenc_wmv2",
                 "identity"};
    for (const char *factory : chain) {
        GstElement *e = make(factory);
        if (!e) {
            for (GstElement *made : branch.elements)
                gst_object_unref(gst_object_ref_sink(made));
            branch.elements.clear();
            return false;
        }
        branch.elements.push_back(e);
    }
    GstElement *first = branch.elements.front();
    GstElement *caps = branch.elements[audio ? 3 : 4];
    GstElement *encoder = branch.elements[audio ? 4 : 5];
    GstElement *identity = branch.elements.back();

    // A live queue that never blocks the camera or microphone for long.
    g_object_set(first, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time",
                 guint64(2 * GST_SECOND), "leaky", 2 /* downstream */, nullptr);
    GstCaps *c;
    if (audio) {
        c = gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, s.audioSampleRate, "channels",
                                G_TYPE_INT, s.audioChannels, nullptr);
        g_object_set(encoder, "bitrate", s.audioBitrate, nullptr);
    } else {
        g_object_set(branch.elements[2], "add-borders", FALSE, nullptr);
        g_object_set(branch.elements[3], "drop-only", TRUE, nullptr);
        c = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width",
                                G_TYPE_INT, s.width, "height", G_TYPE_INT, s.height,
                                "framerate", GST_TYPE_FRACTION, s.videoFramesPerSecond, 1,
                                "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
        g_object_set(encoder, "bitrate", s.videoBitrate, "gop-size",
                     s.videoFramesPerSecond * s.keyFrameSeconds, nullptr);
    }
    g_object_set(caps, "caps", c, nullptr);
    gst_caps_unref(c);
    // The encoder's output segment may start far from zero; players would then drop every
    // packet as late. One segment from zero keeps the muxed times where they belong.
    g_object_set(identity, "single-segment", TRUE, nullptr);

    for (GstElement *e : branch.elements)
        gst_bin_add(GST_BIN(bin_), e);
    for (size_t i = 1; i < branch.elements.size(); ++i)
        gst_element_link(branch.elements[i - 1], branch.elements[i]);

    branch.muxPad = gst_element_request_pad_simple(mux_, audio ? "audio_%u" : "video_%u");
    GstPad *out = gst_element_get_static_pad(identity, "src");
    const bool linked = branch.muxPad && gst_pad_link(out, branch.muxPad) == GST_PAD_LINK_OK;
    gst_object_unref(out);
    GstPad *target = gst_element_get_static_pad(first, "sink");
    branch.input = gst_ghost_pad_new(audio ? "audio" : "video", target);
    gst_object_unref(target);
    gst_element_add_pad(bin_, branch.input);
    return linked;
}

void TASFWriter::dropBranch(Branch &branch)
{
    if (branch.input) {
        if (GstPad *peer = gst_pad_get_peer(branch.input)) {
            gst_pad_unlink(peer, branch.input);
            gst_object_unref(peer);
        }
        gst_element_remove_pad(bin_, branch.input);
    }
    for (GstElement *e : branch.elements) {
        gst_element_set_state(e, GST_STATE_NULL);
        gst_bin_remove(GST_BIN(bin_), e);
    }
    if (branch.muxPad) {
        gst_element_release_request_pad(mux_, branch.muxPad);
        gst_object_unref(branch.muxPad);
    }
    branch = Branch{};
}

void TASFWriter::beforeRun()
{
    // The muxer waits for every input it has; an input nothing feeds must go.
    if (audio_.input && !gst_pad_is_linked(audio_.input))
        dropBranch(audio_);
    if (video_.input && !gst_pad_is_linked(video_.input))
        dropBranch(video_);
}

bool TASFWriter::connected() const
{
    return (audio_.input && gst_pad_is_linked(audio_.input)) ||
           (video_.input && gst_pad_is_linked(video_.input));
}

void TASFWriter::disconnectAll()
{
    for (Branch *b : {&audio_, &video_}) {
        if (b->input) {
            if (GstPad *peer = gst_pad_get_peer(b->input)) {
                gst_pad_unlink(peer, b->input);
                gst_object_unref(peer);
            }
        }
    }
}

int TASFWriter::onSample(GstAppSink *appsink)
{
    GstSample *sample = gst_app_sink_pull_sample(appsink);
    if (!sample)
        return GST_FLOW_EOS;
    if (GstBuffer *buffer = gst_sample_get_buffer(sample))
        handleBuffer(buffer);
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

void TASFWriter::handleBuffer(GstBuffer *buffer)
{
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
        return;
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER)) {
        if (observer_)
            observer_(true, map.data, map.size);
        if (sink_) {
            std::string error;
            if (!sink_->setHeader(map.data, map.size, &error))
                g_printerr("morlanex media: stream header refused: %s\n", error.c_str());
        }
    } else {
        // The muxer emits whole packets; hand them over one by one even if it joins some.
        for (size_t at = 0; at < map.size; at += kPacketSizeBytes) {
            const size_t size = std::min<size_t>(kPacketSizeBytes, map.size - at);
            if (observer_)
                observer_(false, map.data + at, size);
            if (sink_)
                sink_->pushPacket(map.data + at, size);
            packets_.fetch_add(1);
        }
    }
    gst_buffer_unmap(buffer, &map);
}

void TASFWriter::removing()
{
    // The pipeline has stopped: no more output reaches the sink.
    if (sink_)
        sink_->stop();
}

void TASFWriter::removed()
{
    sink_.reset();
    mux_ = nullptr;
    for (Branch *b : {&audio_, &video_}) {
        if (b->muxPad)
            gst_object_unref(b->muxPad);
    }
    audio_ = Branch{};
    video_ = Branch{};
}

}  // namespace morlanex
