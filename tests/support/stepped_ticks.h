// Test support: a tick source whose time moves only when the test says so.
#pragma once

#include "session/tick_source.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace morlanex::testing {

class SteppedTicks : public TickSource {
public:
    std::unique_ptr<Ticker> makeTicker(std::chrono::milliseconds interval, std::function<void()> onTick) override {
        auto ticker = std::make_unique<Stepped>(interval, std::move(onTick), tickers_);
        tickers_->push_back(ticker.get());
        return ticker;
    }

    // Moves time on by `span`, firing every due tick in time order (a tick may start or stop
    // tickers; those take effect from that moment).
    void advance(std::chrono::milliseconds span) {
        while (span.count() > 0) {
            std::chrono::milliseconds step = span;
            for (Stepped *t : *tickers_)
                if (t->active) step = std::min(step, t->interval - t->elapsed);
            span -= step;
            const std::vector<Stepped *> now = *tickers_;
            for (Stepped *t : now)
                if (t->active) t->elapsed += step;
            for (Stepped *t : now) {
                if (t->active && t->elapsed >= t->interval) {
                    t->elapsed = std::chrono::milliseconds(0);
                    t->onTick();
                }
            }
        }
    }
    void advanceSeconds(int seconds) { advance(std::chrono::seconds(seconds)); }

private:
    struct Stepped : Ticker {
        Stepped(std::chrono::milliseconds i, std::function<void()> f, std::shared_ptr<std::vector<Stepped *>> all)
            : interval(i), onTick(std::move(f)), tickers(std::move(all)) {}
        ~Stepped() override { std::erase(*tickers, this); }
        void start() override {
            active = true;
            elapsed = std::chrono::milliseconds(0);
        }
        void stop() override { active = false; }
        bool isActive() const override { return active; }

        std::chrono::milliseconds interval;
        std::function<void()> onTick;
        std::shared_ptr<std::vector<Stepped *>> tickers;
        std::chrono::milliseconds elapsed{0};
        bool active = false;
    };
    std::shared_ptr<std::vector<Stepped *>> tickers_ = std::make_shared<std::vector<Stepped *>>();
};

}  // namespace morlanex::testing
