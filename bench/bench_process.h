// Child processes for the benchmark (the sink's bench server, VLC) and what /proc says about
// them: CPU seconds and resident memory.
#pragma once

#include "net/socket.h"

#include <cstdint>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace morlanex::bench {

struct ProcessOptions {
    uid_t uid = 0;  // switch to this user before exec when not 0 (VLC refuses root)
    gid_t gid = 0;
    std::string home;  // HOME for the child, when set
    bool quiet = false;  // stdout and stderr to /dev/null
    int cpu = -1;  // pinned to this CPU (its threads too) when not -1
};

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts argv[0] (looked up in PATH). `stdoutPipe` gives a readable fd of its stdout.
    bool start(const std::vector<std::string> &argv, const ProcessOptions &options, bool stdoutPipe = false);
    // Reads one line of the child's stdout (pipe mode), waiting at most `timeoutMs`.
    std::string readLine(int timeoutMs);
    void stop();  // SIGTERM, then SIGKILL after 3 s; reaps
    // Sends `signal` (0: none) and waits up to `timeoutMs` for the child to end (reaped); false if it did not.
    bool signalAndWait(int signal, int timeoutMs);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    UniqueFd out_;
    std::string pending_;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
uint16_t freeLoopbackPort();

struct CpuTimes {
    double user = -1, system = -1;  // seconds; -1 when unknown
    double total() const { return user + system; }
};
CpuTimes cpuTimes(pid_t pid);  // of the whole process, its threads together
double cpuSeconds(pid_t pid);  // user + system time so far, -1 when unknown
double threadCpuSeconds(pid_t tid);  // the same for one thread of this process
double residentKiB(pid_t pid);  // VmRSS, -1 when unknown
// The local ports of the process's IPv4 UDP sockets (its fds matched with /proc/PID/net/udp).
std::set<uint16_t> udpPorts(pid_t pid);

}  // namespace morlanex::bench
