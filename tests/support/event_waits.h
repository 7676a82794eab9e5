// Test support: bounded waits that keep the event loop running (datagram handlers and timers
// run on the test's thread). The bounds are hang guards, not speed targets.
#pragma once

#include "tests/directory_server/server_harness.h"

#include <functional>
#include <optional>
#include <vector>

namespace morlanex::testing {

// Generous: sanitizer builds on a shared machine are slow, and the live switch starts encoders.
constexpr int kPatienceMs = 20000;

// Runs the event loop until pred holds or ms pass; whether it held.
bool waitUntil(const std::function<bool()> &pred, int ms = kPatienceMs);
// Runs the event loop for ms.
void spinFor(int ms);
// The next datagram at a peer, the event loop running meanwhile.
std::optional<Received> receiveLive(ScriptedPeer &peer, int ms = kPatienceMs);
// Every datagram that arrives at a peer within ms.
std::vector<Received> collectLive(ScriptedPeer &peer, int ms);
// Only the datagrams carrying `word`, within ms.
std::vector<Received> collectCommand(ScriptedPeer &peer, std::string_view word, int ms);
// The first datagram carrying `word`, the event loop running meanwhile; others are dropped.
std::optional<DirectoryMessage> receiveCommandLive(ScriptedPeer &peer, std::string_view word, int ms = kPatienceMs);

}  // namespace morlanex::testing
