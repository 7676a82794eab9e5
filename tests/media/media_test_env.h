// Test support for the media tests: points GStreamer at the test devices of this build
// before anything initialises it, and runs "UI thread" work posted by the graph.
#pragma once

#include <gst/gst.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "media/filter_graph.h"

namespace morlanex::testing {

// Sets GST_PLUGIN_PATH to <build>/media/testdevices, keeps the registry private to the
// build and loads plugins in process, then initialises GStreamer. Call first in main().
void useTestDevices();

// A stand-in for the UI thread: post() queues, pump() runs queued work on the caller.
class PostQueue {
public:
    PostFunction poster();
    // Runs queued work until `done()` holds or `timeout` passes; returns done().
    bool pumpUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout);
    void pumpFor(std::chrono::milliseconds duration);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
};

}  // namespace morlanex::testing
