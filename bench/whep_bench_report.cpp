#include "whep_bench_report.h"

#include <cstdio>

namespace morlanex::bench {
namespace {

const char *const kRenditionNames[] = {"top", "low"};

std::string format(const char *pattern, auto... values) {
    char b[128];
    std::snprintf(b, sizeof b, pattern, values...);
    return b;
}

enum Cell { Joined, Playing, Delivered, KeptLive, CpuPerGB, KiBPerViewer, Delay };

std::string cell(const WhepRow &r, Cell what) {
    if (!r.ok) return "failed";
    const WebrtcLoadResult &l = r.load;
    switch (what) {
    case Joined:
        return format("%zu/%zu", l.joined, l.viewers);
    case Playing:
        return format("%zu", l.playing);
    case Delivered:
        return format("%.2f%%",
                      l.packetsExpected ? 100.0 * double(l.packetsReceived) / double(l.packetsExpected) : 0.0);
    case KeptLive:
        return format("%zu", l.keptLive);
    case CpuPerGB:
        return format("%.2f", r.cpuPerGB);
    case KiBPerViewer:
        return format("%.2f", r.kibPerViewer);
    case Delay:
        return format("%.1f/%.1f", l.delayP50 * 1000, l.delayP95 * 1000);
    }
    return "";
}

std::string label(const WhepRow &r, const WhepOptions &o) {
    return o.loadCpu < 0 ? r.server : r.server + (r.steered ? ", steered" : ", not steered");
}

void printGroups(const WhepRow &r, const WhepOptions &o) {
    if (!r.ok || (r.load.groups.size() < 2 && o.renditionBitsPerSecond.size() < 2)) return;
    for (const WebrtcGroupResult &g : r.load.groups) {
        char link[32] = "unthrottled";
        if (g.linkBytesPerSecond > 0) std::snprintf(link, sizeof link, "%.0f kbit/s", g.linkBytesPerSecond * 8 / 1000);
        std::string ended;
        for (size_t i = 0; i < g.endedOn.size(); ++i)
            ended +=
                std::string(i ? " / " : "") + (i < 2 ? kRenditionNames[i] : "?") + " " + std::to_string(g.endedOn[i]);
        std::printf(
            "  link %-11s: %zu viewers, playing %zu, ended on %s (%zu moves), kept live %zu, froze %zu, delivered "
            "%.2f%% (%llu/%llu packets), %.0f kbit/s received each, delay p50/p95 %.1f/%.1f ms\n",
            link, g.viewers, g.playing, ended.empty() ? "-" : ended.c_str(), g.moves, g.keptLive, g.froze,
            g.packetsExpected ? 100.0 * double(g.packetsReceived) / double(g.packetsExpected) : 0.0,
            (unsigned long long)g.packetsReceived, (unsigned long long)g.packetsExpected,
            g.receivedBitsPerSecond / 1000, g.delayP50 * 1000, g.delayP95 * 1000);
    }
}

void printStorm(const WhepRow &r) {
    if (!r.ok || !r.load.storm.viewers) return;
    const WebrtcStormResult &s = r.load.storm;
    std::printf("  join storm: %zu more over %.1f s: joined %zu, playing %zu (%zu within 5 s of the request), first "
                "whole frame p50/p95/max %.0f/%.0f/%.0f ms; the %zu watching: kept live %zu, delay p95 %.1f ms\n",
                s.viewers, s.joinSeconds, s.joined, s.playing, s.playingWithin5s, s.firstFrameP50 * 1000,
                s.firstFrameP95 * 1000, s.firstFrameMax * 1000, s.watching, s.watchingKeptLive,
                s.watchingDelayP95 * 1000);
}

// What the server's core spent, where the receive work ran, and what the sample showed.
void printCore(const WhepRow &r, const WhepOptions &o) {
    if (!r.ok) return;
    const double gb = r.gigabytes();
    std::printf("  %.3f Gbit/s, %.0f packets/s; server CPU s per GB: user %.2f, system %.2f, softirq %.2f",
                gb * 8 / r.seconds(), double(r.load.packetsReceived) / r.seconds(), r.user / gb, r.system / gb,
                r.softirq / gb);
    if (r.coreBusy >= 0)
        std::printf(" (its process and ksoftirqd/%d; cpu%d was %.0f %% busy, all work on it %.2f s per GB)",
                    o.serverCpu, o.serverCpu, 100 * r.coreBusy / r.seconds(), r.coreBusy / gb);
    std::printf("\n");
    if (r.viewersPerCore() > 0)
        std::printf("  viewers per core at the 768 kbps level: %.0f (extrapolated: one core 100 %% busy at this run's "
                    "CPU s per GB, each viewer at 768 kbit/s; %.0f kbit/s came to each playing one here)\n",
                    r.viewersPerCore(), r.viewerBitsPerSecond() / 1000);
    std::printf("  the load generator used %.2f CPU s per GB (%.0f %% of a CPU)\n", r.loadCpu / gb,
                100 * r.loadCpu / r.seconds());
    if (!r.cpus.empty()) std::printf("  in the window: %s\n", describeSoftirqs(r.cpus, r.seconds()).c_str());
    std::printf("  load average %.2f at the window's start, %.2f at its end\n", r.loadStart, r.loadEnd);
    const WebrtcSampleResult &s = r.load.sample;
    std::string sizes;
    for (const auto &[size, n] : s.keyFrames)
        sizes += format(", %llu key frames %dx%d", (unsigned long long)n, size.first, size.second);
    std::printf("  load generator: UDP_GRO on its sockets%s; packets and losses counted from the RTP headers (clear "
                "under SRTP) for all %zu viewers; %zu sampled viewers (the first %zu and every %zu-th after) opened "
                "fully: %llu packets authenticated, %llu refused, %llu whole VP8 frames put together, %llu not VP8%s\n",
                r.load.groRefused ? format(" (refused on %zu)", r.load.groRefused).c_str() : "", r.load.joined,
                s.viewers, o.sampleFirst, o.sampleEvery, (unsigned long long)s.authenticated,
                (unsigned long long)s.rejected, (unsigned long long)s.frames, (unsigned long long)s.malformed,
                sizes.c_str());
    if (!r.profile.empty()) std::printf("  profile: %s\n", r.profile.c_str());
}

}  // namespace

void printRow(const WhepRow &r, const WhepOptions &o) {
    std::string failures;
    for (const auto &[why, count] : r.load.failures) failures += "; " + std::to_string(count) + " failed: " + why;
    std::printf("%s %zu viewers: joined %s, playing %s, delivered %s, kept live %s, %s CPU s/GB, %s KiB/viewer, "
                "delay p50/p95 %s ms, %.1f Mbit/s%s\n",
                label(r, o).c_str(), r.viewers, cell(r, Joined).c_str(), cell(r, Playing).c_str(),
                cell(r, Delivered).c_str(), cell(r, KeptLive).c_str(), cell(r, CpuPerGB).c_str(),
                cell(r, KiBPerViewer).c_str(), cell(r, Delay).c_str(),
                r.seconds() > 0 ? double(r.load.windowBytes) * 8 / r.seconds() / 1e6 : 0.0, failures.c_str());
    printCore(r, o);
    printGroups(r, o);
    printStorm(r);
    std::fflush(stdout);
}

void printTables(const std::vector<WhepRow> &rows, const WhepOptions &o) {
    std::printf("\n%lld s window per row; delay: frame arrival against its RTP time, from the viewer's earliest\n",
                (long long)o.duration.count());
    if (o.serverCpu >= 0)
        std::printf("each server pinned to cpu%d, the load generator to cpu%d; steered: loopback's receive work "
                    "(RPS) on cpu%d too\n",
                    o.serverCpu, o.loadCpu, o.loadCpu);
    std::printf("%-7s %-22s | %-11s %-7s %-9s %-7s | %-8s %-6s | %-10s %-13s\n", "viewers", "server", "joined",
                "playing", "delivered", "live", "CPU s/GB", "ratio", "KiB/viewer", "delay p50/p95");
    // Janus's ratio: ours over its, in the same run and steering.
    const auto ours = [&](const WhepRow &r) -> const WhepRow * {
        for (const WhepRow &a : rows)
            if (a.server == "netsink" && a.viewers == r.viewers && a.steered == r.steered) return &a;
        return nullptr;
    };
    for (const WhepRow &r : rows) {
        std::string ratio = "-";
        if (const WhepRow *a = ours(r); a && a != &r && a->ok && r.ok && r.cpuPerGB > 0)
            ratio = format("%.2f", a->cpuPerGB / r.cpuPerGB);
        std::printf("%-7zu %-22s | %-11s %-7s %-9s %-7s | %-8s %-6s | %-10s %-13s\n", r.viewers, label(r, o).c_str(),
                    cell(r, Joined).c_str(), cell(r, Playing).c_str(), cell(r, Delivered).c_str(),
                    cell(r, KeptLive).c_str(), cell(r, CpuPerGB).c_str(), ratio.c_str(), cell(r, KiBPerViewer).c_str(),
                    cell(r, Delay).c_str());
    }
    std::printf("\nthe server's own core: CPU s per GB delivered; viewers per core extrapolated (one core 100 %% busy, "
                "each viewer at 768 kbit/s)\n");
    std::printf("%-7s %-22s | %-7s %-9s | %-6s %-6s %-7s %-6s | %-9s | %-16s | %-5s\n", "viewers", "server", "Gbit/s",
                "packets/s", "user", "system", "softirq", "total", "core busy", "viewers per core", "load");
    for (const WhepRow &r : rows) {
        if (!r.ok) continue;
        const double gb = r.gigabytes();
        std::printf("%-7zu %-22s | %-7.3f %-9.0f | %-6.2f %-6.2f %-7.2f %-6.2f | %-9s | %-16s | %.2f\n", r.viewers,
                    label(r, o).c_str(), gb * 8 / r.seconds(), double(r.load.packetsReceived) / r.seconds(),
                    r.user / gb, r.system / gb, r.softirq / gb, r.cpu() / gb,
                    r.coreBusy >= 0 ? format("%.0f %%", 100 * r.coreBusy / r.seconds()).c_str() : "-",
                    r.viewersPerCore() > 0 ? format("%.0f", r.viewersPerCore()).c_str() : "-", r.loadEnd);
    }
}

}  // namespace morlanex::bench
