// The WebRTC rendition of a live channel: the test devices through the VP8 and Opus encoders to
// LiveServer, one encode for every viewer, working only while a WebRTC viewer is connected (the
// server is told so here as the sink would tell it); and the test camera's time code read back
// from a decoded frame.
#include <gtest/gtest.h>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <time.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "bench/bench_process.h"
#include "media/capture_media.h"
#include "media/testdevices/time_code.h"
#include "media/webrtc_encoder.h"
#include "media_test_env.h"

namespace morlanex {
namespace {

using namespace std::chrono_literals;

struct Frame {
    RtcMedia kind;
    std::vector<uint8_t> bytes;
    uint64_t ptsNs;
    bool key;
    uint8_t rendition;
};

uint32_t nowCode() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return uint32_t(uint64_t(t.tv_sec) * 1000 + uint64_t(t.tv_nsec) / 1000000) & MORLANEX_TIME_CODE_MASK;
}

// The picture size a VP8 key frame gives (RFC 6386, 9.1), or {0, 0}.
std::pair<int, int> keyFrameSize(const std::vector<uint8_t> &f) {
    if (f.size() < 10 || (f[0] & 1) || f[3] != 0x9d || f[4] != 0x01 || f[5] != 0x2a) return {0, 0};
    return {(f[6] | f[7] << 8) & 0x3fff, (f[8] | f[9] << 8) & 0x3fff};
}

// Decodes one VP8 key frame with GStreamer and reads the time code from its luma plane.
std::optional<uint32_t> decodedTimeCode(const std::vector<uint8_t> &frame, int width, int height) {
    GError *error = nullptr;
    GstElement *p = gst_parse_launch("appsrc name=in ! vp8dec ! video/x-raw,format=I420 ! appsink name=out", &error);
    if (!p) {
        g_clear_error(&error);
        return std::nullopt;
    }
    GstElement *in = gst_bin_get_by_name(GST_BIN(p), "in");
    GstElement *out = gst_bin_get_by_name(GST_BIN(p), "out");
    GstCaps *caps = gst_caps_new_simple("video/x-vp8", "width", G_TYPE_INT, width, "height", G_TYPE_INT, height,
                                        "framerate", GST_TYPE_FRACTION, 30, 1, nullptr);
    g_object_set(in, "caps", caps, "format", GST_FORMAT_TIME, nullptr);
    gst_caps_unref(caps);
    gst_element_set_state(p, GST_STATE_PLAYING);
    GstBuffer *buffer = gst_buffer_new_memdup(frame.data(), frame.size());
    GST_BUFFER_PTS(buffer) = 0;
    gst_app_src_push_buffer(GST_APP_SRC(in), buffer);
    gst_app_src_end_of_stream(GST_APP_SRC(in));
    std::optional<uint32_t> code;
    if (GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(out), 10 * GST_SECOND)) {
        GstVideoInfo info;
        GstVideoFrame v;
        if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
            gst_video_frame_map(&v, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
            code = morlanex_time_code_read(static_cast<const uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&v, 0)), info.width,
                                           info.height, GST_VIDEO_FRAME_PLANE_STRIDE(&v, 0));
            gst_video_frame_unmap(&v);
        }
        gst_sample_unref(sample);
    }
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(in);
    gst_object_unref(out);
    gst_object_unref(p);
    return code;
}

class WebRtcRenditionTest : public ::testing::Test {
protected:
    void SetUp() override {
        media.listCameras();
        media.listMicrophones();
        media.serving.bindAddress = "127.0.0.1";
        media.serving.port = bench::freeLoopbackPort();
        media.rtcObserver = [this](RtcMedia kind, std::span<const uint8_t> bytes, uint64_t pts, bool key,
                                   uint8_t rendition) {
            std::lock_guard lock(mutex);
            frames.push_back({kind, {bytes.begin(), bytes.end()}, pts, key, rendition});
        };
        // The automatic level: its top rendition, 30 frames a second.
        ASSERT_TRUE(media.applyLevel(0));
        startCode = nowCode();
        media.startPreview();
        ASSERT_EQ(media.goLive(), LiveStart::Started) << media.broadcast()->error();
        ASSERT_TRUE(pump.pumpUntil([&] { return media.broadcast()->packetsOut() > 0; }, 20s));
    }
    void TearDown() override { media.close(); }

    size_t count() {
        std::lock_guard lock(mutex);
        return frames.size();
    }
    // The video frames' span of stream time so far (ns).
    uint64_t videoSpanNs() {
        std::lock_guard lock(mutex);
        uint64_t first = UINT64_MAX, last = 0;
        for (const Frame &f : frames)
            if (f.kind == RtcMedia::Vp8) {
                first = std::min(first, f.ptsNs);
                last = std::max(last, f.ptsNs);
            }
        return first == UINT64_MAX ? 0 : last - first;
    }

    CaptureMedia media;
    testing::EventPump pump{media.pipeline};
    std::mutex mutex;
    std::vector<Frame> frames;
    uint32_t startCode = 0;
};

