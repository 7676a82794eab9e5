// Benchmark of the sink's WebRTC viewers (WHEP) against Janus's streaming plugin.
//
// For each viewer count it starts the server in its own process (whep_bench_server replaying a
// VP8 and Opus recording into our sink; then Janus, fed by whep_bench_server --rtp with the
// same recording as plain RTP), opens that many WebRTC viewers from the load generator in this
// process and reports: viewers joined and playing, the share of packets delivered, the viewers
// kept live (no frame more than 1 s behind), the server's CPU seconds per GB it delivered, its
// resident memory per viewer (the growth from before the joins to the window's end, over the
// viewers asked for) and the median and 95th percentile of the frames' delay. Packets delivered
// counts the streams that began; a viewer that never played shows in "playing".
//
// --links: the viewers in groups, one per rate in kbit/s (0: no limit), each behind a link of
// its group's rate (see webrtc_load.h); per group it prints what its viewers received and the
// rendition they ended on, told by the rate sent against the recording's renditions'.
// --join-storm N: 5 s into the window N more viewers join over --storm-seconds; it prints how
// soon they played and whether those already watching kept up (our sink only; Janus is fed the
// top rendition alone).
//
// Usage: whep_bench --server PATH --recording FILE [--duration S] [--viewers 100,1000,3000]
//                   [--janus] [--joins-per-second N] [--links KBPS,...]
//                   [--join-storm N] [--storm-seconds S]
#include "bench_options.h"
#include "bench_process.h"
#include "stream_server.h"
#include "tagged_recording.h"
#include "webrtc_load.h"
#include "webrtc_signalling.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace morlanex::bench;
using namespace std::chrono_literals;

const char *const kJanusLibraries = "/usr/lib/x86_64-linux-gnu/janus";
constexpr int kMountpoint = 1;

struct Options {
    std::string server, recording;
    std::chrono::seconds duration{30};
    std::vector<size_t> viewers{1000};
    bool janus = false;
    double joinsPerSecond = 200;
    std::vector<double> linkKbps;
    size_t stormViewers = 0;
    int stormSeconds = 5;
    std::vector<double> renditionBitsPerSecond;  // from the recording, the top first
};

// Each VP8 rendition's rate in the recording with the sound's (see whep_bench_server.cpp's
// kinds: 0 and 1 the top, 3 and 4 the low one, 2 Opus).
std::vector<double> renditionBitsPerSecond(const std::string &path) {
    std::string error;
    const auto recording = loadTaggedRecording(path, &error);
    if (!recording || recording->lengthMs() == 0) return {};
    double video[2] = {}, audio = 0;
    for (const TaggedPacket &p : recording->packets)
        (p.rendition == 2 ? audio : video[p.rendition >= 3 ? 1 : 0]) += double(p.bytes.size());
    std::vector<double> rates;
    for (double bytes : video)
        if (bytes > 0) rates.push_back((bytes + audio) * 8 * 1000 / recording->lengthMs());
    return rates;
}

struct Row {
    WebrtcLoadResult load;
    double cpuPerGB = 0, kibPerViewer = 0;
    bool ok = false;
};

// The server's CPU and memory around a load run.
Row measure(pid_t pid, Signalling &signalling, const Options &o, size_t viewers, bool ours) {
    Row row;
    const double baseKiB = residentKiB(pid);
    double cpu0 = 0, cpu1 = 0, endKiB = 0;
    WebrtcLoadOptions lo;
    lo.viewers = viewers;
    lo.window = o.duration;
    lo.joinsPerSecond = o.joinsPerSecond;
    for (double kbps : o.linkKbps) lo.linkBytesPerSecond.push_back(kbps * 1000 / 8);
    lo.renditionBitsPerSecond = o.renditionBitsPerSecond;
    if (ours) {
        lo.stormViewers = o.stormViewers;
        lo.stormSpread = std::chrono::seconds(o.stormSeconds);
        // The storm, its 5 s after and some before it, in the window.
        lo.window = std::max(lo.window, lo.stormAfter + lo.stormSpread + std::chrono::seconds(10));
    }
    lo.onWindowStart = [&] { cpu0 = cpuSeconds(pid); };
    lo.onWindowEnd = [&] {
        cpu1 = cpuSeconds(pid);
        endKiB = residentKiB(pid);
    };
    row.load = runWebrtcLoad(signalling, lo);
    const double gb = double(row.load.windowBytes) / 1e9;
    row.cpuPerGB = gb > 0 ? (cpu1 - cpu0) / gb : 0;
    row.kibPerViewer = (endKiB - baseKiB) / double(viewers);
    row.ok = true;
    return row;
}

