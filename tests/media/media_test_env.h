// Test support for the media tests: points GStreamer at the test devices of this build
// before anything initialises it, and stands in for the UI thread's event loop.
#pragma once

#include <gst/gst.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "media/capture_pipeline.h"

namespace morlanex::testing {

// Sets GST_PLUGIN_PATH to <build>/media/testdevices, keeps the registry private to the
// build and loads plugins in process, then initialises GStreamer. Call first in main().
void useTestDevices();

// Runs a shell command; its exit status (as pclose gives it) and its output and errors.
struct CommandResult {
    int status;
    std::string output;
};
CommandResult run(const std::string &command);

// Waits on the pipeline's bus descriptor, as the UI thread does, and collects its events.
class EventPump {
public:
    explicit EventPump(CapturePipeline &pipeline) : pipeline_(pipeline) {}
    // Takes events until `done()` holds or `timeout` passes; returns done().
    bool pumpUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout);
    void pumpFor(std::chrono::milliseconds duration);
    bool has(PipelineEvent::Kind kind) const;
    // The text of the first error taken; empty when there was none.
    std::string firstError() const;

    std::vector<PipelineEvent> events;

private:
    CapturePipeline &pipeline_;
};

}  // namespace morlanex::testing
