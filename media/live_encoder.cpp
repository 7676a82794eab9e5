#include "media/live_encoder.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <algorithm>
#include <random>

#include "media/browser_encoder.h"
#include "media/netsink/network_sink.h"

namespace morlanex {

namespace {

constexpr size_t kMaxPendingFrames = 1000;
constexpr uint32_t kPrerollMs = 3000;

std::vector<uint8_t> codecData(const GstStructure *s)
{
    std::vector<uint8_t> bytes;
    const GValue *value = gst_structure_get_value(s, "codec_data");
    if (value && GST_VALUE_HOLDS_BUFFER(value)) {
        GstBuffer *buffer = gst_value_get_buffer(value);
        bytes.resize(gst_buffer_get_size(buffer));
        gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
    }
    return bytes;
}

AsfStreamFormat formatFromCaps(bool audio, const GstCaps *caps, const EncoderSettings &settings)
{
    const GstStructure *s = gst_caps_get_structure(caps, 0);
    AsfStreamFormat f;
    f.codecData = codecData(s);
    int value = 0;
    if (audio) {
        f.kind = AsfStreamFormat::Kind::Audio;
        f.bitrate = uint32_t(gst_structure_get_int(s, "bitrate", &value) ? value : settings.audioBitrate);
        f.channels = uint16_t(gst_structure_get_int(s, "channels", &value) ? value : settings.audioChannels);
        f.sampleRate = uint32_t(gst_structure_get_int(s, "rate", &value) ? value : settings.audioSampleRate);
        f.blockAlign = uint16_t(gst_structure_get_int(s, "block_align", &value) ? value : 1);
        f.codecName = "Windows Media Audio 8";
        f.codecDescription = std::to_string(f.bitrate / 1000) + " kbps, " + std::to_string(f.sampleRate) +
                             " Hz, " + (f.channels == 1 ? "mono" : "stereo");
    } else {
        f.kind = AsfStreamFormat::Kind::Video;
        f.bitrate = uint32_t(settings.videoBitrate);
        f.width = uint32_t(gst_structure_get_int(s, "width", &value) ? value : settings.width);
        f.height = uint32_t(gst_structure_get_int(s, "height", &value) ? value : settings.height);
        f.framesPerSecond = uint32_t(settings.videoFramesPerSecond);
        f.codecName = "Windows Media Video 8";
    }
    return f;
}

}  // namespace

uint32_t LiveEncoder::packetSizeFor(uint32_t bitsPerSecond)
{
    // About 150 ms of the stream per packet: a frame waits little for its packet to fill,
    // while the packets stay large enough that their headers cost little.
    const uint32_t bytes = bitsPerSecond / 8 * 150 / 1000;
    return std::clamp<uint32_t>(bytes, 1200, 4800);
}

LiveEncoder::LiveEncoder(LiveSettings settings) : settings_(std::move(settings))
{
    if (settings_.port == 0 || settings_.maxViewers == 0)
        return;
    NetworkSinkConfig config;
    config.bindAddress = settings_.bindAddress;
    config.port = settings_.port;
    config.maxClients = settings_.maxViewers;
    config.fanOutInterval = settings_.fanOutInterval;
    auto browser = std::make_unique<BrowserEncoder>(settings_.encoder);
    config.mediaStreams.push_back(browser->streamConfig());
    config.pages.push_back(BrowserEncoder::playerPage());
    auto sink = std::make_unique<NetworkSink>(std::move(config));
    std::string error;
    if (sink->start(&error)) {
        sink_ = std::move(sink);
        browser_ = std::move(browser);
        browser_->serveWith(sink_.get(), 1);
    } else
        sinkError_ = error.empty() ? "cannot open port " + std::to_string(settings_.port) : error;
}

LiveEncoder::~LiveEncoder()
{
    stop();
}

void LiveEncoder::stop()
{
    if (sink_)
        sink_->stop();
}

bool LiveEncoder::branch(GstElement *pipeline, GstElement *tee, bool audio)
{
    const EncoderSettings &s = settings_.encoder;
    const std::vector<GstElement *> chain =
        audio ? addChain(pipeline, tee, {"queue", "audioconvert", "audioresample", "capsfilter", "avenc_wmav2", "appsink"})
              : addChain(pipeline, tee, {"queue", "videoconvert", "videoscale", "videorate", "capsfilter", "avenc_wmv2",
                                         "appsink"});
    if (chain.empty())
        return false;
    GstElement *caps = chain[chain.size() - 3];
    GstElement *encoder = chain[chain.size() - 2];
    GstElement *out = chain.back();
    // A live queue that never holds up the camera or microphone for long.
    g_object_set(chain[0], "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time", guint64(2 * GST_SECOND),
                 "leaky", 2 /* downstream */, nullptr);
    GstCaps *c;
    if (audio) {
        c = gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, s.audioSampleRate, "channels", G_TYPE_INT,
                                s.audioChannels, nullptr);
        g_object_set(encoder, "bitrate", s.audioBitrate, nullptr);
    } else {
        g_object_set(chain[2], "add-borders", FALSE, nullptr);
        g_object_set(chain[3], "drop-only", TRUE, nullptr);
        c = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, s.width,
                                "height", G_TYPE_INT, s.height, "framerate", GST_TYPE_FRACTION,
                                s.videoFramesPerSecond, 1, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
        g_object_set(encoder, "bitrate", s.videoBitrate, "gop-size", s.videoFramesPerSecond * s.keyFrameSeconds,
                     nullptr);
    }
    g_object_set(caps, "caps", c, nullptr);
    gst_caps_unref(c);
    g_object_set(out, "sync", FALSE, "async", FALSE, "qos", FALSE, "max-buffers", 0u, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink *sink, gpointer self) {
        if (GstSample *sample = gst_app_sink_pull_sample(sink)) {
            const bool isAudio = g_object_get_data(G_OBJECT(sink), "morlanex-audio") != nullptr;
            static_cast<LiveEncoder *>(self)->onSample(isAudio, sample);
            gst_sample_unref(sample);
        }
        return GST_FLOW_OK;
    };
    g_object_set_data(G_OBJECT(out), "morlanex-audio", audio ? out : nullptr);
    gst_app_sink_set_callbacks(GST_APP_SINK(out), &callbacks, this, nullptr);
    return true;
}

