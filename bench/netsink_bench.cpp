// Benchmark of the network sink against VLC's HTTP streaming output.
//
// For each viewer count it starts the server in its own process (our netsink_bench_server,
// then VLC with the asfh muxer), attaches that many viewers from the load generator in this
// process, and reports: viewers served and dropped, the share that kept up with the stream
// (>= 99% of the reference rate over the whole window, give or take 500 ms at its edges),
// the server's CPU seconds per GB delivered and its resident memory per viewer. The reference
// rate of each server is what one lone viewer receives from it (a calibration run), so both
// are judged against their own unloaded output.
//
// Usage: netsink_bench --server PATH --stream FILE --vlc-stream FILE [--duration S]
//                      [--viewers 100,1000,6000] [--no-vlc] [--fan-out-ms N]
#include "bench_options.h"
#include "bench_process.h"
#include "load_generator.h"
#include "stream_server.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

using namespace morlanex::bench;
using namespace std::chrono_literals;

struct Row {
    size_t viewers = 0;
    LoadResult load;
    double cpuPerGB = 0, kibPerViewer = 0;
    bool ok = false;
};

struct Options {
    std::string server, stream, vlcStream, fanOutMs;
    std::chrono::seconds duration{60};
    std::vector<size_t> viewers{100, 1000, 6000};
    bool vlc = true;
};

ServerSpec spec(const Options &o, bool vlc) {
    ServerSpec spec;
    spec.vlc = vlc;
    spec.program = o.server;
    spec.stream = vlc ? o.vlcStream : o.stream;
    spec.fanOutMs = o.fanOutMs;
    return spec;
}

double calibrate(const Options &o, bool vlc, uint16_t port) {
    StreamServer s(spec(o, vlc), port, 10);
    if (!s.ok()) return 0;
    LoadOptions lo;
    lo.port = port;
    lo.viewers = 1;
    lo.window = 30s;
    const LoadResult r = runLoad(lo);
    return r.served == 1 ? r.meanBytesPerSecond : 0;
}

Row measure(const Options &o, bool vlc, uint16_t port, size_t viewers, double reference) {
    Row row;
    row.viewers = viewers;
    StreamServer s(spec(o, vlc), port, viewers);
    if (!s.ok()) return row;
    const double baseKiB = residentKiB(s.pid());
    double cpu0 = 0, cpu1 = 0, endKiB = 0;
    LoadOptions lo;
    lo.port = port;
    lo.viewers = viewers;
    lo.window = o.duration;
    lo.referenceBytesPerSecond = reference;
    lo.onWindowStart = [&] { cpu0 = cpuSeconds(s.pid()); };
    lo.onWindowEnd = [&] {
        cpu1 = cpuSeconds(s.pid());
        endKiB = residentKiB(s.pid());
    };
    row.load = runLoad(lo);
    const double gb = double(row.load.windowBytes) / 1e9;
    row.cpuPerGB = gb > 0 ? (cpu1 - cpu0) / gb : 0;
    row.kibPerViewer = row.load.served > 0 ? (endKiB - baseKiB) / double(row.load.served) : 0;
    row.ok = true;
    return row;
}