TEST_F(WebRtcRenditionTest, WatchedItGivesTwoVp8RenditionsKeyedTogetherAndOpusIn20MsFramesUnwatchedNothing) {
    LiveServer *server = &media.broadcast()->server();
    ASSERT_NE(server, nullptr);
    pump.pumpFor(1000ms);
    EXPECT_EQ(count(), 0u) << "encoding with no viewer";

    server->setWebrtcWatched(true);
    ASSERT_TRUE(pump.pumpUntil([&] { return videoSpanNs() > 5 * GST_SECOND; }, 30s));
    server->requestKeyFrame();
    const size_t beforeRequest = count();
    ASSERT_TRUE(pump.pumpUntil([&] { return count() > beforeRequest + 20; }, 10s));
    server->setWebrtcWatched(false);
    pump.pumpFor(500ms);  // what was in the queues when the valves closed
    const size_t closed = count();
    pump.pumpFor(1000ms);
    EXPECT_EQ(count(), closed) << "encoding after the last viewer left";

    std::lock_guard lock(mutex);
    std::vector<const Frame *> video, low, audio;
    for (const Frame &f : frames) (f.kind == RtcMedia::Opus ? audio : f.rendition == 0 ? video : low).push_back(&f);
    ASSERT_GT(video.size(), 100u);
    ASSERT_GT(audio.size(), 200u);
    // A viewer's first frame is a key frame, and then one at least every 2 s.
    EXPECT_TRUE(video.front()->key);
    uint64_t lastKey = video.front()->ptsNs;
    for (const Frame *f : video) {
        if (!f->key) continue;
        EXPECT_LE(f->ptsNs - lastKey, uint64_t(WebRtcEncoder::kKeyFrameSeconds) * GST_SECOND + GST_SECOND / 30);
        lastKey = f->ptsNs;
        EXPECT_EQ(keyFrameSize(f->bytes), std::make_pair(320, 240));
    }
    // The slow links' rendition: a quarter of the picture at half the frame rate, about its
    // bit rate (which a 320x240 picture at 30 fps would not keep to), its key frames at the
    // top's moments (a viewer moves between them there, and a browser takes the new size).
    ASSERT_GT(low.size(), 50u);
    EXPECT_NEAR(double(low.size()) / double(video.size()), 0.5, 0.05);
    size_t lowBytes = 0;
    for (const Frame *f : low) {
        lowBytes += f->bytes.size();
        if (f->key) {
            EXPECT_EQ(keyFrameSize(f->bytes), std::make_pair(kWebrtcLowWidth, kWebrtcLowHeight));
        }
    }
    const double lowRate = double(lowBytes) * 8 * 1e9 / double(low.back()->ptsNs - low.front()->ptsNs);
    EXPECT_NEAR(lowRate, kWebrtcLowVideoBitrate, kWebrtcLowVideoBitrate * 0.3);
    const uint64_t from = std::max(video.front()->ptsNs, low.front()->ptsNs);
    const uint64_t to = std::min(video.back()->ptsNs, low.back()->ptsNs);
    std::vector<uint64_t> topKeys, lowKeys;
    for (const auto &[list, keys] : {std::pair{&video, &topKeys}, {&low, &lowKeys}})
        for (const Frame *f : *list)
            if (f->key && f->ptsNs >= from && f->ptsNs <= to) keys->push_back(f->ptsNs);
    EXPECT_GE(topKeys.size(), 3u);
    EXPECT_EQ(lowKeys, topKeys);
    // The top rendition's frame rate, in order.
    std::vector<uint64_t> steps;
    for (size_t i = 1; i < video.size(); ++i) {
        ASSERT_GT(video[i]->ptsNs, video[i - 1]->ptsNs);
        steps.push_back(video[i]->ptsNs - video[i - 1]->ptsNs);
    }
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    EXPECT_NEAR(double(steps[steps.size() / 2]), 1e9 / encoderSettings(media.profile())->videoFramesPerSecond, 2e6);
    // The key frame asked for came within a few frames.
    bool keyAfterRequest = false;
    for (size_t i = beforeRequest; i < std::min(frames.size(), beforeRequest + 20); ++i)
        keyAfterRequest |= frames[i].kind == RtcMedia::Vp8 && frames[i].key;
    EXPECT_TRUE(keyAfterRequest);
    // Opus: one 20 ms frame each (the TOC's configuration and frame count), 20 ms apart after
    // the first (which the encoder's look-ahead shortens).
    for (size_t i = 0; i < audio.size(); ++i) {
        const uint8_t toc = audio[i]->bytes.at(0);
        const int config = toc >> 3;
        const bool twentyMs = config < 12 ? config % 4 == 1 : config < 16 ? config % 2 == 1 : config % 4 == 3;
        EXPECT_TRUE(twentyMs && (toc & 3) == 0) << "TOC " << int(toc);
        if (i > 1) {
            EXPECT_EQ(audio[i]->ptsNs - audio[i - 1]->ptsNs, 20 * GST_MSECOND) << i;
        }
    }

    // The picture is the test camera's: its time code, decoded, is a time of this test.
    const std::optional<uint32_t> code = decodedTimeCode(video.front()->bytes, 320, 240);
    ASSERT_TRUE(code.has_value());
    const uint32_t now = nowCode();
    EXPECT_LE(morlanex_time_code_age(startCode, *code), morlanex_time_code_age(startCode, now))
        << "code " << *code << " outside " << startCode << ".." << now;
}

}  // namespace
}  // namespace morlanex
