// Live encoding end to end: the test devices through the ASF writer and the real network
// sink on loopback, read back by real ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "media/capture_media.h"
#include "media/netsink/network_sink.h"
#include "media_test_env.h"

namespace morlanex {
namespace {

using namespace std::chrono_literals;

struct CommandResult {
    int status;
    std::string output;
};

CommandResult run(const std::string &command)
{
    CommandResult r{-1, {}};
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return r;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        r.output.append(buffer, n);
    r.status = pclose(pipe);
    return r;
}

// A TCP port on 127.0.0.1 that nothing listens on right now.
uint16_t freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

std::string url(uint16_t port)
{
    return "http://127.0.0.1:" + std::to_string(port) + "/";
}

// One "key=value" line of ffprobe's flat output for the stream of this codec type.
std::string field(const std::string &probe, const std::string &type, const std::string &key)
{
    // Streams are printed as blocks; find the block with codec_type=<type>.
    size_t at = 0;
    while ((at = probe.find("[STREAM]", at)) != std::string::npos) {
        const size_t end = probe.find("[/STREAM]", at);
        const std::string block = probe.substr(at, end - at);
        if (block.find("codec_type=" + type + "\n") != std::string::npos) {
            const size_t k = block.find("\n" + key + "=");
            if (k == std::string::npos)
                return {};
            const size_t v = k + key.size() + 2;
            return block.substr(v, block.find('\n', v) - v);
        }
        at = end;
    }
    return {};
}

class LiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        media.FilterGraph2.setPost(queue.poster());
        media.FilterGraph2.setOnDSEvent([this](const GraphEvent &e) {
            if (e.code == kEcErrorAbort)
                errors.push_back(e.text);
        });
        media.GetWebCamProc();
        media.GetWAVProc();
        media.ASFWriter1.BindAddress = "127.0.0.1";
        media.ASFWriter1.Port = freePort();
    }
    void TearDown() override { media.closeDevice(); }

    void goLive(int level)
    {
        ASSERT_TRUE(media.applyLevel(level));
        media.startPreviewGraph();
        ASSERT_EQ(media.switchToLive(), LiveStart::Started) << media.ASFWriter1.sinkError();
        ASSERT_TRUE(queue.pumpUntil([&] { return media.ASFWriter1.packetsOut() > 0; }, 20s));
    }

    CaptureMedia media;
    testing::PostQueue queue;
    std::vector<std::string> errors;
};

struct LevelNumbers {
    int level;
    int sampleRate;
    int channels;
    int audioBitrate;
    const char *frameRate;
};

class LiveLevelTest : public LiveTest, public ::testing::WithParamInterface<LevelNumbers> {};

TEST_P(LiveLevelTest, FfprobeReadsWmv2AndWmaWithTheLevelsNumbers)
{
    const LevelNumbers n = GetParam();
    goLive(n.level);
    EXPECT_EQ(media.ASFWriter1.Profile(), *profileForLevel(n.level));
    const std::string u = url(static_cast<uint16_t>(media.ASFWriter1.Port));

    const CommandResult probe = run("timeout 30 ffprobe -v error -show_streams " + u);
    ASSERT_EQ(probe.status, 0) << probe.output;
    EXPECT_EQ(field(probe.output, "video", "codec_name"), "wmv2") << probe.output;
    EXPECT_EQ(field(probe.output, "video", "width"), "320");
    EXPECT_EQ(field(probe.output, "video", "height"), "240");
    EXPECT_EQ(field(probe.output, "audio", "codec_name"), "wmav2") << probe.output;
    EXPECT_EQ(field(probe.output, "audio", "sample_rate"), std::to_string(n.sampleRate));
    EXPECT_EQ(field(probe.output, "audio", "channels"), std::to_string(n.channels));
    EXPECT_EQ(field(probe.output, "audio", "bit_rate"), std::to_string(n.audioBitrate));
    EXPECT_EQ(field(probe.output, "video", "avg_frame_rate"), n.frameRate);

    // The first presentation times start near zero, not hours in.
    const CommandResult packets = run("timeout 30 ffprobe -v error -read_intervals %+#20 "
                                      "-show_entries packet=pts_time -of csv=p=0 " + u);
    ASSERT_EQ(packets.status, 0) << packets.output;
    double first = -1;
    ASSERT_EQ(std::sscanf(packets.output.c_str(), "%lf", &first), 1) << packets.output;
    EXPECT_LT(first, 60.0) << packets.output;
    queue.pumpFor(10ms);
    EXPECT_TRUE(errors.empty()) << errors.front();
}