Row runOurs(const Options &o, size_t viewers) {
    ChildProcess server;
    const uint16_t port = freeLoopbackPort();
    if (!server.start({o.server, o.recording, std::to_string(port), std::to_string(viewers + o.stormViewers + 16)}, {},
                      true) ||
        server.readLine(30000).rfind("ready", 0) != 0)
        return {};
    std::this_thread::sleep_for(1s);  // the first key frame in
    WhepSignalling signalling(port);
    return measure(server.pid(), signalling, o, viewers, true);
}

bool writeJanusConfig(const std::string &dir, uint16_t httpPort, uint16_t videoPort, uint16_t audioPort) {
    std::ofstream(dir + "/janus.jcfg")
        << "general: {\n configs_folder = \"" << dir << "\"\n plugins_folder = \"" << kJanusLibraries
        << "/plugins\"\n transports_folder = \"" << kJanusLibraries << "/transports\"\n events_folder = \""
        << kJanusLibraries << "/events\"\n loggers_folder = \"" << kJanusLibraries
        << "/loggers\"\n debug_level = 2\n session_timeout = 0\n event_loops = 2\n}\n"
           "media: {\n rtp_port_range = \"30000-60000\"\n}\n"
           "nat: {\n nice_debug = false\n ice_enforce_list = \"lo\"\n ignore_mdns = true\n}\n"
           "plugins: {\n disable = \"libjanus_audiobridge.so,libjanus_duktape.so,libjanus_echotest.so,"
           "libjanus_lua.so,libjanus_nosip.so,libjanus_recordplay.so,libjanus_sip.so,libjanus_textroom.so,"
           "libjanus_videocall.so,libjanus_videoroom.so,libjanus_voicemail.so\"\n}\n"
           "transports: {\n disable = \"libjanus_websockets.so,libjanus_mqtt.so,libjanus_nanomsg.so,"
           "libjanus_pfunix.so,libjanus_rabbitmq.so\"\n}\n"
           "events: {\n broadcast = false\n}\n";
    std::ofstream(dir + "/janus.transport.http.jcfg")
        << "general: {\n json = \"plain\"\n base_path = \"/janus\"\n http = true\n port = " << httpPort
        << "\n interface = \"lo\"\n https = false\n}\nadmin: {\n admin_http = false\n}\n";
    std::ofstream(dir + "/janus.plugin.streaming.jcfg")
        << "general: {\n}\nbench: {\n type = \"rtp\"\n id = " << kMountpoint
        << "\n description = \"bench\"\n audio = true\n video = true\n audioport = " << audioPort
        << "\n audiopt = 111\n audiocodec = \"opus\"\n videoport = " << videoPort
        << "\n videopt = 96\n videocodec = \"vp8\"\n}\n";
    return std::ifstream(dir + "/janus.plugin.streaming.jcfg").good();
}

