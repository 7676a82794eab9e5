#include "event_waits.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace morlanex::testing {

bool waitUntil(const std::function<bool()> &pred, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

void spinFor(int ms) {
    waitUntil([] { return false; }, ms);
}

std::optional<Received> receiveLive(ScriptedPeer &peer, int ms) {
    std::optional<Received> got;
    waitUntil([&] { return bool(got = peer.receive(std::chrono::milliseconds(0))); }, ms);
    return got;
}

std::vector<Received> collectLive(ScriptedPeer &peer, int ms) {
    std::vector<Received> all;
    waitUntil(
        [&] {
            while (auto got = peer.receive(std::chrono::milliseconds(0))) all.push_back(std::move(*got));
            return false;
        },
        ms);
    return all;
}

std::vector<Received> collectCommand(ScriptedPeer &peer, std::string_view word, int ms) {
    std::vector<Received> matching;
    for (Received &r : collectLive(peer, ms))
        if (r.message() && r.message()->matches(word)) matching.push_back(std::move(r));
    return matching;
}

std::optional<DirectoryMessage> receiveCommandLive(ScriptedPeer &peer, std::string_view word, int ms) {
    std::optional<DirectoryMessage> found;
    waitUntil(
        [&] {
            while (!found) {
                auto got = peer.receive(std::chrono::milliseconds(0));
                if (!got) break;
                if (got->message() && got->message()->matches(word)) found = got->message();
            }
            return found.has_value();
        },
        ms);
    return found;
}

}  // namespace morlanex::testing
