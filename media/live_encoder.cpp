#include "media/live_encoder.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <random>

#include "media/live_server.h"
#include "media/tee_branch.h"
#include "media/wmv_encoder.h"

namespace morlanex {

namespace {

constexpr size_t kMaxPendingFrames = 1000;
constexpr uint64_t kSoundAloneMs = 2000;  // of sound with no picture: the sound goes alone
constexpr uint64_t kOriginStepMs = 200;  // a whole number of frames at 10, 15 and 30 frames/s
// Added to every frame's time, so that time 0 may go up to kOriginStepMs before the first frame.
constexpr uint64_t kLeadMs = kOriginStepMs;
constexpr uint32_t kPrerollMs = 3000;

std::vector<uint8_t> codecData(const GstStructure *s) {
    std::vector<uint8_t> bytes;
    const GValue *value = gst_structure_get_value(s, "codec_data");
    if (value && GST_VALUE_HOLDS_BUFFER(value)) {
        GstBuffer *buffer = gst_value_get_buffer(value);
        bytes.resize(gst_buffer_get_size(buffer));
        gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
    }
    return bytes;
}

AsfStreamFormat audioFormatFromCaps(const GstCaps *caps, const EncoderSettings &settings) {
    const GstStructure *s = gst_caps_get_structure(caps, 0);
    AsfStreamFormat f;
    f.codecData = codecData(s);
    int value = 0;
    f.kind = AsfStreamFormat::Kind::Audio;
    f.bitrate = uint32_t(gst_structure_get_int(s, "bitrate", &value) ? value : settings.audioBitrate);
    f.channels = uint16_t(gst_structure_get_int(s, "channels", &value) ? value : settings.audioChannels);
    f.sampleRate = uint32_t(gst_structure_get_int(s, "rate", &value) ? value : settings.audioSampleRate);
    f.blockAlign = uint16_t(gst_structure_get_int(s, "block_align", &value) ? value : 1);
    f.codecName = "Windows Media Audio 8";
    f.codecDescription = std::to_string(f.bitrate / 1000) + " kbps, " + std::to_string(f.sampleRate) + " Hz, " +
        (f.channels == 1 ? "mono" : "stereo");
    return f;
}

// The header describes the video by its top rendition.
AsfStreamFormat videoFormat(const EncoderSettings &settings, std::vector<uint8_t> codecData) {
    AsfStreamFormat f;
    f.kind = AsfStreamFormat::Kind::Video;
    f.codecData = std::move(codecData);
    f.bitrate = uint32_t(settings.videoBitrate);
    f.width = uint32_t(settings.width);
    f.height = uint32_t(settings.height);
    f.framesPerSecond = uint32_t(settings.videoFramesPerSecond);
    f.codecName = "Windows Media Video 8";
    return f;
}

}  // namespace

uint32_t LiveEncoder::packetSizeFor(uint32_t bitsPerSecond) {
    // About 150 ms of the stream per packet: a frame waits little for its packet to fill,
    // while the packets stay large enough that their headers cost little.
    const uint32_t bytes = bitsPerSecond / 8 * 150 / 1000;
    return std::clamp<uint32_t>(bytes, 1200, 4800);
}

LiveEncoder::LiveEncoder(const EncoderSettings &settings, LiveServer &server, GstElement *clockAtZero,
                         uint64_t offsetNs)
    : settings_(settings), server_(server), clockAtZero_(clockAtZero), offsetNs_(offsetNs) {}

LiveEncoder::~LiveEncoder() = default;

// Frames of this appsink go to onSample as `source`: -1 for the audio, else the rendition.
void LiveEncoder::deliverFrom(GstElement *appsink, int source) {
    g_object_set(appsink, "sync", FALSE, "async", FALSE, "qos", FALSE, "max-buffers", 0u, nullptr);
    g_object_set_data(G_OBJECT(appsink), "morlanex-source", GINT_TO_POINTER(source + 2));
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink *sink, gpointer self) {
        if (GstSample *sample = gst_app_sink_pull_sample(sink)) {
            const int from = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(sink), "morlanex-source")) - 2;
            static_cast<LiveEncoder *>(self)->onSample(from, sample);
            gst_sample_unref(sample);
        }
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(appsink), &callbacks, this, nullptr);
}

bool LiveEncoder::audioBranch(GstElement *bin) {
    const EncoderSettings &s = settings_;
    const std::vector<GstElement *> chain =
        addChain(bin, nullptr, {"queue", "audioconvert", "audioresample", "capsfilter", "avenc_wmav2", "appsink"});
    if (chain.empty()) return false;
    addBranchInput(bin, "audio", chain[0]);
    // A live queue that never holds up the microphone for long.
    g_object_set(chain[0], "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time", guint64(2 * GST_SECOND),
                 "leaky", 2 /* downstream */, nullptr);
    GstCaps *c = gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, s.audioSampleRate, "channels", G_TYPE_INT,
                                     s.audioChannels, nullptr);
    g_object_set(chain[3], "caps", c, nullptr);
    gst_caps_unref(c);
    g_object_set(chain[4], "bitrate", s.audioBitrate, nullptr);
    deliverFrom(chain[5], -1);
    return true;
}

