#include "media_test_env.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace morlanex::testing {

void useTestDevices() {
    const char *build = std::getenv("MORLANEX_BUILD_DIR");
    const std::string dir = std::string(build ? build : ".") + "/media/testdevices";
    setenv("GST_PLUGIN_PATH", dir.c_str(), 1);
    setenv("GST_REGISTRY", (dir + "/registry.bin").c_str(), 1);
    // The plugin scanner is a helper process; in process is simpler under sanitizers.
    setenv("GST_REGISTRY_FORK", "no", 1);
    gst_init(nullptr, nullptr);
}

CommandResult run(const std::string &command) {
    CommandResult r{-1, {}};
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return r;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
    r.status = pclose(pipe);
    return r;
}

bool EventPump::pumpUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return done();
        // Short slices: `done` may also turn true through other threads' work.
        pollfd fd{pipeline_.busDescriptor(), POLLIN, 0};
        const auto slice = std::min<std::chrono::milliseconds>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now), std::chrono::milliseconds(20));
        if (poll(&fd, 1, int(slice.count()) + 1) > 0) {
            for (PipelineEvent &e : pipeline_.takeEvents()) events.push_back(std::move(e));
        }
    }
    return true;
}

void EventPump::pumpFor(std::chrono::milliseconds duration) {
    pumpUntil([] { return false; }, duration);
}

bool EventPump::has(PipelineEvent::Kind kind) const {
    return std::any_of(events.begin(), events.end(), [kind](const PipelineEvent &e) { return e.kind == kind; });
}

std::string EventPump::firstError() const {
    for (const PipelineEvent &e : events)
        if (e.kind == PipelineEvent::Error) return e.text;
    return {};
}

}  // namespace morlanex::testing
