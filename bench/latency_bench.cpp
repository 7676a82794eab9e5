// Glass-to-glass latency of the live stream: from a frame's capture to the moment a viewer
// has received the packet that completes it.
//
// For each level it goes live with the test camera and microphone through the real pipeline
// (encoders, our ASF writer, the network sink) on loopback, connects one plain HTTP viewer and
// reads the stream as it comes. A video frame is complete when its last payload arrives; its
// capture time is the pipeline clock's time at the frame's presentation time (the test camera
// is a live source, so a frame is stamped with the moment it is taken). Frames from before
// the viewer connected (the join burst from the last key frame) are left out. It also prints the
// process's CPU over the window: capture, preview, every encoder and the sink together.
//
// Then, at the 768 kbps level, the delay from camera to a viewer's picture on three paths side
// by side, read from the test camera's time code (media/testdevices/time_code.h) in the frames
// each viewer shows, against the same wall clock: Windows Media over HTTP decoded by ffmpeg (the
// moment a frame leaves the decoder; a player's own buffer comes on top), the WebM stream and
// WebRTC in headless Chromium (the moment the page is told a frame is shown), both through the
// player page (tests/browser/chromium_page.mjs; WebM as a browser without WebRTC gets it).
//
// Usage: latency_bench [--seconds S] [--levels 1,2,3,0] [--fan-out-ms N] [--paths-seconds S]
// Needs GST_PLUGIN_PATH pointing at <build>/media/testdevices (see bench/latency).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gst/gst.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench_process.h"
#include "media/asf/asf_header.h"
#include "media/asf/asf_packet.h"
#include "media/capture_media.h"
#include "media/testdevices/time_code.h"
#include "net/socket.h"

namespace {

using namespace morlanex;

uint64_t clockNow() {
    static GstClock *clock = gst_system_clock_obtain();
    return gst_clock_get_time(clock);
}

// One plain HTTP viewer on loopback; the stream's bytes as they arrive.
class Viewer {
public:
    explicit Viewer(uint16_t port) {
        fd_ = UniqueFd(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            fd_.reset();
            return;
        }
        const char request[] = "GET / HTTP/1.0\r\nUser-Agent: latency-bench\r\n\r\n";
        if (send(fd_.get(), request, sizeof request - 1, 0) != ssize_t(sizeof request - 1)) fd_.reset();
    }
    bool ok() const { return bool(fd_); }
    // Appends what arrives within `ms`; false when the connection ended.
    bool read(std::vector<uint8_t> &into, int ms) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return true;
        uint8_t buffer[65536];
        const ssize_t n = recv(fd_.get(), buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        into.insert(into.end(), buffer, buffer + n);
        return true;
    }

private:
    UniqueFd fd_;
};

struct HeaderFacts {
    size_t bytes = 0;  // HTTP answer + ASF header + data object start
    uint32_t packetSize = 0;
    uint32_t prerollMs = 0;
    uint8_t videoStream = 0;
};

// The HTTP answer and ASF header at the start of `data`, once all of it has arrived.
std::optional<HeaderFacts> readHeader(const std::vector<uint8_t> &data) {
    const std::string text(data.begin(), data.end());
    const size_t body = text.find("\r\n\r\n");
    if (body == std::string::npos) return std::nullopt;
    const std::span<const uint8_t> stream(data.data() + body + 4, data.size() - body - 4);
    const std::optional<AsfHeaderInfo> info = parseAsfHeader(stream, nullptr, /*allowTrailing=*/true);
    if (!info) return std::nullopt;
    HeaderFacts f;
    f.prerollMs = info->preroll_ms;
    f.packetSize = info->packetSize;
    f.videoStream = info->videoStreams.empty() ? 0 : info->videoStreams.front();
    f.bytes = body + 4 + info->totalBytes;
    return f;
}

// The presentation times (ms) of the video frames that end in this packet.
std::vector<uint32_t> framesEndingIn(std::span<const uint8_t> packet, uint8_t videoStream) {
    std::vector<uint32_t> ends;
    const std::optional<AsfPacketContents> contents = readAsfPacket(packet);
    if (!contents) return ends;
    for (const AsfPayload &p : contents->payloads)
        if (p.stream == videoStream && p.offset + p.data.size() == p.objectSize()) ends.push_back(p.presentationMs());
    return ends;
}

double cpuSeconds() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
        double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

struct LevelResult {
    int level;
    size_t frames = 0;
    double median = 0, p95 = 0, max = 0;
    double cpuPercent = 0;  // of one core: the whole capture, encoding and serving process
    std::string error;
};

LevelResult measure(int level, int seconds, int fanOutMs) {
    LevelResult r;
    r.level = level;
    CaptureMedia media;
    media.serving.bindAddress = "127.0.0.1";
    media.serving.port = bench::freeLoopbackPort();
    media.serving.fanOutInterval = std::chrono::milliseconds(fanOutMs);
    media.listCameras();
    media.listMicrophones();
    media.applyLevel(level);
    media.startPreview();
    if (media.goLive() != LiveStart::Started) return r.error = "could not go live: " + media.broadcast()->error(), r;
    // Let the encoders settle, then join as a viewer would.
    for (int i = 0; i < 40 && !media.broadcast()->streamStartClockNs(); ++i) g_usleep(50000);
    g_usleep(1500000);
    const std::optional<uint64_t> start = media.broadcast()->streamStartClockNs();
    if (!start) return r.error = "the stream did not start", r;
    Viewer viewer(media.serving.port);
    if (!viewer.ok()) return r.error = "could not connect", r;
    const uint64_t joined = clockNow();
    const double cpuAtJoin = cpuSeconds();

    std::vector<uint8_t> data;
    std::optional<HeaderFacts> header;
    size_t at = 0;
    std::vector<double> latencies;
    while (clockNow() - joined < uint64_t(seconds) * GST_SECOND) {
        if (!viewer.read(data, 50)) return r.error = "the stream ended", r;
        if (!header && (header = readHeader(data))) at = header->bytes;
        if (!header) continue;
        const uint64_t now = clockNow();
        for (; header->packetSize && data.size() - at >= header->packetSize; at += header->packetSize) {
            for (uint32_t presentation : framesEndingIn({data.data() + at, header->packetSize}, header->videoStream)) {
                const uint64_t captured = *start + uint64_t(presentation - header->prerollMs) * GST_MSECOND;
                if (captured >= joined) latencies.push_back(double(now - captured) / double(GST_SECOND));
            }
        }
    }
    r.cpuPercent = 100.0 * (cpuSeconds() - cpuAtJoin) / (double(clockNow() - joined) / double(GST_SECOND));
    media.close();
    r.frames = latencies.size();
    r.median = percentile(latencies, 0.5);
    r.p95 = percentile(latencies, 0.95);
    r.max = percentile(latencies, 1.0);
    return r;
}

uint32_t wallCode() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return uint32_t(uint64_t(t.tv_sec) * 1000 + uint64_t(t.tv_nsec) / 1000000) & MORLANEX_TIME_CODE_MASK;
}