bool LiveEncoder::videoBranches(GstElement *bin) {
    const EncoderSettings &s = settings_;
    videoEncoders_.clear();
    for (const VideoRendition &rendition : s.renditions) {
        // Every rendition starts from the same first picture and keeps its own steady rate,
        // so key frames every period come at the same times in all of them: a viewer can move
        // between renditions at any key frame.
        std::string error;
        std::unique_ptr<WmvEncoder> encoder =
            WmvEncoder::open({s.width, s.height, rendition.framesPerSecond, rendition.bitrate,
                              rendition.framesPerSecond * s.keyFrameSeconds},
                             &error);
        if (!encoder) {
            g_printerr("morlanex media: %s\n", error.c_str());
            return false;
        }
        videoEncoders_.push_back(std::move(encoder));
        lastSlot_.push_back(-1);
    }
    videoFormat_ = videoFormat(s, videoEncoders_.back()->codecData());

    // Converted and scaled once, then one encoder per rendition.
    const std::vector<GstElement *> common =
        addChain(bin, nullptr, {"queue", "videoconvert", "videoscale", "capsfilter", "tee"});
    if (common.empty()) return false;
    addBranchInput(bin, "video", common[0]);
    g_object_set(common[0], "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time", guint64(2 * GST_SECOND),
                 "leaky", 2 /* downstream */, nullptr);
    g_object_set(common[2], "add-borders", FALSE, nullptr);
    GstCaps *scaled =
        gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, s.width, "height",
                            G_TYPE_INT, s.height, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
    g_object_set(common[3], "caps", scaled, nullptr);
    gst_caps_unref(scaled);
    for (size_t r = 0; r < s.renditions.size(); ++r) {
        const std::vector<GstElement *> chain =
            addChain(bin, common[4], {"queue", "videorate", "capsfilter", "appsink"});
        if (chain.empty()) return false;
        g_object_set(chain[0], "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time", guint64(2 * GST_SECOND),
                     "leaky", 2 /* downstream */, nullptr);
        // Its frames are counted from the first one it gets, wherever in the camera's stream that is.
        g_object_set(chain[1], "drop-only", TRUE, "skip-to-first", TRUE, nullptr);
        GstCaps *rate = gst_caps_new_simple("video/x-raw", "framerate", GST_TYPE_FRACTION,
                                            s.renditions[r].framesPerSecond, 1, nullptr);
        g_object_set(chain[2], "caps", rate, nullptr);
        gst_caps_unref(rate);
        deliverFrom(chain[3], int(r));
    }
    return true;
}

GstElement *LiveEncoder::makeBranch(bool withAudio) {
    hasAudio_ = withAudio;
    GstElement *bin = gst_bin_new("live-encoder");
    if ((withAudio && !audioBranch(bin)) || !videoBranches(bin)) {
        gst_object_unref(gst_object_ref_sink(bin));
        return nullptr;
    }
    return bin;
}

void LiveEncoder::onSample(int source, GstSample *sample) {
    const bool audio = source < 0;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    const GstSegment *segment = gst_sample_get_segment(sample);
    if (!buffer || !segment || !GST_BUFFER_PTS_IS_VALID(buffer)) return;
    // Running time: the branches' segments may start far from zero.
    const guint64 running = gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    if (running == GST_CLOCK_TIME_NONE) return;
    uint64_t timeMs = kLeadMs + running / GST_MSECOND;
    if (audio) {
        std::vector<uint8_t> bytes(gst_buffer_get_size(buffer));
        gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
        addFrame(Frame{1, std::move(bytes), timeMs, true, 0}, gst_sample_get_caps(sample));
        return;
    }

    GstVideoInfo info;
    GstCaps *caps = gst_sample_get_caps(sample);
    GstVideoFrame picture;
    if (!caps || !gst_video_info_from_caps(&info, caps) || GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_I420 ||
        GST_VIDEO_INFO_WIDTH(&info) != settings_.width || GST_VIDEO_INFO_HEIGHT(&info) != settings_.height ||
        !gst_video_frame_map(&picture, &info, buffer, GST_MAP_READ))
        return;
    const uint8_t *planes[3];
    int strides[3];
    for (guint i = 0; i < 3; ++i) {
        planes[i] = static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&picture, i));
        strides[i] = GST_VIDEO_FRAME_PLANE_STRIDE(&picture, i);
    }
    // With several renditions each has packets of its own (1, 2, ...) and the audio is shared.
    const uint8_t rendition = settings_.renditions.size() > 1 ? uint8_t(source + 1) : 0;
    const uint8_t stream = hasAudio_ ? 2 : 1;
    // Each rendition's pictures on its rate's grid from the first picture, in whole milliseconds
    // from it: videorate passes its input's times, which at a camera's own pace (PipeWire's
    // cycle, say) or in ms at any phase fall into one 1/fps slot twice now and then in a
    // player's time base (ffmpeg reports non-monotonic timestamps). From the same first
    // picture, key frames of the same moment keep the same time in every rendition.
    int64_t first = -1;
    firstPictureNs_.compare_exchange_strong(first, int64_t(running));
    first = firstPictureNs_.load();
    const int64_t fps = std::max(1, settings_.renditions[size_t(source)].framesPerSecond);
    const int64_t sinceFirst = std::max<int64_t>(0, int64_t(running) - first);
    int64_t &last = lastSlot_[size_t(source)];  // this rendition's streaming thread only
    last = std::max(last + 1, (sinceFirst * fps + int64_t(GST_SECOND) / 2) / int64_t(GST_SECOND));
    timeMs = kLeadMs + uint64_t(first / int64_t(GST_MSECOND) + last * 1000 / fps);
    videoEncoders_[size_t(source)]->encode(planes, strides, [&](std::span<const uint8_t> bytes, bool key) {
        addFrame(Frame{stream, std::vector<uint8_t>(bytes.begin(), bytes.end()), timeMs, key, rendition});
    });
    gst_video_frame_unmap(&picture);
}

