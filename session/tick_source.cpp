#include "session/tick_source.h"

#include <QTimer>

namespace morlanex {
namespace {

class QtTicker : public Ticker {
public:
    QtTicker(std::chrono::milliseconds interval, std::function<void()> onTick) {
        timer.setInterval(interval);
        QObject::connect(&timer, &QTimer::timeout, &timer, std::move(onTick));
    }
    void start() override { timer.start(); }
    void stop() override { timer.stop(); }
    bool isActive() const override { return timer.isActive(); }

private:
    QTimer timer;
};

}  // namespace

std::unique_ptr<Ticker> QtTickSource::makeTicker(std::chrono::milliseconds interval, std::function<void()> onTick) {
    return std::make_unique<QtTicker>(interval, std::move(onTick));
}

}  // namespace morlanex
