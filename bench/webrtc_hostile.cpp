// The hostile benchmark's WebRTC run: the sink, the load generator's viewers, the floods beside
// them, and newcomers that join while the floods run.
#include "webrtc_flood.h"

#include "bench_process.h"
#include "webrtc_load.h"
#include "webrtc_signalling.h"

#include "net/unique_fd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>

namespace morlanex::bench {
namespace {

using namespace std::chrono_literals;

// Real viewers that join while the floods run, evenly over 5 s from 5 s into the window.
constexpr size_t kNewcomers = 20;

// UDP datagrams the kernel dropped for a full receive buffer, every socket of the machine.
double udpReceiveBufferErrors() {
    std::ifstream in("/proc/net/snmp");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (!names.starts_with("Udp:")) continue;
        std::istringstream n(names), v(values);
        for (std::string name, value; n >> name && v >> value;)
            if (name == "RcvbufErrors") return std::atof(value.c_str());
    }
    return 0;
}

}  // namespace

std::map<std::string, double> sinkMetrics(uint16_t httpPort) {
    std::map<std::string, double> values;
    const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval timeout{5, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(httpPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static const char kRequest[] = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 ||
        ::send(fd.get(), kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) != ssize_t(sizeof kRequest - 1))
        return values;
    std::string all;
    char chunk[16384];
    for (ssize_t n; (n = ::recv(fd.get(), chunk, sizeof chunk, 0)) > 0;) all.append(chunk, size_t(n));
    const size_t body = all.find("\r\n\r\n");
    std::istringstream in(body == std::string::npos ? std::string() : all.substr(body + 4));
    for (std::string line; std::getline(in, line);) {
        const size_t space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
        values[line.substr(0, space)] = std::atof(line.c_str() + space + 1);
    }
    return values;
}

int runWebrtcHostile(const std::string &server, const std::string &recording, int seconds, size_t viewers,
                     double floodScale) {
    ChildProcess sink;
    const uint16_t port = freeLoopbackPort();
    // Room beside the viewers for the newcomers and more: the floods' sessions fill what they can.
    unsigned httpPort = 0, udpPort = 0;
    if (!sink.start({server, recording, std::to_string(port), std::to_string(viewers + 500)}, ProcessOptions{}, true) ||
        std::sscanf(sink.readLine(30000).c_str(), "ready %u %u", &httpPort, &udpPort) != 2) {
        std::fprintf(stderr, "cannot start the WebRTC sink\n");
        return 1;
    }
    std::this_thread::sleep_for(1s);  // the first key frame in
    FloodOptions fo;
    fo.httpPort = uint16_t(httpPort);
    fo.udpPort = uint16_t(udpPort);
    for (double *rate : {&fo.offersPerSecond, &fo.hellosPerSecond, &fo.stunUnknownPerSecond, &fo.stunWrongPerSecond})
        *rate *= floodScale;
    fo.unfinishedBodies = size_t(double(fo.unfinishedBodies) * floodScale);
    WebrtcFlood flood(fo);
    std::string error;
    if (!flood.prepare(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("WebRTC sink pid %d, HTTP %u, UDP %u; %zu viewers\n", int(sink.pid()), httpPort, udpPort, viewers);
    std::fflush(stdout);
    const double rssIdle = residentKiB(sink.pid());
    double rssStart = 0, rssPeak = 0, rssEnd = 0, udpDropped = 0;
    std::map<std::string, double> before, after;
    std::atomic<bool> sampling{false}, done{false};
    std::thread sampler([&] {
        while (!done) {
            if (sampling) rssPeak = std::max(rssPeak, residentKiB(sink.pid()));
            std::this_thread::sleep_for(250ms);
        }
    });
    WhepSignalling signalling(port);
    WebrtcLoadOptions lo;
    lo.viewers = viewers;
    lo.window = std::chrono::seconds(seconds);
    lo.stormViewers = kNewcomers;
    lo.onWindowStart = [&] {
        rssStart = residentKiB(sink.pid());
        before = sinkMetrics(port);
        udpDropped = udpReceiveBufferErrors();
        flood.start();
        sampling = true;
    };
    lo.onWindowEnd = [&] {
        rssEnd = residentKiB(sink.pid());
        udpDropped = udpReceiveBufferErrors() - udpDropped;
        sampling = false;
        flood.stop();
        after = sinkMetrics(port);
    };
    const WebrtcLoadResult r = runWebrtcLoad(signalling, lo);
    done = true;
    sampler.join();
    const bool alive = ::kill(sink.pid(), 0) == 0 && !after.empty();
    sink.stop();

    std::printf("\n%d s window, WebRTC viewers beside floods\n", seconds);
    std::printf("viewers: joined %zu/%zu, playing %zu, kept live %zu (%.1f %%)\n", r.joined, r.viewers, r.playing,
                r.keptLive, 100.0 * double(r.keptLive) / double(std::max<size_t>(r.viewers, 1)));
    for (const auto &[why, n] : r.failures) std::printf("  %zu failed: %s\n", n, why.c_str());
    std::printf("packets delivered: %.2f %% (%llu of %llu), %.1f Mbit/s\n",
                r.packetsExpected ? 100.0 * double(r.packetsReceived) / double(r.packetsExpected) : 0.0,
                static_cast<unsigned long long>(r.packetsReceived), static_cast<unsigned long long>(r.packetsExpected),
                r.windowSeconds > 0 ? double(r.windowBytes) * 8 / r.windowSeconds / 1e6 : 0.0);
    const WebrtcStormResult &n = r.storm;
    std::printf("newcomers during the floods: %zu asked, %zu answered (201), %zu playing (%zu within 5 s; first "
                "frame after %.2f s median, %.2f s at most)\n",
                n.viewers, n.joined, n.playing, n.playingWithin5s, n.firstFrameP50, n.firstFrameMax);
    printFloodResult(flood.result());
    std::printf("UDP datagrams dropped for a full receive buffer in the window (whole machine): %.0f\n", udpDropped);
    std::printf("sink's requests over the window (/metrics):");
    for (const auto &[name, value] : after)
        if (name.starts_with("morlanex_sink_requests_total"))
            std::printf(" %s %.0f", name.substr(name.find('"') + 1, name.rfind('"') - name.find('"') - 1).c_str(),
                        value - before[name]);
    std::printf("\nsink RSS: %.1f MB idle, %.1f MB at the window's start, %.1f MB at peak, %.1f MB at the end%s\n",
                rssIdle / 1024, rssStart / 1024, rssPeak / 1024, rssEnd / 1024,
                alive ? "" : "; the sink did not answer at the end");
    return alive ? 0 : 1;
}

}  // namespace morlanex::bench
