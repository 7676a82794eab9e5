// Mixed links at the automatic level: our sink serving the three renditions against VLC
// serving one 768 kbps stream, to the same viewers, a third of them unthrottled, a third on
// 300 kbit/s links and a third on 120 kbit/s links (see load_generator.h for how a link is
// made slow).
//
// Ours replays a tagged recording of the real level-0 encoder (rendition_recorder) into the
// real sink (netsink_bench_server); VLC loops the 768 kbps test file. For each it prints per
// link group: viewers served, dropped by the server, kept up, how far their delay grew; and
// overall: CPU seconds per GB delivered, resident memory per viewer, and for ours the viewers
// on each rendition at the end of the window, as the sink counts them.
//
// Kept up: served, never closed by the server, and its delay behind the stream grew by at
// most kKeptUpGrowth over the last --tail seconds of the window.
//
// From the join: per group, each viewer's delay behind the stream's newest packet at 5, 10, 20
// and 40 s after its request (median and 95th percentile), which is what a viewer deciding
// whether to stay sees; then, after the window, the links of one unthrottled group drop to
// --drop-kbps and the same is printed from the drop.
//
// Usage: mixed_bench --server PATH --recording FILE --vlc-stream FILE [--duration S]
//                    [--viewers N] [--warm-up S] [--tail S] [--links KBPS,...] [--no-vlc]
//                    [--samples S,...] [--drop-kbps KBPS (0: no drop)]
// --links: one group of viewers per rate, in kbit/s (0: unthrottled); default 0,300,120.
#include "bench_options.h"
#include "bench_process.h"
#include "load_generator.h"
#include "stream_server.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace morlanex::bench;

constexpr double kKeptUpGrowth = 2.0;  // seconds

struct Options {
    std::string server, recording, vlcStream;
    std::chrono::seconds duration{60}, warmUp{20}, tail{20};
    size_t viewers = 6000;
    std::vector<double> linkKbps{0, 300, 120};  // one group of viewers each; 0: unthrottled
    bool vlc = true;
    std::vector<double> samples{5, 10, 20, 40};  // seconds after the join and after the drop
    double dropKbps = 150;
};

// The group whose links drop after the window: the first unthrottled one.
size_t dropGroup(const Options &o) {
    for (size_t g = 0; g < o.linkKbps.size(); ++g)
        if (o.linkKbps[g] <= 0) return g;
    return SIZE_MAX;
}

std::string linkName(double kbps) {
    char b[32];
    if (kbps <= 0) return "unthrottled";
    std::snprintf(b, sizeof b, "%.0f kbit/s", kbps);
    return b;
}

struct GroupFigures {
    size_t viewers = 0, served = 0, dropped = 0, keptUp = 0;
    std::vector<double> growth;  // of the viewers whose delay is known
    uint64_t bytes = 0;
    // Per sample moment, the delays of the viewers that had packets then (see the header),
    // and how many had none or were gone.
    std::vector<std::vector<double>> afterJoin, afterDrop;
    std::vector<size_t> joinUnknown, dropUnknown;
};

struct Run {
    bool ok = false;
    std::vector<GroupFigures> groups;
    GroupFigures all;
    double cpuPerGB = 0, kibPerViewer = 0;
    std::string sinkStats;  // ours: the sink's counters at the end of the window
    std::string sinkStatsAfterDrop;  // ... and at the end of the drop's samples
};

