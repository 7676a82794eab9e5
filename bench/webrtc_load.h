// The WebRTC benchmark's load generator: many WebRTC viewers in one process. Signalling
// threads set each viewer up through a Signalling (WHEP, or another server's API) and hands
// it to the media thread, one epoll loop over every viewer's UDP socket, which does the rest
// as a browser would: STUN binding checks (and answers to the server's, for a full-ICE
// server), the DTLS client handshake, and VP8 frames told from RTP (a frame is whole when its
// packets from the one before to its marker came without a gap). Its sockets take segmented
// datagrams whole (UDP_GRO). Packets, losses and whole frames are counted from the RTP header,
// which SRTP leaves in clear; the sampled viewers' packets are also opened (authenticated and
// decrypted) and their VP8 frames put together from the payload and checked (see
// webrtc_load_rtp.h). `sampleFirst` and `sampleEvery` say which viewers are sampled: the
// first ones and every n-th after them; by default all.
//
// Timeline of run(): joins paced at `joinsPerSecond`; wait until every viewer plays or failed
// (or `setupTimeout` after the last join); warm up; measure for `window`. In the window it
// counts per viewer the packets received against those sent (sequence numbers, both
// streams) and for every whole video frame its lateness: arrival less RTP time, from an origin
// that is the viewer's earliest frame in the window. A viewer was kept live when none of its
// frames came more than 1 s later than that, and frames kept coming to the end. With
// WHEP_LOAD_DEBUG set it also prints how many viewers were connected and got media.
//
// Links: viewer i is in group i % linkBytesPerSecond.size(); a group with a rate receives
// through a LinkQueue (webrtc_load_link.h). Every viewer sends a receiver report about each of
// its streams every second, with a REMB from what it received (1.5 times the rate while loss
// is under 2 %, less as loss grows over 10 %). Which rendition a viewer was sent is told by
// the rate that came to its link in each 2 s, the nearest (by ratio) of the renditions' rates
// given (a viewer on a slow link may get no whole frame of a rendition its link cannot carry).
//
// Join storm: `stormViewers` more join at an even pace over `stormSpread`, from `stormAfter`
// into the window, on links without limit; they are counted apart from the others, whose
// frames during the storm (from its start to `stormSpread` + 5 s later) are also summed apart.
#pragma once

#include "webrtc/dtls.h"

#include <chrono>
#include <cstdint>
#include <cstddef>
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
    std::vector<double> linkBytesPerSecond;  // per group; 0: no limit; empty: one group without
    std::vector<double> renditionBitsPerSecond;  // each rendition's with the sound, the top first
    size_t stormViewers = 0;
    std::chrono::seconds stormAfter{5}, stormSpread{5};
    size_t sampleFirst = SIZE_MAX, sampleEvery = 1;
};

struct WebrtcGroupResult {
    double linkBytesPerSecond = 0;
    size_t viewers = 0, playing = 0, keptLive = 0;
    size_t froze = 0;  // viewers with more than 1 s between two whole frames in the window
    uint64_t packetsExpected = 0, packetsReceived = 0;
    double delayP50 = 0, delayP95 = 0;
    std::vector<size_t> endedOn;  // viewers (playing or not) by the rendition sent in the window's last 2 s
    size_t moves = 0;  // rendition changes seen in the window, all its viewers together
    double receivedBitsPerSecond = 0;  // through the link, per viewer that received anything
};

struct WebrtcStormResult {
    size_t viewers = 0, joined = 0, playing = 0;
    size_t playingWithin5s = 0;  // first whole frame within 5 s of the request
    double firstFrameP50 = 0, firstFrameP95 = 0, firstFrameMax = 0;  // seconds from the request
    double joinSeconds = 0;  // from the first request to the last
    // The viewers already playing, while the storm came in.
    size_t watching = 0, watchingKeptLive = 0;
    double watchingDelayP95 = 0;
};

// What the sampled viewers' packets showed once opened, from the window's start to its end.
struct WebrtcSampleResult {
    size_t viewers = 0;
    uint64_t authenticated = 0, rejected = 0;  // packets whose SRTP tag matched, did not
    uint64_t frames = 0, malformed = 0;  // whole VP8 frames put together; of them not a VP8 frame
    std::map<std::pair<int, int>, uint64_t> keyFrames;  // by picture size
};

struct WebrtcLoadResult {
    size_t viewers = 0;  // attempted
    size_t joined = 0;  // offer/answer done
    size_t playing = 0;  // DTLS done and whole video frames came in the window (those before a storm)
    size_t keptLive = 0;
    uint64_t packetsExpected = 0, packetsReceived = 0;  // in the window
    uint64_t windowBytes = 0;  // UDP payload received in the window
    double windowSeconds = 0;
    double delayP50 = 0, delayP95 = 0;  // seconds, over every whole frame in the window
    std::map<std::string, size_t> failures;  // why viewers failed (the reason's start), how many
    std::vector<WebrtcGroupResult> groups;  // the viewers above by link
    WebrtcStormResult storm;
    WebrtcSampleResult sample;
    size_t groRefused = 0;  // sockets that refused UDP_GRO (then segments come one by one)
};

WebrtcLoadResult runWebrtcLoad(Signalling &signalling, const WebrtcLoadOptions &options);

}  // namespace morlanex::bench
