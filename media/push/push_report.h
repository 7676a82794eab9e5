// Public header. Push mode as the rest of the program sees it: whether a broadcast pushes its
// browser rendition to the relay tier (PushMode), and how the pusher is doing (PushReport, see
// BroadcastPusher).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace morlanex {

// Auto: when the directory finds that viewers outside cannot reach the broadcaster (behind a
// second NAT, say); Always; Off.
enum class PushMode { Off, Auto, Always };

enum class PushState {
    Asking,  // for the credential
    Unavailable,  // no credential: no tier, not this node's, or the directory did not answer
    Ready,  // holds the credential, not pushing (the broadcaster is reachable)
    Pushing,
    Refused,  // the tier refused the credential and the directory gave no other
    Stopped,
};

struct PushReport {
    PushState state = PushState::Asking;
    std::string detail;  // why Unavailable or Refused; where it pushes to
    std::string channelId;
    uint64_t segmentsPushed = 0, segmentsSkipped = 0, bytesPushed = 0;
    size_t queuedBytes = 0, mostQueuedBytes = 0;
};

}  // namespace morlanex