Run measure(const Options &o, bool vlc, uint16_t port) {
    Run run;
    const size_t groups = o.linkKbps.size();
    run.groups.resize(groups);
    ServerSpec spec;
    spec.vlc = vlc;
    spec.program = o.server;
    spec.stream = vlc ? o.vlcStream : o.recording;
    StreamServer server(spec, port, o.viewers);
    if (!server.ok()) return run;
    const double baseKiB = residentKiB(server.pid());
    double cpu0 = 0, cpu1 = 0, endKiB = 0;
    LoadOptions lo;
    lo.port = port;
    lo.viewers = o.viewers;
    lo.warmUp = o.warmUp;
    lo.window = o.duration;
    lo.delayTail = o.tail;
    // Viewer i is in group i % groups, so every batch of connections has all kinds of links.
    for (size_t i = 0; i < o.viewers; ++i) lo.linkBytesPerSecond.push_back(o.linkKbps[i % groups] * 1000 / 8);
    lo.delaySamples = o.samples;
    if (o.dropKbps > 0 && dropGroup(o) != SIZE_MAX) {
        lo.dropToBytesPerSecond = o.dropKbps * 1000 / 8;
        for (size_t i = 0; i < o.viewers; ++i) lo.dropping.push_back(i % groups == dropGroup(o));
    }
    for (GroupFigures &g : run.groups) {
        g.afterJoin.resize(o.samples.size());
        g.afterDrop.resize(o.samples.size());
        g.joinUnknown.resize(o.samples.size());
        g.dropUnknown.resize(o.samples.size());
    }
    lo.onWindowStart = [&] { cpu0 = cpuSeconds(server.pid()); };
    lo.onWindowEnd = [&] {
        cpu1 = cpuSeconds(server.pid());
        endKiB = residentKiB(server.pid());
        run.sinkStats = server.stats();
    };
    const LoadResult load = runLoad(lo);
    if (!lo.dropping.empty()) run.sinkStatsAfterDrop = server.stats();
    for (size_t i = 0; i < load.perViewer.size(); ++i) {
        const LoadResult::Viewer &v = load.perViewer[i];
        for (GroupFigures *g : {&run.groups[i % groups], &run.all}) {
            ++g->viewers;
            g->served += v.served;
            g->dropped += v.dropped;
            g->bytes += v.windowBytes;
            if (v.delayKnown) g->growth.push_back(v.delayGrowth);
            if (v.served && !v.dropped && v.delayKnown && v.delayGrowth <= kKeptUpGrowth) ++g->keptUp;
        }
        GroupFigures &g = run.groups[i % groups];
        const auto take = [](const std::vector<double> &from, std::vector<std::vector<double>> &to,
                             std::vector<size_t> &unknown) {
            for (size_t k = 0; k < to.size(); ++k) {
                if (k < from.size() && from[k] >= 0)
                    to[k].push_back(from[k]);
                else
                    ++unknown[k];
            }
        };
        if (v.served) take(v.afterJoin, g.afterJoin, g.joinUnknown);
        if (v.served && !lo.dropping.empty() && lo.dropping[i]) take(v.afterDrop, g.afterDrop, g.dropUnknown);
    }
    const double gb = double(load.windowBytes) / 1e9;
    run.cpuPerGB = gb > 0 ? (cpu1 - cpu0) / gb : 0;
    run.kibPerViewer = load.served > 0 ? (endKiB - baseKiB) / double(load.served) : 0;
    run.ok = true;
    return run;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    const size_t at = std::min(v.size() - 1, size_t(p * double(v.size())));
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(at), v.end());
    return v[at];
}

double percent(size_t part, size_t whole) { return whole ? 100.0 * double(part) / double(whole) : 0; }

// "on 68 / 224 / 704 kbps: a / b / c" from the server's stats line.
std::string renditionCounts(const std::string &stats) {
    size_t dropped = 0, on[4] = {}, viewers = 0;
    if (std::sscanf(stats.c_str(), "stats dropped %zu renditions %zu %zu %zu %zu viewers %zu", &dropped, &on[0], &on[1],
                    &on[2], &on[3], &viewers) != 6)
        return "(no counts)";
    char b[128];
    std::snprintf(b, sizeof b, "%zu / %zu / %zu (sink's drops %zu)", on[0], on[1], on[2], dropped);
    return b;
}

void printRun(const char *name, const Run &r, const Options &o) {
    if (!r.ok) {
        std::printf("| %s | failed to start | | | | | |\n", name);
        return;
    }
    const double seconds = double(o.duration.count());
    for (size_t g = 0; g < r.groups.size(); ++g) {
        const GroupFigures &f = r.groups[g];
        std::printf("| %s | %s | %zu/%zu | %zu | %.1f %% | %.2f / %.2f | %.1f |\n", name,
                    linkName(o.linkKbps[g]).c_str(), f.served, f.viewers, f.dropped, percent(f.keptUp, f.viewers),
                    percentile(f.growth, 0.5), percentile(f.growth, 0.95),
                    f.served ? double(f.bytes) * 8 / 1000 / seconds / double(f.served) : 0.0);
    }
    std::fflush(stdout);
}

