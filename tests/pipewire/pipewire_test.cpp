// The media side against a real PipeWire daemon and session manager of the test's own, with a
// virtual camera and microphone offered as PipeWire nodes.
#include "bench/bench_process.h"
#include "media/capture_media.h"
#include "media/device_catalog.h"
#include "media_test_env.h"
#include "pipewire_session.h"
#include "tests/support/poll_until.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace morlanex;
using namespace morlanex::testing;
using namespace std::chrono_literals;

namespace {

// The device's position in its kind's list; -1 when it is not there.
int indexOf(DeviceKind kind, const std::string &name) {
    const std::vector<CatalogEntry> entries = listDevices(kind);
    const auto it = std::find_if(entries.begin(), entries.end(), [&](const CatalogEntry &e) { return e.name == name; });
    return it == entries.end() ? -1 : static_cast<int>(it - entries.begin());
}

bool listed(DeviceKind kind, const std::string &name) { return indexOf(kind, name) >= 0; }

// Until the node shows or the hang guard of 10 s passes; not in a tight loop, each listing
// walks every provider. The PipeWire provider stays started between listings (stopping it is
// what double-frees in Debian 12's plugin), so this also follows a node going and coming back.
bool becomesListed(DeviceKind kind, const std::string &name, bool wanted = true) {
    return pollUntil([&] { return listed(kind, name) == wanted; }, 10s, 500ms);
}

class PipeWireDevices : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        session = new PipeWireSession;
        why = session->start();
        useTestDevices();  // after the daemon: GStreamer's PipeWire clients look for it at start
    }
    static void TearDownTestSuite() {
        delete session;
        session = nullptr;
    }
    void SetUp() override {
        if (!why.empty()) GTEST_SKIP() << "PipeWire cannot run here: " << why;
    }
    // A test's nodes go with it, so that the next finds only its own by name.
    void TearDown() override {
        for (pid_t p : offered) session->remove(p);
    }
    pid_t offerCamera() { return offered.emplace_back(session->offerCamera("Morlanex PipeWire Camera")); }
    pid_t offerMicrophone() { return offered.emplace_back(session->offerMicrophone("Morlanex PipeWire Microphone")); }

    std::vector<pid_t> offered;

    static inline PipeWireSession *session = nullptr;
    static inline std::string why;
};

}  // namespace

TEST_F(PipeWireDevices, BothVirtualDevicesAreListedByNameAndAGoneNodeIsNotAndComesBack) {
    const pid_t camera = offerCamera();
    offerMicrophone();
    ASSERT_TRUE(becomesListed(DeviceKind::Camera, "Morlanex PipeWire Camera")) << session->log();
    ASSERT_TRUE(becomesListed(DeviceKind::Microphone, "Morlanex PipeWire Microphone")) << session->log();

    // Unplugged and plugged in again, without restarting anything.
    session->remove(camera);
    EXPECT_TRUE(becomesListed(DeviceKind::Camera, "Morlanex PipeWire Camera", false));
    offerCamera();
    EXPECT_TRUE(becomesListed(DeviceKind::Camera, "Morlanex PipeWire Camera")) << session->log();
}

// Live at level 2 through the offered devices, once both are listed.
void goLiveThroughBoth(CaptureMedia &media, EventPump &pump) {
    media.listCameras();
    media.listMicrophones();
    media.choice.camera = indexOf(DeviceKind::Camera, "Morlanex PipeWire Camera");
    media.choice.microphone = indexOf(DeviceKind::Microphone, "Morlanex PipeWire Microphone");
    media.serving.bindAddress = "127.0.0.1";
    media.serving.port = bench::freeLoopbackPort();
    ASSERT_TRUE(media.applyLevel(2));
    media.startPreview();
    // Frames from the provided camera reach the preview.
    ASSERT_TRUE(pump.pumpUntil([&] { return media.pipeline.framesDelivered() >= 15; }, 20s)) << pump.firstError();
    ASSERT_EQ(media.goLive(), LiveStart::Started) << media.broadcast()->error();
    ASSERT_TRUE(pump.pumpUntil([&] { return media.broadcast()->packetsOut() > 0; }, 20s)) << pump.firstError();
}

TEST_F(PipeWireDevices, TenSecondsLiveThroughBothDevicesDecodeCleanly) {
    offerCamera();
    offerMicrophone();
    ASSERT_TRUE(becomesListed(DeviceKind::Camera, "Morlanex PipeWire Camera")) << session->log();
    ASSERT_TRUE(becomesListed(DeviceKind::Microphone, "Morlanex PipeWire Microphone")) << session->log();

    CaptureMedia media;
    EventPump pump{media.pipeline};
    ASSERT_NO_FATAL_FAILURE(goLiveThroughBoth(media, pump)) << session->log();

    const std::string url = "http://127.0.0.1:" + std::to_string(media.serving.port) + "/";
    // Ten seconds of the stream hold both devices' worth of ten seconds: 15 pictures and some
    // 21 sound frames a second at this level (a graph paced by the wrong driver gave a third).
    const CommandResult probe = run("timeout 60 ffprobe -v error -read_intervals %+10 -count_frames "
                                    "-show_entries stream=codec_name,nb_read_frames -of csv=p=0 " +
                                    url);
    int sound = 0, pictures = 0;
    ASSERT_EQ(std::sscanf(probe.output.c_str(), "wmav2,%d\nwmv2,%d", &sound, &pictures), 2) << probe.output;
    EXPECT_GT(sound, 150) << probe.output;
    EXPECT_GT(pictures, 100) << probe.output;
    const CommandResult decode = run("timeout 60 ffmpeg -nostdin -v error -i " + url + " -t 10 -f null -");
    EXPECT_EQ(decode.status, 0);
    EXPECT_EQ(decode.output, "");
    pump.pumpFor(10ms);
    EXPECT_EQ(pump.firstError(), "");
    media.close();
}

// A node goes away as an unplugged device's does: the pipeline says which device failed, and
// the window acts on that as with the test devices (silence for the microphone, the broadcast
// ended for the camera). A PipeWire source whose node went would otherwise wait for frames.
TEST_F(PipeWireDevices, ANodeRemovedWhileLiveIsReportedAsItsDeviceLost) {
    const pid_t camera = offerCamera();
    const pid_t microphone = offerMicrophone();
    ASSERT_TRUE(becomesListed(DeviceKind::Camera, "Morlanex PipeWire Camera")) << session->log();
    ASSERT_TRUE(becomesListed(DeviceKind::Microphone, "Morlanex PipeWire Microphone")) << session->log();
    CaptureMedia media;
    EventPump pump{media.pipeline};
    ASSERT_NO_FATAL_FAILURE(goLiveThroughBoth(media, pump)) << session->log();

    const auto lost = [&](DeviceKind kind) {
        return std::count_if(pump.events.begin(), pump.events.end(), [&](const PipelineEvent &e) {
            return e.kind == PipelineEvent::Error && e.device == kind;
        });
    };
    for (auto [kind, provider] : {std::pair{DeviceKind::Microphone, microphone}, {DeviceKind::Camera, camera}}) {
        const auto removed = std::chrono::steady_clock::now();
        session->remove(provider);
        ASSERT_TRUE(pump.pumpUntil([&] { return lost(kind) == 1; }, 10s)) << pump.firstError();
        std::printf("%s failure reported %.2f s after its node went\n",
                    kind == DeviceKind::Camera ? "camera" : "microphone",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - removed).count());
    }
    EXPECT_EQ(lost(DeviceKind::Microphone), 1) << "a camera lost is not the microphone's";
    media.close();
}