bool LiveEncoder::link(GstElement *pipeline, GstElement *videoTee, GstElement *audioTee)
{
    pipeline_ = pipeline;
    hasAudio_ = audioTee != nullptr;
    const bool audioBuilt = !audioTee || branch(pipeline, audioTee, true);
    const bool browserBuilt = !browser_ || browser_->link(pipeline, videoTee, audioTee);
    return branch(pipeline, videoTee, false) && audioBuilt && browserBuilt;
}

void LiveEncoder::onSample(bool audio, GstSample *sample)
{
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    const GstSegment *segment = gst_sample_get_segment(sample);
    if (!buffer || !segment || !GST_BUFFER_PTS_IS_VALID(buffer))
        return;
    // Running time: the encoders' segments may start far from zero.
    const guint64 running = gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    if (running == GST_CLOCK_TIME_NONE)
        return;
    Frame frame{uint8_t(audio || !hasAudio_ ? 1 : 2), std::vector<uint8_t>(gst_buffer_get_size(buffer)),
                running / GST_MSECOND, !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)};
    gst_buffer_extract(buffer, 0, frame.bytes.data(), frame.bytes.size());

    std::lock_guard lock(mutex_);
    if (!writer_) {
        std::optional<AsfStreamFormat> &format = audio ? audioFormat_ : videoFormat_;
        if (!format) {
            if (GstCaps *caps = gst_sample_get_caps(sample))
                format = formatFromCaps(audio, caps, settings_.encoder);
        }
        if (pending_.size() == kMaxPendingFrames)
            pending_.erase(pending_.begin());
        pending_.push_back(std::move(frame));
        if (videoFormat_ && (audioFormat_ || !hasAudio_))
            startWriter();
        return;
    }
    writer_->addFrame(frame.stream, frame.bytes, frame.timeMs, frame.key);
}

void LiveEncoder::startWriter()
{
    AsfWriterConfig config;
    config.prerollMs = kPrerollMs;
    std::random_device random;
    for (uint8_t &b : config.fileId)
        b = uint8_t(random());
    if (hasAudio_)
        config.streams.push_back(*audioFormat_);
    config.streams.push_back(*videoFormat_);
    uint32_t total = 0;
    for (const AsfStreamFormat &s : config.streams)
        total += s.bitrate;
    config.packetSize = packetSizeFor(total);

    writer_ = std::make_unique<AsfWriter>(std::move(config), [this](const AsfDataPacket &packet) {
        if (settings_.observer)
            settings_.observer(false, packet.bytes);
        if (sink_)
            sink_->pushPacket(packet.bytes.data(), packet.bytes.size());
        packets_.fetch_add(1);
    });
    const std::vector<uint8_t> header = writer_->header();
    if (settings_.observer)
        settings_.observer(true, header);
    std::string error;
    if (sink_ && !sink_->setHeader(header.data(), header.size(), &error))
        g_printerr("morlanex media: stream header refused: %s\n", error.c_str());

    // Frames of both encoders, in time order, so that neither stream starts late.
    std::stable_sort(pending_.begin(), pending_.end(), [](const Frame &a, const Frame &b) { return a.timeMs < b.timeMs; });
    for (const Frame &f : pending_)
        writer_->addFrame(f.stream, f.bytes, f.timeMs, f.key);
    pending_.clear();
    startClockNs_ = int64_t(gst_element_get_base_time(pipeline_) + writer_->originMs() * GST_MSECOND);
}

std::optional<uint64_t> LiveEncoder::streamStartClockNs() const
{
    const int64_t ns = startClockNs_.load();
    return ns < 0 ? std::nullopt : std::optional<uint64_t>(uint64_t(ns));
}

}  // namespace morlanex