// "| ours | 120 kbit/s | 0.4 / 0.9 | ..." for each group that has samples.
void printDelays(const char *name, const Run &r, const Options &o, bool afterDrop) {
    if (!r.ok) return;
    for (size_t g = 0; g < r.groups.size(); ++g) {
        const GroupFigures &f = r.groups[g];
        const auto &delays = afterDrop ? f.afterDrop : f.afterJoin;
        const auto &unknown = afterDrop ? f.dropUnknown : f.joinUnknown;
        if (afterDrop && (delays.empty() || delays[0].empty())) continue;
        std::printf("| %s | %s |", name,
                    afterDrop ? (linkName(0) + " to " + linkName(o.dropKbps)).c_str()
                              : linkName(o.linkKbps[g]).c_str());
        for (size_t k = 0; k < delays.size(); ++k) {
            std::printf(" %.1f / %.1f", percentile(delays[k], 0.5), percentile(delays[k], 0.95));
            if (unknown[k]) std::printf(" (%zu without)", unknown[k]);
            std::printf(" |");
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

void printDelayTable(const Run &ours, const Run &vlc, const Options &o, bool afterDrop) {
    std::printf("\ndelay behind the stream's newest packet, s (median / 95th pct), after %s:\n| server | links |",
                afterDrop ? "the links' drop" : "each viewer's request");
    for (double at : o.samples) std::printf(" %.0f s |", at);
    std::printf("\n|---|---|");
    for (size_t k = 0; k < o.samples.size(); ++k) std::printf("---|");
    std::printf("\n");
    printDelays("ours (3 renditions)", ours, o, afterDrop);
    if (o.vlc) printDelays("VLC (768 kbps)", vlc, o, afterDrop);
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    auto seconds = [](const std::string &v) { return std::chrono::seconds(std::atoi(v.c_str())); };
    const bool read =
        readOptions(argc, argv,
                    {{"--server", [&](const std::string &v) { o.server = v; }},
                     {"--recording", [&](const std::string &v) { o.recording = v; }},
                     {"--vlc-stream", [&](const std::string &v) { o.vlcStream = v; }},
                     {"--duration", [&](const std::string &v) { o.duration = seconds(v); }},
                     {"--warm-up", [&](const std::string &v) { o.warmUp = seconds(v); }},
                     {"--tail", [&](const std::string &v) { o.tail = seconds(v); }},
                     {"--viewers", [&](const std::string &v) { o.viewers = size_t(std::atol(v.c_str())); }},
                     {"--links", [&](const std::string &v) { o.linkKbps = numberList(v); }},
                     {"--samples", [&](const std::string &v) { o.samples = numberList(v); }},
                     {"--drop-kbps", [&](const std::string &v) { o.dropKbps = std::atof(v.c_str()); }}},
                    {{"--no-vlc", [&] { o.vlc = false; }}});
    if (!read) return 2;
    if (o.server.empty() || o.recording.empty() || (o.vlc && o.vlcStream.empty()) || o.viewers == 0 ||
        o.linkKbps.empty() || o.tail.count() <= 0 || o.tail > o.duration || o.samples.empty() ||
        !std::is_sorted(o.samples.begin(), o.samples.end())) {
        std::fprintf(stderr,
                     "usage: %s --server PATH --recording FILE --vlc-stream FILE [--duration S] [--viewers N] "
                     "[--warm-up S] [--tail S<=duration] [--links 0,300,120] [--no-vlc] [--samples 5,10,20,40] "
                     "[--drop-kbps 150]\n",
                     argv[0]);
        return 2;
    }
    raiseFileLimit();
    ::signal(SIGPIPE, SIG_IGN);

    const Run ours = measure(o, false, freeLoopbackPort());
    Run vlc;
    if (o.vlc) vlc = measure(o, true, freeLoopbackPort());

    std::string links;
    for (double kbps : o.linkKbps) links += (links.empty() ? "" : ", ") + linkName(kbps);
    std::printf("\n%zu viewers in equal groups by link (%s); %lld s warm-up, "
                "%lld s window.\nkept up: served, never closed by the server, and its delay behind the stream grew by "
                "at most %.1f s over the window's last %lld s\n",
                o.viewers, links.c_str(), (long long)o.warmUp.count(), (long long)o.duration.count(), kKeptUpGrowth,
                (long long)o.tail.count());
    std::printf(
        "| server | links | served | dropped | kept up | delay growth s, median / 95th pct | kbit/s received |\n"
        "|---|---|---|---|---|---|---|\n");
    printRun("ours (3 renditions)", ours, o);
    if (o.vlc) printRun("VLC (768 kbps)", vlc, o);
    printDelayTable(ours, vlc, o, false);
    if (o.dropKbps > 0 && dropGroup(o) != SIZE_MAX) printDelayTable(ours, vlc, o, true);
    if (ours.ok && !ours.sinkStatsAfterDrop.empty())
        std::printf("ours when the drop's samples end: on 68 / 224 / 704 kbps %s\n",
                    renditionCounts(ours.sinkStatsAfterDrop).c_str());

    std::printf("\n| server | viewers | kept up | dropped | on 68 / 224 / 704 kbps | CPU s per GB | KiB per viewer |\n"
                "|---|---|---|---|---|---|---|\n");
    for (const auto &[name, r] : {std::pair<const char *, const Run &>{"ours", ours}, {"VLC", vlc}}) {
        if (!r.ok) continue;
        std::printf("| %s | %zu | %.1f %% | %zu | %s | %.2f | %.2f |\n", name, r.all.viewers,
                    percent(r.all.keptUp, r.all.viewers), r.all.dropped,
                    &r == &ours ? renditionCounts(r.sinkStats).c_str() : "-", r.cpuPerGB, r.kibPerViewer);
    }
    if (ours.ok && vlc.ok && vlc.cpuPerGB > 0 && vlc.kibPerViewer > 0)
        std::printf("\nours / VLC: CPU per GB %.2f (target <= 0.50), memory per viewer %.3f (target < 1)\n",
                    ours.cpuPerGB / vlc.cpuPerGB, ours.kibPerViewer / vlc.kibPerViewer);
    return ours.ok && (!o.vlc || vlc.ok) ? 0 : 1;
}