Row runJanus(const Options &o, size_t viewers, const std::string &dir) {
    const uint16_t httpPort = freeLoopbackPort();
    const uint16_t videoPort = uint16_t(20000 + (httpPort % 4000) * 2), audioPort = uint16_t(videoPort + 1);
    if (!writeJanusConfig(dir, httpPort, videoPort, audioPort)) return {};
    ChildProcess janus, feeder;
    ProcessOptions quiet;
    quiet.quiet = true;
    if (!janus.start({"janus", "-C", dir + "/janus.jcfg", "-F", dir, "-L", dir + "/janus.log"}, quiet)) return {};
    for (int i = 0; i < 100 && !listening(httpPort); ++i) std::this_thread::sleep_for(100ms);
    if (!listening(httpPort) ||
        !feeder.start({o.server, "--rtp", o.recording, std::to_string(videoPort), std::to_string(audioPort)}, {},
                      true) ||
        feeder.readLine(30000).rfind("ready", 0) != 0)
        return {};
    std::this_thread::sleep_for(3s);  // the mountpoint has its first key frame
    JanusSignalling signalling(httpPort, kMountpoint);
    return measure(janus.pid(), signalling, o, viewers, false);
}

std::string cell(const Row &r, int what) {
    if (!r.ok) return "failed";
    char b[64];
    const WebrtcLoadResult &l = r.load;
    switch (what) {
    case 0:
        std::snprintf(b, sizeof b, "%zu/%zu", l.joined, l.viewers);
        break;
    case 1:
        std::snprintf(b, sizeof b, "%zu", l.playing);
        break;
    case 2:
        std::snprintf(b, sizeof b, "%.2f%%",
                      l.packetsExpected ? 100.0 * double(l.packetsReceived) / double(l.packetsExpected) : 0.0);
        break;
    case 3:
        std::snprintf(b, sizeof b, "%zu", l.keptLive);
        break;
    case 4:
        std::snprintf(b, sizeof b, "%.2f", r.cpuPerGB);
        break;
    case 5:
        std::snprintf(b, sizeof b, "%.2f", r.kibPerViewer);
        break;
    case 6:
        std::snprintf(b, sizeof b, "%.1f/%.1f", l.delayP50 * 1000, l.delayP95 * 1000);
        break;
    default:
        b[0] = 0;
    }
    return b;
}

void printRow(const char *who, size_t n, const Row &r) {
    std::string failures;
    for (const auto &[why, count] : r.load.failures) failures += "; " + std::to_string(count) + " failed: " + why;
    std::printf("%s %zu viewers: joined %s, playing %s, delivered %s, kept live %s, %s CPU s/GB, %s KiB/viewer, "
                "delay p50/p95 %s ms, %.1f Mbit/s%s\n",
                who, n, cell(r, 0).c_str(), cell(r, 1).c_str(), cell(r, 2).c_str(), cell(r, 3).c_str(),
                cell(r, 4).c_str(), cell(r, 5).c_str(), cell(r, 6).c_str(),
                r.load.windowSeconds > 0 ? double(r.load.windowBytes) * 8 / r.load.windowSeconds / 1e6 : 0.0,
                failures.c_str());
    std::fflush(stdout);
}

const char *const kRenditionNames[] = {"top", "low"};

void printGroups(const Row &r, const Options &o) {
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
    std::fflush(stdout);
}

