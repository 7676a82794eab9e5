// The browser rendition: what its encoders cost, and how a standard nginx cache relays it.
//
// 1. CPU. The channel goes live at the 768 kbps level with the test camera and microphone
//    through the real pipeline and network sink, one Windows Media viewer reading all along.
//    The process's CPU time is taken over alternating windows without and with one browser
//    viewer; the difference is the VP8/Vorbis/WebM branch (idle when nobody watches it). The
//    same for the WebRTC branch (VP8/Opus), its viewer stood in for by telling the server one
//    is connected.
// 2. Relay. Debian's nginx, as an unprivileged process with its own configuration in a temporary
//    folder, caches the sink's segments (proxy_cache with proxy_cache_lock, so one fetch from
//    the sink fills the cache however many viewers ask at once). Many viewers fetch the live
//    segments through it; the sink's own counts show what it served meanwhile. For contrast,
//    a few viewers take the endless progressive stream through nginx with proxy_buffering off:
//    there nginx holds one sink connection per viewer.
//
// Usage: browser_bench [--cpu-seconds S] [--relay-seconds S] [--viewers N] [--nginx PATH]
// As root, nginx runs as nobody.
// Needs GST_PLUGIN_PATH pointing at <build>/media/testdevices (see bench/browser).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "browser/nginx_relay.h"
#include "media/browser_encoder.h"
#include "media/capture_media.h"
#include "media/netsink/network_sink.h"
#include "net/socket.h"

namespace {

using namespace morlanex;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

UniqueFd connectTo(uint16_t port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return {};
    return fd;
}

// One HTTP/1.0 GET, read to the end: the status (0 on failure) and the body.
int httpGet(uint16_t port, const std::string &path, std::string *body) {
    const UniqueFd socket = connectTo(port);
    const int fd = socket.get();
    if (fd < 0) return 0;
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) return 0;
    std::string all;
    char buffer[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        all.append(buffer, size_t(n));
    }
    const size_t end = all.find("\r\n\r\n");
    int status = 0;
    if (end == std::string::npos || std::sscanf(all.c_str(), "HTTP/%*d.%*d %d", &status) != 1) return 0;
    *body = all.substr(end + 4);
    return status;
}

// A viewer of an endless stream on its own thread: reads and counts until told to stop.
// A viewer of a rendition while it lives.
class Watcher {
public:
    virtual ~Watcher() = default;
    virtual uint64_t bytes() const = 0;  // what it received so far
};

// Stands in for a WebRTC viewer: the server is told one is connected, as the sink tells it, so
// the encoders and the sink's packetizing run; no viewer's encryption and sending.
class RtcWatcher : public Watcher {
public:
    RtcWatcher(LiveServer &server, const std::atomic<uint64_t> &bytes) : server_(server), bytes_(bytes) {
        server_.setWebrtcWatched(true);
    }
    ~RtcWatcher() override { server_.setWebrtcWatched(false); }
    uint64_t bytes() const override { return bytes_; }

private:
    LiveServer &server_;
    const std::atomic<uint64_t> &bytes_;
};

class StreamReader : public Watcher {
public:
    StreamReader(uint16_t port, const std::string &path) {
        fd_ = connectTo(port);
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (fd_ && send(fd_.get(), request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()))
            thread_ = std::thread([this] { run(); });
    }
    ~StreamReader() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    uint64_t bytes() const override { return bytes_; }

private:
    void run() {
        char buffer[65536];
        while (!stop_) {
            pollfd p{fd_.get(), POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = recv(fd_.get(), buffer, sizeof buffer, 0);
            if (n <= 0) break;
            bytes_ += uint64_t(n);
        }
    }
    UniqueFd fd_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> bytes_{0};
    std::thread thread_;
};

struct Options {
    int cpuSeconds = 20;
    int relaySeconds = 30;
    int viewers = 500;
    std::string nginx = "nginx";
};

// The process's CPU over alternating windows without and with a viewer of one rendition (made
// by `watch`, watching while it lives); the difference is that rendition's encoders.
void measureCpu(const char *rendition, const Options &o, const std::function<std::unique_ptr<Watcher>()> &watch) {
    const int window = std::max(2, o.cpuSeconds / 4);
    double idle = 0, watched = 0, idleTime = 0, watchedTime = 0;
    uint64_t bytes = 0;
    for (int round = 0; round < 2; ++round) {
        double c = processCpuSeconds();
        auto t = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(window));
        idle += processCpuSeconds() - c;
        idleTime += std::chrono::duration<double>(Clock::now() - t).count();

        const std::unique_ptr<Watcher> viewer = watch();
        std::this_thread::sleep_for(2s);  // the encoders start and reach their steady state
        c = processCpuSeconds();
        t = Clock::now();
        const uint64_t before = viewer->bytes();
        std::this_thread::sleep_for(std::chrono::seconds(window));
        watched += processCpuSeconds() - c;
        watchedTime += std::chrono::duration<double>(Clock::now() - t).count();
        bytes += viewer->bytes() - before;
    }
    const double idleShare = 100 * idle / idleTime, watchedShare = 100 * watched / watchedTime;
    std::printf("process CPU, nobody watching the %s: %.1f %% of one core (%.0f s)\n", rendition, idleShare, idleTime);
    std::printf("process CPU, one viewer of it:       %.1f %% of one core (%.0f s)\n", watchedShare, watchedTime);
    std::printf("the %s's encoders: %.1f %% of one core while watched, none while not; it carried %.0f kbps\n",
                rendition, watchedShare - idleShare, bytes * 8 / watchedTime / 1000);
}

