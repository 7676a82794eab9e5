// Test support: a bounded wait on a condition that another thread or process makes true, for
// tests without an event loop (those with one use event_waits.h). The bound is a hang guard,
// not a speed target.
#pragma once

#include <chrono>
#include <thread>

namespace morlanex::testing {

// Checks `condition` every `step` until it holds or `limit` passes; whether it held. A step
// longer than the default suits a check that is costly (a device listing, a process table).
template <typename Condition>
bool pollUntil(Condition &&condition, std::chrono::milliseconds limit = std::chrono::seconds(10),
               std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        // The pause between two checks of the condition, not a wait of its own.
        std::this_thread::sleep_for(step);
    }
    return true;
}

}  // namespace morlanex::testing
