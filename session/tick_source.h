// Public header. Repeating ticks for the broadcast session's sequences.
//
// The session never owns a QTimer directly: it asks a TickSource for tickers, so the program
// runs on real time (QtTickSource) and tests step time by hand without waiting.
// Threads: a ticker is started, stopped and ticks on the thread that made it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace morlanex {

class Ticker {
public:
    virtual ~Ticker() = default;
    // Starts counting a fresh interval; a running ticker starts over.
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

class TickSource {
public:
    virtual ~TickSource() = default;
    // A stopped ticker that calls onTick once per interval while it runs.
    virtual std::unique_ptr<Ticker> makeTicker(std::chrono::milliseconds interval, std::function<void()> onTick) = 0;
};

// Real time, from the event loop of the calling thread.
class QtTickSource : public TickSource {
public:
    std::unique_ptr<Ticker> makeTicker(std::chrono::milliseconds interval, std::function<void()> onTick) override;
};

}  // namespace morlanex