// Plausible delays only: a misread code gives anything.
void keepDelay(std::vector<double> &delays, uint32_t code) {
    const uint32_t ms = morlanex_time_code_age(code, wallCode());
    if (ms < 10000) delays.push_back(ms / 1000.0);
}

// ffmpeg decodes the Windows Media stream as a player would and hands over each picture's luma.
std::vector<double> windowsMediaDelays(uint16_t port, int seconds, std::string *error) {
    constexpr int kWidth = 320, kHeight = 240;
    const std::string command = "timeout " + std::to_string(seconds + 30) +
        " ffmpeg -nostdin -loglevel error -fflags nobuffer -flags low_delay -i http://127.0.0.1:" +
        std::to_string(port) + "/ -t " + std::to_string(seconds) + " -an -vf scale=320:240 -f rawvideo -pix_fmt gray -";
    FILE *ffmpeg = popen(command.c_str(), "r");
    if (!ffmpeg) return *error = "cannot run ffmpeg", std::vector<double>{};
    std::vector<uint8_t> picture(kWidth * kHeight);
    std::vector<double> delays;
    while (std::fread(picture.data(), 1, picture.size(), ffmpeg) == picture.size())
        keepDelay(delays, morlanex_time_code_read(picture.data(), kWidth, kHeight, kWidth));
    if (pclose(ffmpeg) != 0 && delays.empty()) *error = "ffmpeg failed";
    return delays;
}

