#include "session/notified_endpoint.h"

#include <QSocketNotifier>

namespace morlanex {

NotifiedEndpoint::NotifiedEndpoint() : endpoint([this](int fd, bool open) { watch(fd, open); }) {}

NotifiedEndpoint::~NotifiedEndpoint() = default;

void NotifiedEndpoint::watch(int fd, bool open) {
    notifier_.reset();  // Qt allows this from the notifier's own signal (a handler's deactivation)
    if (!open) return;
    notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { endpoint.readReady(); });
}

}  // namespace morlanex