INSTANTIATE_TEST_SUITE_P(Levels, LiveLevelTest,
                         ::testing::Values(LevelNumbers{1, 22050, 1, 24000, "10/1"},
                                           LevelNumbers{2, 22050, 2, 32000, "15/1"},
                                           LevelNumbers{3, 44100, 2, 64000, "30/1"},
                                           LevelNumbers{0, 22050, 2, 32000, "30/1"}),
                         [](const auto &info) { return "Level" + std::to_string(info.param.level); });

TEST_F(LiveTest, FfmpegDecodesFiveSecondsWithoutErrors)
{
    goLive(2);
    const CommandResult decode =
        run("timeout 40 ffmpeg -nostdin -v error -i " + url(static_cast<uint16_t>(media.ASFWriter1.Port)) +
            " -t 5 -f null -");
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.output, "");
}

TEST_F(LiveTest, StopClosesThePortAndASecondStartServesAgainOnIt)
{
    goLive(1);
    const uint16_t port = static_cast<uint16_t>(media.ASFWriter1.Port);
    media.stopLive();
    EXPECT_EQ(media.ASFWriter1.FilterGraph(), nullptr);
    EXPECT_NE(run("timeout 10 ffprobe -v error -show_streams " + url(port)).status, 0);

    media.startPreviewGraph();
    ASSERT_EQ(media.switchToLive(), LiveStart::Started) << media.ASFWriter1.sinkError();
    EXPECT_EQ(media.ASFWriter1.Port, port);
    const CommandResult probe = run("timeout 30 ffprobe -v error -show_streams " + url(port));
    ASSERT_EQ(probe.status, 0) << probe.output;
    EXPECT_EQ(field(probe.output, "video", "codec_name"), "wmv2");
}

TEST_F(LiveTest, APortInUseIsReportedAndEncodingStillRuns)
{
    NetworkSinkConfig config;
    config.bindAddress = "127.0.0.1";
    config.port = static_cast<uint16_t>(media.ASFWriter1.Port);
    NetworkSink squatter(config);
    std::string error;
    ASSERT_TRUE(squatter.start(&error)) << error;

    ASSERT_TRUE(media.applyLevel(1));
    media.startPreviewGraph();
    EXPECT_EQ(media.switchToLive(), LiveStart::SinkFailed);
    EXPECT_FALSE(media.ASFWriter1.sinkOpen());
    EXPECT_FALSE(media.ASFWriter1.sinkError().empty());
    EXPECT_TRUE(queue.pumpUntil([&] { return media.ASFWriter1.packetsOut() > 0; }, 20s));
}

TEST_F(LiveTest, TheRecordingLineIsEnabledAndTheRgb320x240FormatChosen)
{
    goLive(1);
    // The camera's third format is the one the graph runs with.
    ASSERT_EQ(media.VideoFormatList.count(), 4);
    GstElement *format = gst_bin_get_by_name(GST_BIN(media.Filter1.bin()), "format");
    ASSERT_NE(format, nullptr);
    GstCaps *caps = nullptr;
    g_object_get(format, "caps", &caps, nullptr);
    gst_object_unref(format);
    ASSERT_NE(caps, nullptr);
    EXPECT_TRUE(gst_caps_is_equal(caps, media.VideoFormatList.item(2).caps()));
    gst_caps_unref(caps);

    guint lines = 0;
    g_object_get(media.Filter2.BaseFilter().get(), "enabled-lines", &lines, nullptr);
    EXPECT_EQ(lines & 0x2u, 0x2u);
}

TEST_F(LiveTest, AutoLevelSendsTheTopRenditionAsOneVideoStream)
{
    goLive(0);
    const CommandResult probe = run("timeout 30 ffprobe -v error -show_streams " +
                                    url(static_cast<uint16_t>(media.ASFWriter1.Port)));
    ASSERT_EQ(probe.status, 0) << probe.output;
    size_t videos = 0;
    for (size_t at = 0; (at = probe.output.find("codec_type=video", at)) != std::string::npos; ++at)
        ++videos;
    EXPECT_EQ(videos, 1u);
}

}  // namespace
}  // namespace morlanex
