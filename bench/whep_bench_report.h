// What whep_bench measured of one server under one load, and how it prints it (see whep_bench.cpp).
#pragma once

#include "cpu_placement.h"
#include "webrtc_load.h"

#include <chrono>
#include <string>
#include <vector>

namespace morlanex::bench {

struct WhepOptions {
    std::string server, recording;
    std::chrono::seconds duration{30};
    std::vector<size_t> viewers{1000};
    bool janus = false;
    double joinsPerSecond = 200;
    std::vector<double> linkKbps;
    size_t stormViewers = 0;
    int stormSeconds = 5;
    std::vector<double> renditionBitsPerSecond;  // from the recording, the top first
    int serverCpu = -1, loadCpu = -1;  // -1: not pinned
    std::vector<bool> steering{true};  // the runs per server: receive work steered to the load's CPU, or not
    std::string perfDir;  // when set, a profile of each server over its window
    size_t sampleFirst = 100, sampleEvery = 10;  // the viewers opened fully (see webrtc_load.h)
};

struct WhepRow {
    std::string server;  // "netsink" or "Janus"
    size_t viewers = 0;
    bool steered = false;
    bool ok = false;
    WebrtcLoadResult load;
    double cpuPerGB = 0, kibPerViewer = 0;
    // The server's CPU seconds in the window: its process's user time, its kernel time (with its
    // core's ksoftirqd's when pinned) less the softirq, and its core's softirq (at most the kernel time).
    double user = 0, system = 0, softirq = 0;
    double coreBusy = -1;  // seconds its core was busy with anything; -1 when not pinned
    double loadCpu = 0;  // seconds the load generator (this process) used
    std::vector<CpuSample> cpus;  // per CPU over the window
    double loadStart = 0, loadEnd = 0;  // the 1-minute load average
    std::string profile;  // the perf data file, when recorded

    double seconds() const { return load.windowSeconds; }
    double gigabytes() const { return double(load.windowBytes) / 1e9; }
    double cpu() const { return user + system + softirq; }
    // What came to each playing viewer, bits per second.
    double viewerBitsPerSecond() const {
        return load.playing && seconds() > 0 ? double(load.windowBytes) * 8 / seconds() / double(load.playing) : 0;
    }
    // Extrapolated: one core 100 % busy at this run's CPU per GB, each viewer at the level's rate;
    // 0 for a run on links or with a storm.
    double viewersPerCore() const {
        if (load.groups.size() > 1 || load.storm.viewers || cpu() <= 0) return 0;
        return double(load.windowBytes) * 8 / cpu() / kLevelBitsPerSecond;
    }
    static constexpr double kLevelBitsPerSecond = 768'000;
};

void printRow(const WhepRow &r, const WhepOptions &o);
void printTables(const std::vector<WhepRow> &rows, const WhepOptions &o);

}  // namespace morlanex::bench