std::string cell(const Row &r, int what) {
    if (!r.ok) return "failed";
    char b[64];
    const LoadResult &l = r.load;
    switch (what) {
    case 0:
        std::snprintf(b, sizeof b, "%zu/%zu", l.served, l.viewers);
        break;
    case 1:
        std::snprintf(b, sizeof b, "%zu", l.dropped);
        break;
    case 2:
        std::snprintf(b, sizeof b, "%.1f%%", l.served ? 100.0 * double(l.keptUp) / double(l.viewers) : 0.0);
        break;
    case 3:
        std::snprintf(b, sizeof b, "%.2f", r.cpuPerGB);
        break;
    case 4:
        std::snprintf(b, sizeof b, "%.2f", r.kibPerViewer);
        break;
    case 5:
        std::snprintf(b, sizeof b, "%.1f", l.meanBytesPerSecond * 8 / 1000);
        break;
    default:
        b[0] = 0;
    }
    return b;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    auto seconds = [](const std::string &v) { return std::chrono::seconds(std::atoi(v.c_str())); };
    const bool read = readOptions(argc, argv,
                                  {{"--server", [&](const std::string &v) { o.server = v; }},
                                   {"--stream", [&](const std::string &v) { o.stream = v; }},
                                   {"--vlc-stream", [&](const std::string &v) { o.vlcStream = v; }},
                                   {"--duration", [&](const std::string &v) { o.duration = seconds(v); }},
                                   {"--fan-out-ms", [&](const std::string &v) { o.fanOutMs = v; }},
                                   {"--viewers",
                                    [&](const std::string &v) {
                                        o.viewers.clear();
                                        for (double n : numberList(v)) o.viewers.push_back(size_t(n));
                                    }}},
                                  {{"--no-vlc", [&] { o.vlc = false; }}});
    if (!read) return 2;
    if (o.server.empty() || o.stream.empty() || (o.vlc && o.vlcStream.empty())) {
        std::fprintf(
            stderr,
            "usage: %s --server PATH --stream FILE --vlc-stream FILE [--duration S] [--viewers a,b] [--no-vlc]\n",
            argv[0]);
        return 2;
    }
    raiseFileLimit();
    ::signal(SIGPIPE, SIG_IGN);

    uint16_t port = 18600;
    std::vector<Row> sink, vlc;
    const double sinkRef = calibrate(o, false, port++);
    std::printf("reference rate, one viewer: netsink %.1f kbit/s\n", sinkRef * 8 / 1000);
    std::fflush(stdout);
    for (size_t n : o.viewers) {
        sink.push_back(measure(o, false, port++, n, sinkRef));
        std::printf("netsink %zu viewers: served %s, dropped %s, kept up %s, %s CPU s/GB, %s KiB/viewer\n", n,
                    cell(sink.back(), 0).c_str(), cell(sink.back(), 1).c_str(), cell(sink.back(), 2).c_str(),
                    cell(sink.back(), 3).c_str(), cell(sink.back(), 4).c_str());
        std::fflush(stdout);
    }
    double vlcRef = 0;
    if (o.vlc) {
        vlcRef = calibrate(o, true, port++);
        std::printf("reference rate, one viewer: VLC %.1f kbit/s\n", vlcRef * 8 / 1000);
        for (size_t n : o.viewers) {
            Row row;
            row.viewers = n;
            vlc.push_back(vlcRef > 0 ? measure(o, true, port++, n, vlcRef) : row);
            std::printf("VLC %zu viewers: served %s, dropped %s, kept up %s, %s CPU s/GB, %s KiB/viewer\n", n,
                        cell(vlc.back(), 0).c_str(), cell(vlc.back(), 1).c_str(), cell(vlc.back(), 2).c_str(),
                        cell(vlc.back(), 3).c_str(), cell(vlc.back(), 4).c_str());
            std::fflush(stdout);
        }
    }

    std::printf("\n%lld s window per row; reference rates: netsink %.1f kbit/s, VLC %.1f kbit/s\n",
                (long long)o.duration.count(), sinkRef * 8 / 1000, vlcRef * 8 / 1000);
    std::printf("%-8s | %-12s %-12s | %-8s %-8s | %-10s %-10s | %-10s %-10s | %-10s %-10s | %-9s %-9s\n", "viewers",
                "served", "", "dropped", "", "kept up", "", "CPU s/GB", "", "KiB/viewer", "", "kbit/s", "");
    std::printf("%-8s | %-12s %-12s | %-8s %-8s | %-10s %-10s | %-10s %-10s | %-10s %-10s | %-9s %-9s\n", "", "netsink",
                "VLC", "netsink", "VLC", "netsink", "VLC", "netsink", "VLC", "netsink", "VLC", "netsink", "VLC");
    for (size_t i = 0; i < o.viewers.size(); ++i) {
        const Row none{};
        const Row &a = sink[i], &b = i < vlc.size() ? vlc[i] : none;
        std::printf("%-8zu | %-12s %-12s | %-8s %-8s | %-10s %-10s | %-10s %-10s | %-10s %-10s | %-9s %-9s\n",
                    o.viewers[i], cell(a, 0).c_str(), cell(b, 0).c_str(), cell(a, 1).c_str(), cell(b, 1).c_str(),
                    cell(a, 2).c_str(), cell(b, 2).c_str(), cell(a, 3).c_str(), cell(b, 3).c_str(), cell(a, 4).c_str(),
                    cell(b, 4).c_str(), cell(a, 5).c_str(), cell(b, 5).c_str());
    }
    return 0;
}