void printStorm(const Row &r) {
    if (!r.ok || !r.load.storm.viewers) return;
    const WebrtcStormResult &s = r.load.storm;
    std::printf("  join storm: %zu more over %.1f s: joined %zu, playing %zu (%zu within 5 s of the request), first "
                "whole frame p50/p95/max %.0f/%.0f/%.0f ms; the %zu watching: kept live %zu, delay p95 %.1f ms\n",
                s.viewers, s.joinSeconds, s.joined, s.playing, s.playingWithin5s, s.firstFrameP50 * 1000,
                s.firstFrameP95 * 1000, s.firstFrameMax * 1000, s.watching, s.watchingKeptLive, s.watchingDelayP95 * 1000);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    const bool read = readOptions(argc, argv,
                                  {{"--server", [&](const std::string &v) { o.server = v; }},
                                   {"--recording", [&](const std::string &v) { o.recording = v; }},
                                   {"--duration", [&](const std::string &v) { o.duration = std::chrono::seconds(std::atoi(v.c_str())); }},
                                   {"--joins-per-second", [&](const std::string &v) { o.joinsPerSecond = std::atof(v.c_str()); }},
                                   {"--links", [&](const std::string &v) { o.linkKbps = numberList(v); }},
                                   {"--join-storm", [&](const std::string &v) { o.stormViewers = size_t(std::atol(v.c_str())); }},
                                   {"--storm-seconds", [&](const std::string &v) { o.stormSeconds = std::atoi(v.c_str()); }},
                                   {"--viewers",
                                    [&](const std::string &v) {
                                        o.viewers.clear();
                                        for (double n : numberList(v)) o.viewers.push_back(size_t(n));
                                    }}},
                                  {{"--janus", [&] { o.janus = true; }}});
    if (!read || o.server.empty() || o.recording.empty() || o.joinsPerSecond <= 0 || o.stormSeconds <= 0 ||
        std::any_of(o.linkKbps.begin(), o.linkKbps.end(), [](double k) { return k < 0; })) {
        std::fprintf(stderr,
                     "usage: %s --server PATH --recording FILE [--duration S] [--viewers a,b] [--janus] "
                     "[--joins-per-second N] [--links KBPS,...] [--join-storm N] [--storm-seconds S]\n",
                     argv[0]);
        return 2;
    }
    o.renditionBitsPerSecond = renditionBitsPerSecond(o.recording);
    raiseFileLimit();
    ::signal(SIGPIPE, SIG_IGN);
    char dirTemplate[] = "/tmp/morlanex-janus-XXXXXX";
    const std::string janusDir = o.janus && ::mkdtemp(dirTemplate) ? dirTemplate : "";

    std::vector<Row> ours, janus;
    for (size_t n : o.viewers) {
        ours.push_back(runOurs(o, n));
        printRow("netsink", n, ours.back());
        printGroups(ours.back(), o);
        printStorm(ours.back());
        if (!o.janus) continue;
        janus.push_back(janusDir.empty() ? Row{} : runJanus(o, n, janusDir));
        printRow("Janus", n, janus.back());
        printGroups(janus.back(), o);
    }

    std::printf("\n%lld s window per row; delay: frame arrival against its RTP time, from the viewer's earliest\n",
                (long long)o.duration.count());
    std::printf("%-7s | %-11s %-11s | %-7s %-7s | %-9s %-9s | %-7s %-7s | %-8s %-8s %-6s | %-10s %-10s | %-13s %-13s\n",
                "viewers", "joined", "", "playing", "", "delivered", "", "live", "", "CPU s/GB", "", "ratio",
                "KiB/viewer", "", "delay ms p50/p95", "");
    std::printf("%-7s | %-11s %-11s | %-7s %-7s | %-9s %-9s | %-7s %-7s | %-8s %-8s %-6s | %-10s %-10s | %-13s %-13s\n",
                "", "netsink", "Janus", "netsink", "Janus", "netsink", "Janus", "netsink", "Janus", "netsink", "Janus",
                "", "netsink", "Janus", "netsink", "Janus");
    for (size_t i = 0; i < o.viewers.size(); ++i) {
        const Row none{};
        const Row &a = ours[i], &b = i < janus.size() ? janus[i] : none;
        char ratio[16] = "-";
        if (a.ok && b.ok && b.cpuPerGB > 0) std::snprintf(ratio, sizeof ratio, "%.2f", a.cpuPerGB / b.cpuPerGB);
        std::printf(
            "%-7zu | %-11s %-11s | %-7s %-7s | %-9s %-9s | %-7s %-7s | %-8s %-8s %-6s | %-10s %-10s | %-13s %-13s\n",
            o.viewers[i], cell(a, 0).c_str(), cell(b, 0).c_str(), cell(a, 1).c_str(), cell(b, 1).c_str(),
            cell(a, 2).c_str(), cell(b, 2).c_str(), cell(a, 3).c_str(), cell(b, 3).c_str(), cell(a, 4).c_str(),
            cell(b, 4).c_str(), ratio, cell(a, 5).c_str(), cell(b, 5).c_str(), cell(a, 6).c_str(), cell(b, 6).c_str());
    }
    if (!janusDir.empty()) std::printf("Janus's log: %s/janus.log\n", janusDir.c_str());
    return 0;
}
