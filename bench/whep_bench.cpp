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
// --server-cpu N --load-cpu M: each server (Janus's threads too) pinned to CPU N, this process
// (the load generator, and the plain RTP feeding Janus) to M; --steering on, off or both: the
// loopback's receive work steered to M (cpu_placement.h), not, or a run of each. Printed per
// run besides: Gbit/s, packets/s, the server's CPU s per GB split into user, system and softirq
// (its process and its core's ksoftirqd; softirq as its core counted it), how busy its core was,
// each CPU's softirq time and network softirqs, and viewers per core extrapolated from the cost.
// The load generator opens fully only a sample of the viewers (--sample-first, --sample-every).
// --perf DIR: a profile of each server in its window (perf record -e cpu-clock) into DIR.
//
// Usage: whep_bench --server PATH --recording FILE [--duration S] [--viewers 100,1000,3000]
//                   [--janus] [--joins-per-second N] [--links KBPS,...]
//                   [--join-storm N] [--storm-seconds S] [--server-cpu N --load-cpu M]
//                   [--steering on|off|both] [--sample-first N] [--sample-every N] [--perf DIR]
#include "bench_options.h"
#include "bench_process.h"
#include "cpu_placement.h"
#include "stream_server.h"
#include "tagged_recording.h"
#include "webrtc_load.h"
#include "webrtc_signalling.h"
#include "whep_bench_report.h"

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

using Options = WhepOptions;

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

// A profile of the server over the window, on the load generator's CPU.
void startProfile(ChildProcess &perf, pid_t pid, const Options &o, WhepRow &row) {
    row.profile = o.perfDir + "/" + row.server + "-" + std::to_string(row.viewers) +
        (row.steered ? "-steered" : "-not-steered") + ".data";
    ProcessOptions quiet;
    quiet.quiet = true;
    quiet.cpu = o.loadCpu;
    if (!perf.start({"perf", "record", "-q", "-e", "cpu-clock", "-F", "999", "-g", "-p", std::to_string(pid), "-o",
                     row.profile},
                    quiet))
        row.profile = "(perf did not start)";
}

// The server's CPU and memory around a load run.
WhepRow measure(pid_t pid, Signalling &signalling, const Options &o, WhepRow row) {
    const bool ours = row.server == "netsink";
    const double baseKiB = residentKiB(pid);
    // The softirq work of the server's core that the kernel hands to a thread of its own.
    const pid_t softirqs = o.serverCpu >= 0 ? kernelThread("ksoftirqd/" + std::to_string(o.serverCpu)) : -1;
    CpuTimes server0, server1, softirqs0{0, 0}, softirqs1{0, 0}, load0, load1;
    std::vector<CpuSample> cpus0, cpus1;
    double endKiB = 0;
    ChildProcess perf;
    WebrtcLoadOptions lo;
    lo.viewers = row.viewers;
    lo.window = o.duration;
    lo.joinsPerSecond = o.joinsPerSecond;
    lo.sampleFirst = o.sampleFirst;
    lo.sampleEvery = o.sampleEvery;
    for (double kbps : o.linkKbps) lo.linkBytesPerSecond.push_back(kbps * 1000 / 8);
    lo.renditionBitsPerSecond = o.renditionBitsPerSecond;
    if (ours && o.stormViewers) {
        lo.stormViewers = o.stormViewers;
        lo.stormSpread = std::chrono::seconds(o.stormSeconds);
        // The storm, its 5 s after and some before it, in the window.
        lo.window = std::max(lo.window, lo.stormAfter + lo.stormSpread + std::chrono::seconds(10));
    }
    lo.onWindowStart = [&] {
        row.loadStart = loadAverage();
        if (!o.perfDir.empty()) startProfile(perf, pid, o, row);
        cpus0 = sampleCpus();
        if (softirqs > 0) softirqs0 = cpuTimes(softirqs);
        server0 = cpuTimes(pid);
        load0 = cpuTimes(::getpid());
    };
    lo.onWindowEnd = [&] {
        server1 = cpuTimes(pid);
        load1 = cpuTimes(::getpid());
        if (softirqs > 0) softirqs1 = cpuTimes(softirqs);
        cpus1 = sampleCpus();
        endKiB = residentKiB(pid);
        row.loadEnd = loadAverage();
        if (perf.pid() > 0) ::kill(perf.pid(), SIGINT);  // it writes its file while the load finishes
    };
    row.load = runWebrtcLoad(signalling, lo);
    if (perf.pid() > 0 && !perf.signalAndWait(0, 60000)) row.profile += " (perf did not finish)";
    row.cpus = difference(cpus1, cpus0);
    const double kernel = server1.system - server0.system + softirqs1.total() - softirqs0.total();
    row.user = server1.user - server0.user;
    row.loadCpu = load1.total() - load0.total();
    if (o.serverCpu >= 0 && size_t(o.serverCpu) < row.cpus.size()) {
        const CpuSample &core = row.cpus[size_t(o.serverCpu)];
        row.softirq = std::min(core.softirq + core.irq, kernel);
        row.coreBusy = core.busy();
    }
    row.system = kernel - row.softirq;
    const double gb = row.gigabytes();
    row.cpuPerGB = gb > 0 ? row.cpu() / gb : 0;
    row.kibPerViewer = (endKiB - baseKiB) / double(row.viewers);
    row.ok = true;
    return row;
}

