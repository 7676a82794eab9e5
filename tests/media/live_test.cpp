// Live encoding end to end: the test devices through the encoders, our ASF writer and the
// real network sink on loopback, read back by real ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "media/asf/asf_packet.h"
#include "media/capture_media.h"
#include "media/netsink/network_sink.h"
#include "bench/bench_process.h"
#include "media_test_env.h"

namespace morlanex {
namespace {

using namespace std::chrono_literals;

using bench::freeLoopbackPort;
using testing::CommandResult;
using testing::run;

std::string url(uint16_t port) { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

// One "key=value" line of ffprobe's flat output for the stream of this codec type.
std::string field(const std::string &probe, const std::string &type, const std::string &key) {
    // Streams are printed as blocks; find the block with codec_type=<type>.
    size_t at = 0;
    while ((at = probe.find("[STREAM]", at)) != std::string::npos) {
        const size_t end = probe.find("[/STREAM]", at);
        const std::string block = probe.substr(at, end - at);
        if (block.find("codec_type=" + type + "\n") != std::string::npos) {
            const size_t k = block.find("\n" + key + "=");
            if (k == std::string::npos) return {};
            const size_t v = k + key.size() + 2;
            return block.substr(v, block.find('\n', v) - v);
        }
        at = end;
    }
    return {};
}

// The payloads of one ASF data packet; empty when the packet is malformed.
std::vector<AsfPayload> payloadsOf(const std::vector<uint8_t> &p) {
    std::optional<AsfPacketContents> contents = readAsfPacket(p);
    return contents ? std::move(contents->payloads) : std::vector<AsfPayload>{};
}

uint32_t sendTimeMs(const std::vector<uint8_t> &p) {
    const std::optional<AsfPacketContents> contents = readAsfPacket(p);
    return contents ? contents->sendTimeMs : 0;
}

class LiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        media.listCameras();
        media.listMicrophones();
        media.serving.bindAddress = "127.0.0.1";
        media.serving.port = freeLoopbackPort();
        media.observer = [this](bool isHeader, std::span<const uint8_t> bytes, uint8_t rendition) {
            std::lock_guard lock(mutex);
            if (isHeader) {
                ++headers;
            } else if (packets.size() < 4000) {
                packets.emplace_back(bytes.begin(), bytes.end());
                renditions.push_back(rendition);
            }
        };
    }
    void TearDown() override { media.close(); }

    void goLive(int level) {
        ASSERT_TRUE(media.applyLevel(level));
        media.startPreview();
        ASSERT_EQ(media.goLive(), LiveStart::Started) << media.broadcast()->error();
        ASSERT_TRUE(pump.pumpUntil([&] { return media.broadcast()->packetsOut() > 0; }, 20s));
    }
    std::string url() const { return morlanex::url(media.serving.port); }

