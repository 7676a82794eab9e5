#include "tests/asf/recorded_test_stream.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace morlanex::test {

std::string testStreamPath() {
    static const std::string path = [] {
        char dir[] = "/tmp/asf-test-XXXXXX";
        const char *made = ::mkdtemp(dir);
        return std::string(made ? made : "/tmp") + "/stream.asf";
    }();
    return path;
}

const RecordedAsf &testStream() {
    static const RecordedAsf stream = [] {
        const char *src = std::getenv("MORLANEX_SOURCE_DIR");
        const std::string script = std::string(src ? src : ".") + "/tests/asf/make_test_stream.sh";
        // 6 s at the 768 kbps profile, a key frame every second.
        const std::string cmd = script + " " + testStreamPath() + " 6 1 4800";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot record the test stream: " << cmd;
        std::string error;
        auto s = loadRecordedAsf(testStreamPath(), &error);
        if (!s) ADD_FAILURE() << "cannot read the test stream: " << error;
        return s ? *s : RecordedAsf{};
    }();
    return stream;
}

}  // namespace morlanex::test