WhepRow runOurs(const Options &o, WhepRow row) {
    ChildProcess server;
    ProcessOptions pinned;
    pinned.cpu = o.serverCpu;
    const uint16_t port = freeLoopbackPort();
    if (!server.start({o.server, o.recording, std::to_string(port), std::to_string(row.viewers + o.stormViewers + 16)},
                      pinned, true) ||
        server.readLine(30000).rfind("ready", 0) != 0)
        return row;
    std::this_thread::sleep_for(1s);  // the first key frame in
    WhepSignalling signalling(port);
    return measure(server.pid(), signalling, o, row);
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

WhepRow runJanus(const Options &o, WhepRow row, const std::string &dir) {
    const uint16_t httpPort = freeLoopbackPort();
    const uint16_t videoPort = uint16_t(20000 + (httpPort % 4000) * 2), audioPort = uint16_t(videoPort + 1);
    if (dir.empty() || !writeJanusConfig(dir, httpPort, videoPort, audioPort)) return row;
    ChildProcess janus, feeder;
    ProcessOptions quiet, feeding;
    quiet.quiet = true;
    quiet.cpu = o.serverCpu;
    feeding.cpu = o.loadCpu;  // the feed stands for an encoder elsewhere; ours replays inside its server
    if (!janus.start({"janus", "-C", dir + "/janus.jcfg", "-F", dir, "-L", dir + "/janus.log"}, quiet)) return row;
    for (int i = 0; i < 100 && !listening(httpPort); ++i) std::this_thread::sleep_for(100ms);
    if (!listening(httpPort) ||
        !feeder.start({o.server, "--rtp", o.recording, std::to_string(videoPort), std::to_string(audioPort)}, feeding,
                      true) ||
        feeder.readLine(30000).rfind("ready", 0) != 0)
        return row;
    std::this_thread::sleep_for(3s);  // the mountpoint has its first key frame
    JanusSignalling signalling(httpPort, kMountpoint);
    return measure(janus.pid(), signalling, o, row);
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    std::string steering;
    const bool read = readOptions(
        argc, argv,
        {{"--server", [&](const std::string &v) { o.server = v; }},
         {"--recording", [&](const std::string &v) { o.recording = v; }},
         {"--duration", [&](const std::string &v) { o.duration = std::chrono::seconds(std::atoi(v.c_str())); }},
         {"--joins-per-second", [&](const std::string &v) { o.joinsPerSecond = std::atof(v.c_str()); }},
         {"--links", [&](const std::string &v) { o.linkKbps = numberList(v); }},
         {"--join-storm", [&](const std::string &v) { o.stormViewers = size_t(std::atol(v.c_str())); }},
         {"--storm-seconds", [&](const std::string &v) { o.stormSeconds = std::atoi(v.c_str()); }},
         {"--server-cpu", [&](const std::string &v) { o.serverCpu = std::atoi(v.c_str()); }},
         {"--load-cpu", [&](const std::string &v) { o.loadCpu = std::atoi(v.c_str()); }},
         {"--steering", [&](const std::string &v) { steering = v; }},
         {"--sample-first", [&](const std::string &v) { o.sampleFirst = size_t(std::atol(v.c_str())); }},
         {"--sample-every", [&](const std::string &v) { o.sampleEvery = size_t(std::atol(v.c_str())); }},
         {"--perf", [&](const std::string &v) { o.perfDir = v; }},
         {"--viewers",
          [&](const std::string &v) {
              o.viewers.clear();
              for (double n : numberList(v)) o.viewers.push_back(size_t(n));
          }}},
        {{"--janus", [&] { o.janus = true; }}});
    const auto isCpu = [](int cpu) { return cpu >= 0 && cpu < cpuCount(); };
    const bool pinned = o.serverCpu >= 0 || o.loadCpu >= 0;
    if (steering.empty()) steering = pinned ? "on" : "off";
    o.steering = steering == "both" ? std::vector<bool>{true, false} : std::vector<bool>{steering == "on"};
    if (!read || o.server.empty() || o.recording.empty() || o.joinsPerSecond <= 0 || o.stormSeconds <= 0 ||
        std::any_of(o.linkKbps.begin(), o.linkKbps.end(), [](double k) { return k < 0; }) || o.sampleEvery == 0 ||
        (pinned && (!isCpu(o.serverCpu) || !isCpu(o.loadCpu) || o.serverCpu == o.loadCpu)) ||
        (steering != "on" && steering != "off" && steering != "both") || (!pinned && steering != "off")) {
        std::fprintf(stderr,
                     "usage: %s --server PATH --recording FILE [--duration S] [--viewers a,b] [--janus] "
                     "[--joins-per-second N] [--links KBPS,...] [--join-storm N] [--storm-seconds S] "
                     "[--server-cpu N --load-cpu M (two CPUs of the %d) [--steering on|off|both]] "
                     "[--sample-first N] [--sample-every N] [--perf DIR]\n",
                     argv[0], cpuCount());
        return 2;
    }
    if (pinned && !pinThisThread(o.loadCpu)) {
        std::fprintf(stderr, "whep_bench: cannot pin to cpu%d\n", o.loadCpu);
        return 1;
    }
    o.renditionBitsPerSecond = renditionBitsPerSecond(o.recording);
    raiseFileLimit();
    ::signal(SIGPIPE, SIG_IGN);
    char dirTemplate[] = "/tmp/morlanex-janus-XXXXXX";
    const std::string janusDir = o.janus && ::mkdtemp(dirTemplate) ? dirTemplate : "";

    ReceiveSteering steeringNow;  // what it was comes back at the end
    std::vector<WhepRow> rows;
    for (size_t n : o.viewers)
        for (const bool steered : o.steering) {
            std::string error;
            if (pinned && !steeringNow.steerTo(steered ? o.loadCpu : -1, &error)) {
                std::fprintf(stderr, "whep_bench: %s\n", error.c_str());
                return 1;
            }
            WhepRow row;
            row.viewers = n;
            row.steered = pinned && steered;
            row.server = "netsink";
            rows.push_back(runOurs(o, row));
            printRow(rows.back(), o);
            if (!o.janus) continue;
            row.server = "Janus";
            rows.push_back(runJanus(o, row, janusDir));
            printRow(rows.back(), o);
        }
    printTables(rows, o);
    if (!janusDir.empty()) std::printf("Janus's log: %s/janus.log\n", janusDir.c_str());
    return 0;
}