void LiveEncoder::addFrame(Frame frame, const GstCaps *audioCaps) {
    std::unique_lock lock(mutex_);
    if (writer_) {
        writer_->addFrame(frame.stream, frame.bytes, frame.timeMs, frame.key, frame.rendition);
    } else {
        if (audioCaps && !audioFormat_) audioFormat_ = audioFormatFromCaps(audioCaps, settings_);
        if (pending_.size() == kMaxPendingFrames) pending_.erase(pending_.begin());
        sawPicture_ = sawPicture_ || frame.stream == (hasAudio_ ? 2 : 1);
        pending_.push_back(std::move(frame));
        // The first picture sets time 0 (see startWriter); without a camera, the sound goes alone.
        const bool waitedEnough = pending_.back().timeMs >= pending_.front().timeMs + kSoundAloneMs;
        if (videoFormat_ && (audioFormat_ || !hasAudio_) && (sawPicture_ || waitedEnough)) startWriter();
    }
    // One thread at a time hands the output over, so the server gets it in the writer's order;
    // the others leave theirs to it.
    if (delivering_) return;
    delivering_ = true;
    while (!outbox_.empty()) {
        std::vector<Output> ready;
        ready.swap(outbox_);
        lock.unlock();
        for (const Output &o : ready) {
            if (o.header)
                server_.setHeader(o.bytes);
            else
                server_.pushPacket(o.bytes, o.rendition);
        }
        lock.lock();
    }
    delivering_ = false;
}

void LiveEncoder::startWriter() {
    AsfWriterConfig config;
    config.prerollMs = kPrerollMs;
    // Time 0 a whole number of 200 ms before the first picture, no later than the first frame:
    // then every rendition's grid (10, 15 or 30 frames/s) holds in whole milliseconds from 0.
    const uint8_t videoStream = hasAudio_ ? 2 : 1;
    const auto picture =
        std::find_if(pending_.begin(), pending_.end(), [&](const Frame &f) { return f.stream == videoStream; });
    if (picture != pending_.end()) {
        uint64_t earliest = picture->timeMs;
        for (const Frame &f : pending_) earliest = std::min(earliest, f.timeMs);
        config.originMs =
            picture->timeMs - (picture->timeMs - earliest + kOriginStepMs - 1) / kOriginStepMs * kOriginStepMs;
    }
    std::random_device random;
    for (uint8_t &b : config.fileId) b = uint8_t(random());
    if (hasAudio_) config.streams.push_back(*audioFormat_);
    config.streams.push_back(*videoFormat_);
    uint32_t total = 0;
    for (const AsfStreamFormat &s : config.streams) total += s.bitrate;
    config.packetSize = packetSizeFor(total);

    // Called with mutex_ held, by the writer.
    writer_ = std::make_unique<AsfWriter>(std::move(config), [this](const AsfDataPacket &packet) {
        outbox_.push_back({false, std::vector<uint8_t>(packet.bytes.begin(), packet.bytes.end()), packet.rendition});
    });
    outbox_.push_back({true, writer_->header(), 0});

    // Frames of both encoders, in time order, so that neither stream starts late.
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Frame &a, const Frame &b) { return a.timeMs < b.timeMs; });
    for (const Frame &f : pending_) writer_->addFrame(f.stream, f.bytes, f.timeMs, f.key, f.rendition);
    pending_.clear();
    startClockNs_ = int64_t(gst_element_get_base_time(clockAtZero_) + offsetNs_) +
        (int64_t(writer_->originMs()) - int64_t(kLeadMs)) * int64_t(GST_MSECOND);
}

std::optional<uint64_t> LiveEncoder::streamStartClockNs() const {
    const int64_t ns = startClockNs_.load();
    return ns < 0 ? std::nullopt : std::optional<uint64_t>(uint64_t(ns));
}

}  // namespace morlanex
