// Public header. What push mode means for the window: when to push (pushWanted), and the reach
// line and its story told with what the pusher does (withPush): pushing, browsers watch through
// the relay tier and Windows Media players, which must reach the broadcaster itself, cannot; or
// why it cannot push.
//
// Threads: plain functions.
#pragma once

#include "media/push/push_report.h"
#include "session/reach_status.h"

#include <optional>

namespace morlanex {

// Auto: once the findings are settled and nobody outside gets in (a second NAT, or a router
// that maps nothing and the directory could not connect). Always: at once. Off: never.
bool pushWanted(PushMode mode, const ReachText &reach);

ReachText withPush(const ReachText &reach, const std::optional<PushReport> &push);

}  // namespace morlanex