// What the relayed viewers did, in all.
struct RelayCounts {
    std::atomic<uint64_t> segments{0}, bytes{0}, latest{0}, failures{0};
};

// The newest segment the cache names ({"session":"...","segment":N}); false when there is none.
bool latestSegment(uint16_t port, std::string *session, uint64_t *number) {
    std::string body;
    char id[16] = {};
    unsigned long long n = 0;
    if (httpGet(port, "/live/latest", &body) != 200 ||
        std::sscanf(body.c_str(), "{\"session\":\"%8[0-9a-f]\",\"segment\":%llu}", id, &n) != 2)
        return false;
    *session = id;
    *number = n;
    return true;
}

// One viewer behind the cache, as a player would be: it learns the newest segment from
// "latest" (which the cache keeps for a second), fetches the header, then each segment once
// "latest" says it is made.
void relayViewer(uint16_t port, Clock::time_point end, RelayCounts &counts) {
    std::string session, body;
    uint64_t next = 0, newest = 0;
    bool started = false;
    while (Clock::now() < end) {
        std::string named;
        if (!started || next > newest) {
            counts.latest++;
            if (!latestSegment(port, &named, &newest) || (started && named != session)) {
                counts.failures += started;
                started = false;
                std::this_thread::sleep_for(500ms);
                continue;
            }
            if (!started) {
                session = named;
                next = newest;
                started = httpGet(port, "/live/" + session + "/header", &body) == 200;
                counts.failures += !started;
            }
            if (next > newest) {
                std::this_thread::sleep_for(500ms);
                continue;
            }
        }
        if (httpGet(port, "/live/" + session + "/" + std::to_string(next), &body) == 200) {
            counts.segments++;
            counts.bytes += body.size();
            ++next;
        } else {
            counts.failures++;
            started = false;
        }
    }
}

