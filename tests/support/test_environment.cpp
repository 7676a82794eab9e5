// Linked into every test binary: the environment its tests expect, set before main() so that
// GStreamer and Qt see it however the binary is started (ctest, by hand, under a debugger).
// MORLANEX_TEST_ENVIRONMENT is "NAME=value|NAME=value..." from the test's build list.
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

struct TestEnvironment {
    TestEnvironment() {
        std::string_view all = MORLANEX_TEST_ENVIRONMENT;
        while (!all.empty()) {
            const std::size_t bar = all.find('|');
            const std::string_view entry = all.substr(0, bar);
            const std::size_t equals = entry.find('=');
            if (equals != std::string_view::npos)
                setenv(std::string(entry.substr(0, equals)).c_str(), std::string(entry.substr(equals + 1)).c_str(), 1);
            all = bar == std::string_view::npos ? std::string_view() : all.substr(bar + 1);
        }
    }
} const environment;

}  // namespace
