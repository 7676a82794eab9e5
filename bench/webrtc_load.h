// The WebRTC benchmark's load generator: many WebRTC viewers in one process. Signalling
// threads set each viewer up through a Signalling (WHEP, or another server's API) and hands
// it to the media thread, one epoll loop over every viewer's UDP socket, which does the rest
// as a browser would: STUN binding checks (and answers to the server's, for a full-ICE
// server), the DTLS client handshake, SRTP unprotection of every packet, and VP8 frames put
// together from RTP (a frame is whole when its packets from the one before to its marker
// came without a gap).
//
// Timeline of run(): joins paced at `joinsPerSecond`; wait until every viewer plays or failed
// (or `setupTimeout` after the last join); warm up; measure for `window`. In the window it
// counts per viewer the packets received against those sent (sequence numbers, both
// streams) and for every whole video frame its lateness: arrival less RTP time, from an origin
// that is the viewer's earliest frame in the window. A viewer was kept live when none of its
// frames came more than 1 s later than that, and frames kept coming to the end. With
// WHEP_LOAD_DEBUG set it also prints how many viewers were connected and got media.
#pragma once

#include "webrtc/dtls.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <netinet/in.h>

namespace morlanex::bench {

// What the media plane needs of one viewer once signalling is done.
struct ViewerSetup {
    int fd = -1;  // its UDP socket, bound; the load takes it
    std::string localUfrag, localPassword;
    std::string remoteUfrag, remotePassword;
    std::string fingerprintAlgorithm = "sha-256", fingerprint;  // the server's certificate
    sockaddr_in remote{};  // the server's candidate
    bool controlling = true;  // against an ICE-lite server; false against a full-ICE one
    int videoPayloadType = 96, audioPayloadType = 111;  // as the server's description has them
};

// Sets up one viewer (blocking; called on several signalling threads at once): makes its
// socket, does the offer/answer. False, with `*error`, when the server refused or did not answer.
class Signalling {
public:
    virtual ~Signalling() = default;
    virtual bool join(const webrtc::DtlsContext &identity, ViewerSetup *setup, std::string *error) = 0;
};

struct WebrtcLoadOptions {
    size_t viewers = 100;
    double joinsPerSecond = 200;
    std::chrono::seconds setupTimeout{20};
    std::chrono::seconds warmUp{3};
    std::chrono::seconds window{20};
    std::function<void()> onWindowStart, onWindowEnd;
};

struct WebrtcLoadResult {
    size_t viewers = 0;  // attempted
    size_t joined = 0;  // offer/answer done
    size_t playing = 0;  // DTLS done and whole video frames came in the window
    size_t keptLive = 0;
    uint64_t packetsExpected = 0, packetsReceived = 0;  // in the window
    uint64_t windowBytes = 0;  // UDP payload received in the window
    double windowSeconds = 0;
    double delayP50 = 0, delayP95 = 0;  // seconds, over every whole frame in the window
    std::map<std::string, size_t> failures;  // why viewers failed (the reason's start), how many
};

WebrtcLoadResult runWebrtcLoad(Signalling &signalling, const WebrtcLoadOptions &options);

}  // namespace morlanex::bench
