#include "test_devices.h"

#include "tests/directory_server/server_harness.h"

#include <cstdlib>

namespace morlanex::testing {

void useTestDevices() {
    static TempDir registry;
    const std::string plugins = (buildDir() / "media" / "testdevices").string();
    setenv("GST_PLUGIN_PATH", plugins.c_str(), 1);
    setenv("GST_REGISTRY", (registry.path() / "registry.bin").c_str(), 1);
    setenv("GST_REGISTRY_FORK", "no", 1);
}

}  // namespace morlanex::testing
