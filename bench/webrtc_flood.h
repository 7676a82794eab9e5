// Floods at the sink's WebRTC side for the hostile-load benchmark, on one thread of their own,
// each flood from many loopback addresses (each socket bound to one of 127.x.y.z):
//
//   offers (127.20.*): POST /whep, Connection: close, half a valid-looking offer (random ICE
//       credentials, a made-up fingerprint), half junk (random bytes; SDP without media or
//       without a fingerprint); each reply's status counted;
//   unfinished bodies (127.21.*): an offer's headers and a part of its body, then nothing;
//       reopened a second after the sink closes them;
//   DTLS ClientHellos (127.22.*): real ones (OpenSSL's DTLS client), replayed at the sink's UDP
//       port from addresses that never did STUN;
//   STUN binding requests with unknown usernames (127.23.*) and with wrong ones (127.24.*): the
//       sink's ufrag from one of the answers the offers got with a wrong remote ufrag, or the
//       right username with MESSAGE-INTEGRITY under a wrong password.
//
// A UDP datagram that comes back to a flood socket counts as an answer to that flood.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

namespace morlanex::bench {

struct FloodOptions {
    uint16_t httpPort = 0, udpPort = 0;
    double offersPerSecond = 400;  // attempted; at most `offersInFlight` open at once
    size_t offersInFlight = 256;
    size_t unfinishedBodies = 300;  // kept open
    double hellosPerSecond = 5000;
    double stunUnknownPerSecond = 5000, stunWrongPerSecond = 5000;
    size_t hosts = 2000;  // source addresses per flood
};

struct FloodCount {
    uint64_t sent = 0;  // requests or datagrams
    uint64_t answered = 0;  // UDP: datagrams back; HTTP: 201
    std::map<int, uint64_t> statuses;  // HTTP: replies by status; 0: closed without one
};

struct FloodResult {
    double seconds = 0;
    FloodCount validOffers, junkOffers, unfinishedBodies, hellos, stunUnknown, stunWrong;
};

class WebrtcFlood {
public:
    explicit WebrtcFlood(const FloodOptions &options);
    ~WebrtcFlood();
    WebrtcFlood(const WebrtcFlood &) = delete;
    WebrtcFlood &operator=(const WebrtcFlood &) = delete;

    // Binds the UDP sockets and makes the ClientHellos; false with `*error` when it cannot.
    bool prepare(std::string *error);
    void start();  // the floods begin
    void stop();  // and end; result() is final after
    FloodResult result() const;

private:
    struct State;
    void run();
    std::unique_ptr<State> state_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Prints each flood's messages sent and what came back, and the per-second rates.
void printFloodResult(const FloodResult &r);

// The hostile benchmark's WebRTC run (webrtc_hostile.cpp): `viewers` of the load generator
// join the WebRTC bench server `server` replaying `recording`, then the floods run beside them
// for a window of `seconds`, their rates `floodScale` times FloodOptions' (0: no floods, for a
// run to compare with), and 20 newcomers join 5 s into it. Prints the figures, the newcomers'
// (answered, playing) among them; 1 when the sink could not be started or died.
int runWebrtcHostile(const std::string &server, const std::string &recording, int seconds, size_t viewers,
                     double floodScale = 1);

// The sink's counters at /metrics (one blocking GET on 127.0.0.1): sample line -> value.
std::map<std::string, double> sinkMetrics(uint16_t httpPort);

}  // namespace morlanex::bench
