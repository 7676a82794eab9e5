// The media side against a real PipeWire daemon and session manager of the test's own, with a
// virtual camera and microphone offered as PipeWire nodes.
#include "media/device_catalog.h"
#include "pipewire_session.h"
#include "test_devices.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace morlanex;
using namespace morlanex::testing;

namespace {

bool listed(DeviceKind kind, const std::string &name) {
    const std::vector<CatalogEntry> entries = listDevices(kind);
    return std::any_of(entries.begin(), entries.end(), [&](const CatalogEntry &e) { return e.name == name; });
}

// Until the node shows or the hang guard of 10 s passes; not in a tight loop, each listing
// walks every provider. The PipeWire provider stays started between listings (stopping it is
// what double-frees in Debian 12's plugin), so this also follows a node going and coming back.
bool becomesListed(DeviceKind kind, const std::string &name, bool wanted = true) {
    for (int i = 0; i < 20; ++i) {
        if (listed(kind, name) == wanted) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    return false;
}

class PipeWireDevices : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        session = new PipeWireSession;
        why = session->start();
        useTestDevices();
        gst_init(nullptr, nullptr);
    }
    static void TearDownTestSuite() {
        delete session;
        session = nullptr;
    }
    void SetUp() override {
        if (!why.empty()) GTEST_SKIP() << "PipeWire cannot run here: " << why;
    }

    static inline PipeWireSession *session = nullptr;
    static inline std::string why;
};

}  // namespace

TEST_F(PipeWireDevices, BothVirtualDevicesAreListedByNameAndAGoneNodeIsNotAndComesBack) {
    const pid_t camera = session->offerCamera("Morlanex PipeWire Camera");
    const pid_t microphone = session->offerMicrophone("Morlanex PipeWire Microphone");
    ASSERT_TRUE(becomesListed(DeviceKind::Camera, "Morlanex PipeWire Camera")) << session->log();
    ASSERT_TRUE(becomesListed(DeviceKind::Microphone, "Morlanex PipeWire Microphone")) << session->log();

    // Unplugged and plugged in again, without restarting anything.
    session->remove(camera);
    EXPECT_TRUE(becomesListed(DeviceKind::Camera, "Morlanex PipeWire Camera", false));
    session->offerCamera("Morlanex PipeWire Camera");
    EXPECT_TRUE(becomesListed(DeviceKind::Camera, "Morlanex PipeWire Camera")) << session->log();
    session->remove(microphone);
}