// Headless Chromium plays the player page; `noWebrtc` makes it a browser without WebRTC.
std::vector<double> chromiumDelays(uint16_t port, int seconds, bool noWebrtc, std::string *error) {
    const char *source = std::getenv("MORLANEX_SOURCE_DIR");
    const std::string command = "timeout " + std::to_string(seconds + 90) + " node " +
        std::string(source ? source : MORLANEX_SOURCE) +
        "/tests/browser/chromium_page.mjs --url http://127.0.0.1:" + std::to_string(port) +
        "/watch --video-seconds 2 --timeout " + std::to_string(seconds + 60) + " --time-code-frames " +
        std::to_string(seconds * 30) + (noWebrtc ? " --no-webrtc --path WebM" : " --path WebRTC") + " 2>&1";
    FILE *node = popen(command.c_str(), "r");
    if (!node) return *error = "cannot run node", std::vector<double>{};
    std::string output;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, node)) > 0;) output.append(buffer, n);
    const int status = pclose(node);
    std::vector<double> delays;
    const size_t at = output.find("\"timeCodeDelaysMs\":[");
    if (at != std::string::npos) {
        std::stringstream list(output.substr(at + 20, output.find(']', at) - at - 20));
        for (std::string item; std::getline(list, item, ',');) delays.push_back(std::stod(item) / 1000.0);
    }
    if (status != 0 || delays.empty()) *error = "Chromium: " + output.substr(0, 400);
    return delays;
}

int measurePaths(int seconds) {
    CaptureMedia media;
    media.serving.bindAddress = "127.0.0.1";
    media.serving.port = bench::freeLoopbackPort();
    media.listCameras();
    media.listMicrophones();
    media.applyLevel(3);
    media.startPreview();
    if (media.goLive() != LiveStart::Started) {
        std::printf("could not go live: %s\n", media.broadcast()->error().c_str());
        return 1;
    }
    std::printf("\ndelay from camera to picture at the 768 kbps level (320x240, 30 frames a second), %d s a path,\n"
                "read from the test camera's time code in the frames each viewer shows\n",
                seconds);
    std::printf("| path | frames read | median s | 95th percentile s |\n|---|---|---|---|\n");
    int failures = 0;
    struct Path {
        const char *name;
        std::function<std::vector<double>(std::string *)> run;
    };
    const Path paths[] = {
        {"Windows Media over HTTP (ffmpeg)",
         [&](std::string *e) { return windowsMediaDelays(media.serving.port, seconds, e); }},
        {"WebM over HTTP (Chromium)", [&](std::string *e) { return chromiumDelays(media.serving.port, seconds, true, e); }},
        {"WebRTC (Chromium)", [&](std::string *e) { return chromiumDelays(media.serving.port, seconds, false, e); }},
    };
    for (const Path &path : paths) {
        std::string error;
        const std::vector<double> delays = path.run(&error);
        if (!error.empty()) {
            std::printf("| %s | %s | | |\n", path.name, error.c_str());
            ++failures;
        } else {
            std::printf("| %s | %zu | %.3f | %.3f |\n", path.name, delays.size(), percentile(delays, 0.5),
                        percentile(delays, 0.95));
        }
        std::fflush(stdout);
    }
    media.close();
    return failures;
}

}  // namespace

int main(int argc, char **argv) {
    int seconds = 20, fanOutMs = 400, pathsSeconds = 20;
    std::vector<int> levels = {1, 2, 3, 0};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--seconds") {
            seconds = std::stoi(value);
        } else if (option == "--fan-out-ms") {
            fanOutMs = std::stoi(value);
        } else if (option == "--paths-seconds") {
            pathsSeconds = std::stoi(value);
        } else if (option == "--levels") {
            levels.clear();
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');) levels.push_back(std::stoi(item));
        } else {
            std::fprintf(stderr,
                         "usage: latency_bench [--seconds S] [--levels 1,2,3,0] [--fan-out-ms N] "
                         "[--paths-seconds S]\n");
            return 2;
        }
    }
    gst_init(&argc, &argv);
    std::printf("glass-to-glass latency, %d s per level, sink fan-out every %d ms\n", seconds, fanOutMs);
    std::printf("| level | frames | median s | 95th percentile s | max s | process CPU, %% of one core |\n"
                "|---|---|---|---|---|---|\n");
    int failures = 0;
    for (int level : levels) {
        const LevelResult r = measure(level, seconds, fanOutMs);
        if (!r.error.empty()) {
            std::printf("| %d | %s | | | | |\n", level, r.error.c_str());
            ++failures;
            continue;
        }
        std::printf("| %d | %zu | %.3f | %.3f | %.3f | %.0f |\n", level, r.frames, r.median, r.p95, r.max,
                    r.cpuPercent);
        std::fflush(stdout);
    }
    if (pathsSeconds > 0) failures += measurePaths(pathsSeconds);
    return failures == 0 ? 0 : 1;
}