    CaptureMedia media;
    testing::EventPump pump{media.pipeline};
    std::mutex mutex;
    int headers = 0;
    std::vector<std::vector<uint8_t>> packets;
    std::vector<uint8_t> renditions;  // of each packet
};

struct LevelNumbers {
    int level;
    int sampleRate;
    int channels;
    int audioBitrate;
    const char *frameRate;
};

class LiveLevelTest : public LiveTest, public ::testing::WithParamInterface<LevelNumbers> {};

TEST_P(LiveLevelTest, FfprobeReadsTheLevelsNumbersAndTwentySecondsDecodeCleanly) {
    const LevelNumbers n = GetParam();
    goLive(n.level);
    EXPECT_EQ(media.profile(), *profileForLevel(n.level));

    const CommandResult probe = run("timeout 30 ffprobe -v error -show_streams " + url());
    ASSERT_EQ(probe.status, 0) << probe.output;
    EXPECT_EQ(field(probe.output, "video", "codec_name"), "wmv2") << probe.output;
    EXPECT_EQ(field(probe.output, "video", "width"), "320");
    EXPECT_EQ(field(probe.output, "video", "height"), "240");
    EXPECT_EQ(field(probe.output, "audio", "codec_name"), "wmav2") << probe.output;
    EXPECT_EQ(field(probe.output, "audio", "sample_rate"), std::to_string(n.sampleRate));
    EXPECT_EQ(field(probe.output, "audio", "channels"), std::to_string(n.channels));
    EXPECT_EQ(field(probe.output, "audio", "bit_rate"), std::to_string(n.audioBitrate));
    EXPECT_EQ(field(probe.output, "video", "avg_frame_rate"), n.frameRate);

    // The first presentation times start near zero, not hours in, and the pictures' are on
    // their rate's grid, so a player's 1/fps time base gives each its own slot.
    const CommandResult times = run("timeout 30 ffprobe -v error -read_intervals %+#20 -select_streams v "
                                    "-show_entries packet=pts_time -of csv=p=0 " +
                                    url());
    ASSERT_EQ(times.status, 0) << times.output;
    double first = -1;
    ASSERT_EQ(std::sscanf(times.output.c_str(), "%lf", &first), 1) << times.output;
    EXPECT_LT(first, 60.0) << times.output;
    const double fps = std::atof(n.frameRate);
    std::istringstream lines(times.output);
    for (std::string line; std::getline(lines, line);) {
        const double slot = std::atof(line.c_str()) * fps;
        EXPECT_LT(std::abs(slot - std::round(slot)), 0.05) << "a picture off its frame grid: " << line;
    }

    // Sound keeps coming: 5 s of the stream hold some fifty audio frames or more.
    const CommandResult audio = run("timeout 30 ffprobe -v error -read_intervals %+5 -count_packets "
                                    "-select_streams a -show_entries stream=nb_read_packets -of csv=p=0 " +
                                    url());
    ASSERT_EQ(audio.status, 0) << audio.output;
    EXPECT_GT(std::atoi(audio.output.c_str()), 20) << audio.output;

    // A recording of 20 s decodes with nothing to say.
    const CommandResult decode = run("timeout 60 ffmpeg -nostdin -v error -i " + url() + " -t 20 -f null -");
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.output, "");
    pump.pumpFor(10ms);
    EXPECT_EQ(pump.firstError(), "");
}

INSTANTIATE_TEST_SUITE_P(Levels, LiveLevelTest,
                         ::testing::Values(LevelNumbers{1, 22050, 1, 24000, "10/1"},
                                           LevelNumbers{2, 22050, 2, 32000, "15/1"},
                                           LevelNumbers{3, 44100, 2, 64000, "30/1"},
                                           LevelNumbers{0, 22050, 2, 32000, "30/1"}),
                         [](const auto &info) { return "Level" + std::to_string(info.param.level); });

