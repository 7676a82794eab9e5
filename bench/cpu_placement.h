// Where a benchmark's processes and the kernel's receive work run, and what each CPU spent
// meanwhile: for measuring a server on a core of its own, apart from its load generator.
//
//   - pinThisThread(): this thread, and the threads and processes it makes afterwards, on one
//     CPU (a child of ChildProcess is pinned with ProcessOptions::cpu).
//   - ReceiveSteering: Receive Packet Steering of the loopback device's queue (rps_cpus):
//     the receive processing of every datagram on loopback, which otherwise runs on the
//     sender's CPU, moved to a given one. What it found is written back on destruction. It
//     changes the network namespace it runs in (bench/whep runs the bench in one of its own).
//   - CpuSample: per CPU, /proc/stat's times and /proc/softirqs' network counts, and the
//     packets the receive backlog dropped (/proc/net/softnet_stat); differences over a window.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace morlanex::bench {

bool pinThisThread(int cpu);
int cpuCount();

class ReceiveSteering {
public:
    ReceiveSteering();
    ~ReceiveSteering();
    ReceiveSteering(const ReceiveSteering &) = delete;
    ReceiveSteering &operator=(const ReceiveSteering &) = delete;

    // Receive work to `cpu`; -1: where it comes in (steering off). False, with `*error`, if refused.
    bool steerTo(int cpu, std::string *error);

private:
    std::string original_;
    bool changed_ = false;
};

struct CpuSample {
    double user = 0, system = 0, softirq = 0, irq = 0, idle = 0;  // seconds (user with nice, idle with iowait)
    uint64_t netRx = 0, netTx = 0;  // NET_RX and NET_TX softirqs raised
    uint64_t backlogDrops = 0;
    double busy() const { return user + system + softirq + irq; }
};

// One per CPU, in CPU order.
std::vector<CpuSample> sampleCpus();
std::vector<CpuSample> difference(const std::vector<CpuSample> &after, const std::vector<CpuSample> &before);
// "cpu0 0.05 s softirq (NET_RX 1200, NET_TX 0), 3 % busy; cpu1 ..." for a window of `seconds`.
std::string describeSoftirqs(const std::vector<CpuSample> &delta, double seconds);

// The process of a kernel thread by name (as "ksoftirqd/0"), or -1.
pid_t kernelThread(const std::string &name);
// The 1-minute load average.
double loadAverage();

}  // namespace morlanex::bench
