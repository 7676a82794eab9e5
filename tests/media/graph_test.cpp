// The capture graph with the test devices: preview frames, graph events, lost devices.
#include <gtest/gtest.h>
#include <gst/gst.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "media/capture_media.h"
#include "media/media_error.h"
#include "media_test_env.h"

namespace morlanex {
namespace {

using namespace std::chrono_literals;

// Records, in one sequence, graph events (on the "UI thread") and the first frame.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> sequence;  // guarded by mutex
    std::vector<GraphEvent> events;     // UI thread only
    std::atomic<int> frames{0};
    std::atomic<bool> badFrame{false};

    void note(const std::string &what)
    {
        std::lock_guard lock(mutex);
        sequence.push_back(what);
    }
    bool has(long code) const
    {
        for (const GraphEvent &e : events)
            if (e.code == code)
                return true;
        return false;
    }
};

class GraphTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Note the moment of posting: that is when the graph raised the event, while
        // running it waits for this thread.
        media.FilterGraph2.setPost([this, post = queue.poster()](std::function<void()> work) {
            rec.note("posted");
            post(std::move(work));
        });
        media.FilterGraph2.setOnDSEvent([this](const GraphEvent &e) { rec.events.push_back(e); });
        media.VideoWindow1.setFrameCallback([this](const VideoFrame &f) {
            if (f.width != 320 || f.height != 240 || f.stride < 960 || !f.rgb)
                rec.badFrame = true;
            if (rec.frames.fetch_add(1) == 0)
                rec.note("frame");
        });
        media.GetWebCamProc();
        media.GetWAVProc();
    }

    CaptureMedia media;
    testing::PostQueue queue;
    Recorder rec;
};

TEST_F(GraphTest, PreviewDeliversRgbFramesAfterPauseCompleted)
{
    media.startPreviewGraph();
    ASSERT_TRUE(media.FilterGraph2.Active());
    ASSERT_TRUE(queue.pumpUntil([&] { return rec.frames >= 10 && rec.has(kEcPaused); }, 20s));
    EXPECT_FALSE(rec.badFrame);
    EXPECT_FALSE(rec.has(kEcErrorAbort));
    ASSERT_EQ(rec.events.size(), 1u);  // so the first thing posted was the pause
    std::lock_guard lock(rec.mutex);
    ASSERT_GE(rec.sequence.size(), 2u);
    EXPECT_EQ(rec.sequence[0], "posted");
    EXPECT_EQ(rec.sequence[1], "frame");
}

TEST_F(GraphTest, FramesArePaintedMoving)
{
    std::mutex m;
    std::vector<std::vector<uint8_t>> shots;
    media.VideoWindow1.setFrameCallback([&](const VideoFrame &f) {
        std::lock_guard lock(m);
        if (shots.size() < 20)
            shots.emplace_back(f.rgb, f.rgb + f.stride * f.height);
    });
    media.startPreviewGraph();
    ASSERT_TRUE(queue.pumpUntil([&] { std::lock_guard lock(m); return shots.size() >= 20; }, 20s));
    EXPECT_NE(shots.front(), shots.back()) << "the test picture does not move";
}

TEST_F(GraphTest, StopAndRunAgainGivesAnotherPauseCompleted)
{
    media.startPreviewGraph();
    ASSERT_TRUE(queue.pumpUntil([&] { return rec.frames > 0; }, 20s));
    media.FilterGraph2.Stop();
    rec.events.clear();
    const int before = rec.frames;
    media.FilterGraph2.Run();
    ASSERT_TRUE(queue.pumpUntil([&] { return rec.has(kEcPaused) && rec.frames > before + 3; }, 20s));
}

TEST_F(GraphTest, EventsOfAnEarlierActivationAreDropped)
{
    media.startPreviewGraph();
    // Deactivate before the queued events run: none of them may arrive.
    media.FilterGraph2.setActive(false);
    queue.pumpFor(300ms);
    EXPECT_TRUE(rec.events.empty());
}

TEST_F(GraphTest, AVideoIndexBeyondTheListRunsWithoutPictureOrError)
{
    media.VideoDeviceIndex = 99;
    media.startPreviewGraph();
    EXPECT_TRUE(media.FilterGraph2.Active());
    EXPECT_FALSE(media.Filter1.holdsDevice());
    queue.pumpFor(500ms);
    EXPECT_EQ(rec.frames, 0);
    EXPECT_FALSE(rec.has(kEcErrorAbort));
}

TEST_F(GraphTest, ACameraPulledOutWhileRunningGivesAnErrorEvent)
{
    media.startPreviewGraph();
    ASSERT_TRUE(queue.pumpUntil([&] { return rec.frames > 0; }, 20s));
    GstDevice *camera = media.Filter1.BaseFilter().get();
    g_object_set(camera, "present", FALSE, nullptr);
    const bool gotError = queue.pumpUntil([&] { return rec.has(kEcErrorAbort); }, 20s);
    g_object_set(camera, "present", TRUE, nullptr);
    ASSERT_TRUE(gotError);
    for (const GraphEvent &e : rec.events) {
        if (e.code == kEcErrorAbort) {
            EXPECT_FALSE(e.text.empty());
            break;
        }
    }
    // Closing after the error neither hangs nor fails.
    media.closeDevice();
    EXPECT_FALSE(media.FilterGraph2.Active());
}

TEST_F(GraphTest, ACameraGoneBeforeActivationGivesAnErrorEvent)
{
    TSysDevEnum e(DeviceCategory::VideoInput);
    media.Filter1.setBaseFilter(e.DeviceMoniker(media.VideoDeviceIndex));
    GstDevice *camera = media.Filter1.BaseFilter().get();
    g_object_set(camera, "present", FALSE, nullptr);
    media.FilterGraph2.setActive(true);
    EXPECT_FALSE(media.FilterGraph2.renderPreview(media.Filter1, media.VideoWindow1));
    media.FilterGraph2.Run();
    const bool gotError = queue.pumpUntil([&] { return rec.has(kEcErrorAbort); }, 10s);
    // Going live without the camera is an error to report, not a crash.
    EXPECT_THROW(media.switchToLive(), MediaError);
    g_object_set(camera, "present", TRUE, nullptr);
    EXPECT_TRUE(gotError);
}

TEST_F(GraphTest, CloseDeviceLeavesTheGraphInactiveAndDropsTheEnumerator)
{
    media.startPreviewGraph();
    ASSERT_TRUE(queue.pumpUntil([&] { return rec.frames > 0; }, 20s));
    media.closeDevice();
    EXPECT_FALSE(media.FilterGraph2.Active());
    EXPECT_EQ(media.DeviceEnumerator, nullptr);
    const int frames = rec.frames;
    queue.pumpFor(200ms);
    EXPECT_EQ(rec.frames, frames);
}

}  // namespace
}  // namespace morlanex
