#include "media_test_env.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace morlanex::testing {

void useTestDevices()
{
    const char *build = std::getenv("MORLANEX_BUILD_DIR");
    const std::string dir = std::string(build ? build : ".") + "/media/testdevices";
    setenv("GST_PLUGIN_PATH", dir.c_str(), 1);
    setenv("GST_REGISTRY", (dir + "/registry.bin").c_str(), 1);
    // The plugin scanner is a helper process; in process is simpler under sanitizers.
    setenv("GST_REGISTRY_FORK", "no", 1);
    gst_init(nullptr, nullptr);
}

PostFunction PostQueue::poster()
{
    return [this](std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
        }
        cv_.notify_all();
    };
}

bool PostQueue::pumpUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            // Short slices: `done` may also turn true through other threads' work.
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                return done();
            const auto slice = std::min(deadline, now + std::chrono::milliseconds(20));
            if (!cv_.wait_until(lock, slice, [this] { return !queue_.empty(); }))
                continue;
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        work();
    }
    return true;
}

void PostQueue::pumpFor(std::chrono::milliseconds duration)
{
    pumpUntil([] { return false; }, duration);
}

}  // namespace morlanex::testing