int measureRelay(CaptureMedia &media, const Options &o) {
    std::printf("\n== nginx relaying the browser rendition (%d viewers, %d s)\n", o.viewers, o.relaySeconds);
    test::NginxRelay nginx;
    std::string error;
    if (!nginx.start(bench::freeLoopbackPort(), media.serving.port, &error, o.nginx)) {
        std::printf("nginx could not be started: %s\n", error.c_str());
        return 1;
    }
    const uint16_t relayPort = nginx.port();
    std::string probe;
    for (int i = 0; i < 100 && httpGet(relayPort, "/live/latest", &probe) == 0; ++i) std::this_thread::sleep_for(100ms);

    NetworkSink &sink = *media.broadcast()->sink();
    const NetworkSinkStats before = sink.stats();
    RelayCounts counts;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(o.relaySeconds);
    size_t sinkViewersMax = 0;
    {
        std::vector<std::thread> viewers;
        for (int i = 0; i < o.viewers; ++i) viewers.emplace_back(relayViewer, relayPort, end, std::ref(counts));
        std::this_thread::sleep_for(1s);  // the Windows Media viewer of the CPU part is gone by then
        while (Clock::now() < end) {
            sinkViewersMax = std::max(sinkViewersMax, sink.stats().viewers);
            std::this_thread::sleep_for(100ms);
        }
        for (std::thread &t : viewers) t.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const NetworkSinkStats after = sink.stats();
    const uint64_t sinkAnswers = after.segmentAnswers - before.segmentAnswers;
    std::printf("viewers behind nginx: %d; they got %llu segments (%.1f each, %.1f MB, %.0f kbps per viewer) "
                "after %llu asks for the latest; failures %llu\n",
                o.viewers, (unsigned long long)counts.segments.load(), double(counts.segments) / o.viewers,
                counts.bytes / 1e6, counts.bytes * 8 / seconds / 1000 / o.viewers,
                (unsigned long long)counts.latest.load(), (unsigned long long)counts.failures.load());
    std::printf("the sink meanwhile: %llu requests from nginx (%.2f per second) for %.1f MB; streaming viewers at "
                "most %zu\n",
                (unsigned long long)sinkAnswers, sinkAnswers / seconds, (after.bytesSent - before.bytesSent) / 1e6,
                sinkViewersMax);
    std::printf("fan-out by the cache: %.0f viewer requests per request to the sink\n",
                double(counts.segments + counts.latest) / std::max<uint64_t>(1, sinkAnswers));

    // Contrast: the progressive stream passed through holds a broadcaster connection per viewer.
    const size_t passThrough = 20;
    {
        std::vector<std::unique_ptr<StreamReader>> readers;
        for (size_t i = 0; i < passThrough; ++i)
            readers.push_back(std::make_unique<StreamReader>(relayPort, BrowserEncoder::kStreamPath));
        std::this_thread::sleep_for(3s);
        std::printf("the progressive stream through nginx (proxy_buffering off): %zu viewers hold %zu connections "
                    "to the sink\n",
                    passThrough, sink.stats().mediaViewers);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--cpu-seconds")
            o.cpuSeconds = std::atoi(argv[i + 1]);
        else if (flag == "--relay-seconds")
            o.relaySeconds = std::atoi(argv[i + 1]);
        else if (flag == "--viewers")
            o.viewers = std::atoi(argv[i + 1]);
        else if (flag == "--nginx")
            o.nginx = argv[i + 1];
        else {
            std::fprintf(stderr,
                         "usage: browser_bench [--cpu-seconds S] [--relay-seconds S] [--viewers N] [--nginx PATH]\n");
            return 2;
        }
    }
    gst_init(&argc, &argv);
    CaptureMedia media;
    media.serving.bindAddress = "127.0.0.1";
    media.serving.port = bench::freeLoopbackPort();
    media.listCameras();
    media.listMicrophones();
    std::atomic<uint64_t> rtcBytes{0}, rtcIdleFrames{0};
    std::atomic<int64_t> lastWatchedFrameNs{0};
    media.rtcObserver = [&](RtcMedia, std::span<const uint8_t> frame, uint64_t, bool, uint8_t) {
        rtcBytes += frame.size();
        // Frames still in the queues as the valves close come right after the watched ones.
        const int64_t now =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
        if (media.broadcast()->server().webrtcWatched())
            lastWatchedFrameNs = now;
        else if (now - lastWatchedFrameNs > 500'000'000)
            ++rtcIdleFrames;
    };
    media.applyLevel(3);
    media.startPreview();
    if (media.goLive() != LiveStart::Started) {
        std::fprintf(stderr, "could not go live: %s\n", media.broadcast()->error().c_str());
        return 1;
    }
    // The pipeline's bus is not watched here: nothing in it is needed, and it only grows.
    for (int i = 0; i < 100 && media.broadcast()->packetsOut() == 0; ++i) std::this_thread::sleep_for(100ms);
    if (media.broadcast()->packetsOut() == 0) {
        std::fprintf(stderr, "the live stream did not start\n");
        return 1;
    }
    std::printf("== CPU of the browser renditions (768 kbps level, 320x240, one Windows Media viewer throughout)\n");
    StreamReader asfViewer(media.serving.port, "/");
    const auto started = Clock::now();
    std::this_thread::sleep_for(3s);
    measureCpu("WebM rendition", o,
               [&] { return std::make_unique<StreamReader>(media.serving.port, BrowserEncoder::kStreamPath); });
    measureCpu("WebRTC rendition", o,
               [&] { return std::make_unique<RtcWatcher>(media.broadcast()->server(), rtcBytes); });
    std::printf("WebRTC frames encoded while nobody watched (after those in flight): %llu\n",
                static_cast<unsigned long long>(rtcIdleFrames.load()));
    std::printf(
        "the Windows Media viewer received %.0f kbps meanwhile (the test picture needs less than the level's rate)\n",
        asfViewer.bytes() * 8 / std::chrono::duration<double>(Clock::now() - started).count() / 1000);
    const int relay = measureRelay(media, o);
    media.close();
    return relay;
}