TEST_F(LiveTest, EveryVideoKeyFrameBeginsAPacket) {
    goLive(3);
    // Key frames come every 3 s: wait for at least three.
    auto keyFrames = [&] {
        std::lock_guard lock(mutex);
        int count = 0;
        for (const std::vector<uint8_t> &p : packets)
            for (const AsfPayload &s : payloadsOf(p)) count += s.stream == 2 && s.keyFrame && s.offset == 0;
        return count;
    };
    ASSERT_TRUE(pump.pumpUntil([&] { return keyFrames() >= 3; }, 60s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(headers, 1);
    for (size_t i = 0; i < packets.size(); ++i) {
        const std::vector<AsfPayload> starts = payloadsOf(packets[i]);
        ASSERT_FALSE(starts.empty()) << "packet " << i << " is malformed";
        for (size_t k = 1; k < starts.size(); ++k)
            EXPECT_FALSE(starts[k].stream == 2 && starts[k].keyFrame && starts[k].offset == 0)
                << "a key frame starts as payload " << k << " of packet " << i;
    }
}

// The presentation times of the packets' video key frames, by rendition.
std::map<uint8_t, std::vector<uint32_t>> keyFrameTimes(const std::vector<std::vector<uint8_t>> &packets,
                                                       const std::vector<uint8_t> &renditions) {
    std::map<uint8_t, std::vector<uint32_t>> times;
    for (size_t i = 0; i < packets.size(); ++i) {
        const std::vector<AsfPayload> starts = payloadsOf(packets[i]);
        if (!starts.empty() && starts[0].stream == 2 && starts[0].keyFrame && starts[0].offset == 0)
            times[renditions[i]].push_back(starts[0].presentationMs());
    }
    return times;
}

TEST_F(LiveTest, TheAutomaticLevelEncodesThreeRenditionsWithKeyFramesAtTheSameTimes) {
    goLive(0);
    auto enough = [&] {
        std::lock_guard lock(mutex);
        const auto times = keyFrameTimes(packets, renditions);
        return times.size() == 3 &&
            std::all_of(times.begin(), times.end(), [](const auto &t) { return t.second.size() >= 3; });
    };
    ASSERT_TRUE(pump.pumpUntil(enough, 40s));
    std::lock_guard lock(mutex);
    const auto times = keyFrameTimes(packets, renditions);
    ASSERT_EQ(times.size(), 3u);
    EXPECT_EQ(times.begin()->first, 1);
    const std::vector<uint32_t> first(times.at(1).begin(), times.at(1).begin() + 3);
    for (uint8_t r : {2, 3})
        EXPECT_EQ(std::vector<uint32_t>(times.at(r).begin(), times.at(r).begin() + 3), first) << "rendition " << int(r);
    // Three seconds apart.
    EXPECT_NEAR(double(first[2] - first[1]), 3000.0, 40.0);
    // Every video packet belongs to a rendition; the audio is shared.
    std::map<uint8_t, size_t> bytes;
    for (size_t i = 0; i < packets.size(); ++i) {
        for (const AsfPayload &p : payloadsOf(packets[i]))
            EXPECT_EQ(p.stream == 2, renditions[i] != 0) << "packet " << i;
        bytes[renditions[i]] += packets[i].size();
    }
    // Each rendition keeps near its bit rate over the stream's own time (padding included);
    // the audio's packets are there for all.
    EXPECT_GT(bytes[0], 0u);
    const double seconds = (sendTimeMs(packets.back()) - sendTimeMs(packets.front())) / 1000.0;
    ASSERT_GT(seconds, 5.0);
    const std::map<uint8_t, double> bitsPerSecond{{1, 68000}, {2, 224000}, {3, 704000}};
    for (const auto &[r, nominal] : bitsPerSecond) {
        const double rate = double(bytes[r]) * 8 / seconds;
        EXPECT_GT(rate, nominal * 0.75) << "rendition " << int(r);
        EXPECT_LT(rate, nominal * 1.4) << "rendition " << int(r);
    }
}

TEST_F(LiveTest, SoundAndPictureKeepComingAfterTheUnwatchedBrowserRenditionRests) {
    // The browser rendition's encoders rest as soon as its header is out, well within the
    // first second; the Windows Media stream must go on with both of its streams.
    goLive(3);
    auto framesOf = [&](uint8_t stream) {
        std::lock_guard lock(mutex);
        int count = 0;
        for (const std::vector<uint8_t> &p : packets)
            for (const AsfPayload &s : payloadsOf(p)) count += s.stream == stream && s.offset == 0;
        return count;
    };
    // 5 s of sound (WMA frames of 2048 samples at 44.1 kHz) and of 30 fps picture.
    EXPECT_TRUE(pump.pumpUntil([&] { return framesOf(1) >= 108; }, 30s)) << framesOf(1) << " sound frames";
    EXPECT_TRUE(pump.pumpUntil([&] { return framesOf(2) >= 150; }, 60s)) << framesOf(2) << " video frames";
    EXPECT_EQ(pump.firstError(), "");
}

TEST_F(LiveTest, GoingLiveAndStoppingKeepThePreviewRunning) {
    // The camera stays open across both: at most a frame or two is lost to its new format,
    // where reopening it took the preview away for as long as a camera takes to open.
    std::mutex m;
    std::vector<std::chrono::steady_clock::time_point> times;
    const struct Closer {
        CaptureMedia &media;
        ~Closer() { media.close(); }  // before the frames' record goes
    } closer{media};
    media.pipeline.setFrameCallback([&](const VideoFrame &) {
        std::lock_guard lock(m);
        times.push_back(std::chrono::steady_clock::now());
    });
    auto framesAfter = [&](size_t count) {
        return pump.pumpUntil(
            [&] {
                std::lock_guard lock(m);
                return times.size() >= count;
            },
            20s);
    };
    ASSERT_TRUE(media.applyLevel(3));
    media.startPreview();
    ASSERT_TRUE(framesAfter(10));
    const size_t before = [&] {
        std::lock_guard lock(m);
        return times.size() - 1;
    }();
    ASSERT_EQ(media.goLive(), LiveStart::Started) << media.broadcast()->error();
    ASSERT_TRUE(pump.pumpUntil([&] { return media.broadcast()->packetsOut() > 0; }, 20s));
    const size_t live = [&] {
        std::lock_guard lock(m);
        return times.size();
    }();
    ASSERT_TRUE(framesAfter(live + 10));
    media.stopLive();
    EXPECT_EQ(media.broadcast(), nullptr);
    const size_t stopped = [&] {
        std::lock_guard lock(m);
        return times.size();
    }();
    ASSERT_TRUE(framesAfter(stopped + 10)) << "the preview stopped with the broadcast";

    std::lock_guard lock(m);
    std::chrono::steady_clock::duration longest{};
    for (size_t i = before + 1; i < times.size(); ++i) longest = std::max(longest, times[i] - times[i - 1]);
    RecordProperty("longestPreviewGapMs", int(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));
    EXPECT_LT(longest, 200ms);
    EXPECT_EQ(pump.firstError(), "");
}

TEST_F(LiveTest, StopClosesThePortAndASecondStartServesAgainOnIt) {
    goLive(1);
    media.stopLive();
    EXPECT_FALSE(media.pipeline.live());
    EXPECT_NE(run("timeout 10 ffprobe -v error -show_streams " + url()).status, 0);

    // Again on the same preview.
    ASSERT_EQ(media.goLive(), LiveStart::Started) << media.broadcast()->error();
    // Until the new encoders' first frames make a header, the sink answers 503.
    ASSERT_TRUE(pump.pumpUntil(
        [&] {
            std::lock_guard lock(mutex);
            return headers >= 2;
        },
        20s))
        << headers;
    const CommandResult probe = run("timeout 30 ffprobe -v error -show_streams " + url());
    ASSERT_EQ(probe.status, 0) << probe.output;
    EXPECT_EQ(field(probe.output, "video", "codec_name"), "wmv2");
}

TEST_F(LiveTest, APortInUseIsReportedAndEncodingStillRuns) {
    NetworkSinkConfig config;
    config.bindAddress = "127.0.0.1";
    config.port = media.serving.port;
    NetworkSink squatter(config);
    std::string error;
    ASSERT_TRUE(squatter.start(&error)) << error;

    ASSERT_TRUE(media.applyLevel(1));
    media.startPreview();
    EXPECT_EQ(media.goLive(), LiveStart::SinkFailed);
    EXPECT_FALSE(media.broadcast()->serving());
    EXPECT_FALSE(media.broadcast()->error().empty());
    EXPECT_TRUE(pump.pumpUntil([&] { return media.broadcast()->packetsOut() > 0; }, 20s));
}

TEST_F(LiveTest, TheRecordingLineIsEnabledAndTheRgb320x240FormatChosen) {
    // Only the first line on: going live turns the chosen second one on as well.
    g_object_set(deviceAt(DeviceKind::Microphone, media.choice.microphone).get(), "enabled-lines", 0x1u, nullptr);
    ASSERT_EQ(media.choice.recordingLine, 1);
    goLive(1);
    // The camera's third format is the one the pipeline runs with.
    GstCaps *running = gst_caps_from_string(media.pipeline.formatInUse(DeviceKind::Camera).c_str());
    GstCaps *third =
        gst_caps_from_string("video/x-raw,format=RGB,width=320,height=240,framerate=30/1,pixel-aspect-ratio=1/1");
    ASSERT_NE(running, nullptr);
    EXPECT_TRUE(gst_caps_is_equal(running, third)) << media.pipeline.formatInUse(DeviceKind::Camera);
    gst_caps_unref(running);
    gst_caps_unref(third);
    // The microphone runs its first format, as listed.
    EXPECT_NE(media.pipeline.formatInUse(DeviceKind::Microphone).find("rate=(int)44100"), std::string::npos);

    guint lines = 0;
    g_object_get(media.microphone().get(), "enabled-lines", &lines, nullptr);
    g_object_set(media.microphone().get(), "enabled-lines", 0x2u, nullptr);
    EXPECT_EQ(lines, 0x3u);
}

TEST_F(LiveTest, AutoLevelServesEachViewerOneVideoStream) {
    goLive(0);
    const CommandResult probe = run("timeout 30 ffprobe -v error -show_streams " + url());
    ASSERT_EQ(probe.status, 0) << probe.output;
    size_t videos = 0;
    for (size_t at = 0; (at = probe.output.find("codec_type=video", at)) != std::string::npos; ++at) ++videos;
    EXPECT_EQ(videos, 1u);
}

}  // namespace
}  // namespace morlanex
