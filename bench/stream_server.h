// The servers the fan-out benchmarks load: our sink in netsink_bench_server, or VLC's HTTP
// streaming output (asfh muxer) looping a file, each in a process of its own.
#pragma once

#include "bench_process.h"

#include <cstdint>
#include <string>

namespace morlanex::bench {

struct ServerSpec {
    bool vlc = false;
    std::string program;  // netsink_bench_server (ours)
    std::string stream;  // what it serves: an ASF file, or for ours also a tagged recording
    std::string fanOutMs;  // ours: the sink's fan-out interval; empty: its default
};

class StreamServer {
public:
    // Starts it on 127.0.0.1:port and waits until it serves (ok() says whether it does).
    StreamServer(const ServerSpec &spec, uint16_t port, size_t maxClients);
    bool ok() const { return ok_; }
    pid_t pid() const { return child_.pid(); }
    // Ours: its sink's counters now, the line "stats dropped D renditions A B C D viewers V"
    // (empty when none came). VLC: "".
    std::string stats();

private:
    bool vlc_;
    ChildProcess child_;
    bool ok_ = false;
};

// Whether something accepts connections on 127.0.0.1:port.
bool listening(uint16_t port);
// Raises this process's open-file limit to 65536 where it may (root), else to its hard limit.
void raiseFileLimit();

}  // namespace morlanex::bench
