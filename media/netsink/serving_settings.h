// Public header. Where and to how many a broadcast is served: declared once here and carried
// as one value from the program's configuration through the broadcast to the network sink.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace morlanex {

struct ServingSettings {
    std::string bindAddress = "0.0.0.0";
    // The stream's TCP port (the pages too). A broadcast with 0 encodes without serving; a
    // sink given 0 takes any free port.
    uint16_t port = 0;
    size_t maxClients = 6000;  // simultaneous viewers, of every kind
    // New packets are written to the viewers at most this often, so each write carries
    // several packets: far fewer system calls per byte, for a delay that players hide in
    // their preroll of seconds. 0 = write every packet at once.
    std::chrono::milliseconds fanOutInterval{400};
    // WebRTC playback (WHEP, POST /whep with an SDP offer) on a UDP port of its own: 0 = a port
    // the system chooses at start, 1..65535 = that port (fixed in Morlanex.conf for a
    // firewall), -1 = no WebRTC. See docs/webrtc.md.
    int webrtcPort = 0;
};

}  // namespace morlanex
