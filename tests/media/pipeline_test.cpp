// The capture pipeline with the test devices: preview frames, pipeline events, lost devices.
#include <gtest/gtest.h>
#include <gst/gst.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "media/capture_media.h"
#include "media_test_env.h"

namespace morlanex {
namespace {

using namespace std::chrono_literals;
using Kind = PipelineEvent::Kind;

class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        media.pipeline.setFrameCallback([this](const VideoFrame &f) {
            if (f.width != 320 || f.height != 240 || f.stride < 960 || !f.rgb) badFrame = true;
            ++frames;
        });
        media.listCameras();
        media.listMicrophones();
    }

    CaptureMedia media;
    testing::EventPump pump{media.pipeline};
    std::atomic<int> frames{0};
    std::atomic<bool> badFrame{false};
};

TEST_F(PipelineTest, PreviewDeliversRgbFramesAndOnePauseCompleted) {
    media.startPreview();
    ASSERT_TRUE(media.pipeline.built());
    ASSERT_TRUE(pump.pumpUntil([&] { return frames >= 10 && pump.has(Kind::Paused); }, 20s));
    EXPECT_FALSE(badFrame);
    EXPECT_FALSE(pump.has(Kind::Error));
    ASSERT_EQ(pump.events.size(), 1u);
    EXPECT_EQ(media.pipeline.framesDelivered(), uint64_t(frames.load()));
    // The preview runs the camera's current format, and without the microphone.
    EXPECT_EQ(media.pipeline.formatInUse(DeviceKind::Camera), "");
    EXPECT_FALSE(media.pipeline.live());
}

TEST_F(PipelineTest, FramesAreMoving) {
    std::mutex m;
    std::vector<std::vector<uint8_t>> shots;
    media.pipeline.setFrameCallback([&](const VideoFrame &f) {
        std::lock_guard lock(m);
        if (shots.size() < 20) shots.emplace_back(f.rgb, f.rgb + f.stride * f.height);
    });
    media.startPreview();
    ASSERT_TRUE(pump.pumpUntil(
        [&] {
            std::lock_guard lock(m);
            return shots.size() >= 20;
        },
        20s));
    EXPECT_NE(shots.front(), shots.back()) << "the test picture does not move";
}

TEST_F(PipelineTest, StopAndPlayAgainGivesAnotherPauseCompleted) {
    media.startPreview();
    ASSERT_TRUE(pump.pumpUntil([&] { return frames > 0 && pump.has(Kind::Paused); }, 20s));
    media.pipeline.stop();
    pump.events.clear();
    const int before = frames;
    media.pipeline.play();
    ASSERT_TRUE(pump.pumpUntil([&] { return pump.has(Kind::Paused) && frames > before + 3; }, 20s));
}

TEST_F(PipelineTest, EventsOfAnEarlierBuildAreDropped) {
    media.startPreview();
    // Rebuilt before the events are taken: none of the first build's may arrive.
    media.pipeline.build(CaptureDescription{});
    pump.pumpFor(300ms);
    EXPECT_TRUE(pump.events.empty());
}

TEST_F(PipelineTest, ACameraIndexBeyondTheListRunsWithoutPictureOrError) {
    media.choice.camera = 99;
    media.startPreview();
    EXPECT_TRUE(media.pipeline.built());
    EXPECT_FALSE(media.hasCamera());
    pump.pumpFor(500ms);
    EXPECT_EQ(frames, 0);
    EXPECT_FALSE(pump.has(Kind::Error));
    EXPECT_EQ(media.goLive(), LiveStart::NoVideoDevice);
    EXPECT_FALSE(media.pipeline.live());
}

TEST_F(PipelineTest, ACameraPulledOutWhileRunningGivesItsOwnErrorOnce) {
    media.startPreview();
    ASSERT_TRUE(pump.pumpUntil([&] { return frames > 0; }, 20s));
    GstDevice *camera = media.camera().get();
    g_object_set(camera, "present", FALSE, nullptr);
    const bool gotError = pump.pumpUntil([&] { return pump.has(Kind::Error); }, 20s);
    pump.pumpFor(300ms);
    g_object_set(camera, "present", TRUE, nullptr);
    ASSERT_TRUE(gotError);
    EXPECT_EQ(pump.firstError(), "The capture device was removed.");
    EXPECT_EQ(std::count_if(pump.events.begin(), pump.events.end(),
                            [](const PipelineEvent &e) { return e.kind == Kind::Error; }),
              1);
    // Closing after the error neither hangs nor fails.
    media.close();
    EXPECT_FALSE(media.pipeline.built());
}

TEST_F(PipelineTest, ACameraGoneBeforeThePreviewIsReportedAndGoingLiveThrows) {
    DeviceHandle camera = deviceAt(DeviceKind::Camera, media.choice.camera);
    ASSERT_NE(camera, nullptr);
    media.startPreview();
    ASSERT_TRUE(pump.pumpUntil([&] { return pump.has(Kind::Paused); }, 20s));
    g_object_set(camera.get(), "present", FALSE, nullptr);
    CaptureDescription description;
    description.camera = camera;
    media.pipeline.build(description);
    media.pipeline.play();
    const bool gotError = pump.pumpUntil([&] { return pump.has(Kind::Error); }, 10s);
    // Going live without the camera is an error to report, not a crash.
    EXPECT_THROW(media.goLive(), MediaError);
    g_object_set(camera.get(), "present", TRUE, nullptr);
    EXPECT_TRUE(gotError);
    EXPECT_EQ(pump.firstError(), "The camera is not available.");
    EXPECT_FALSE(media.pipeline.built());
}

TEST_F(PipelineTest, CloseStopsTheFramesAndForgetsTheDevices) {
    media.startPreview();
    ASSERT_TRUE(pump.pumpUntil([&] { return frames > 0; }, 20s));
    media.close();
    EXPECT_FALSE(media.pipeline.built());
    EXPECT_FALSE(media.hasCamera());
    const int count = frames;
    pump.pumpFor(200ms);
    EXPECT_EQ(frames, count);
}

}  // namespace
}  // namespace morlanex
