// The automatic level's encoder, measured and recorded for the mixed-link benchmark.
//
// Goes live at level 0 with the test camera and microphone through the real pipeline (the
// three WMV8 encoders, the WMA encoder, our ASF writer) without serving, and writes what the
// writer hands the network sink, packet by packet with its rendition and the moment it came,
// to a tagged recording (see tagged_recording.h) that netsink_bench_server replays.
//
// It prints the encoders' CPU over the steady part (from 5 s after the first packet on):
// the whole process (camera, preview, scaling, encoders, writer) and the sum of the three
// video encoding threads (each rendition's queue thread runs its frame-rate filter, its
// encoder and the writer; the thread that hands over most of a rendition's packets is that
// rendition's). Beside it, the same three encoders on a picture of noise (the test camera's
// colour bars are easy to encode), and with --levels the process CPU of single-rate levels. It also
// prints what each rendition costs on the wire: its packets' bytes per second, and what a
// viewer of it takes (with the shared sound packets).
//
// Usage: rendition_recorder --output FILE [--seconds S] [--levels 1,2,3] [--level-seconds S]
// Every measurement leaves out its first 5 s.
// Needs GST_PLUGIN_PATH pointing at <build>/media/testdevices.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gst/gst.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "media/capture_media.h"
#include "media/wmv_encoder.h"
#include "tagged_recording.h"

namespace {

using namespace morlanex;
using Clock = std::chrono::steady_clock;
constexpr auto kSettle = std::chrono::seconds(5);
constexpr size_t kMaxRenditions = 4;

pid_t threadId() { return pid_t(::syscall(SYS_gettid)); }

double processCpuSeconds() {
    rusage use{};
    ::getrusage(RUSAGE_SELF, &use);
    return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
        double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of every thread of this process, by thread id.
std::map<pid_t, double> threadCpuSeconds() {
    std::map<pid_t, double> cpu;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
        const pid_t tid = pid_t(std::stol(entry.path().filename().string()));
        const double seconds = bench::threadCpuSeconds(tid);
        if (seconds >= 0) cpu[tid] = seconds;
    }
    return cpu;
}

std::string threadName(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

struct Wire {
    uint64_t packets = 0, bytes = 0;
};

// What the writer hands over, as the observer sees it (on the encoders' threads).
class Recorder {
public:
    explicit Recorder(const std::string &path)
        : file_(path.empty() ? nullptr : std::make_unique<bench::TaggedRecordingWriter>(path)) {}

    void observe(bool isHeader, std::span<const uint8_t> bytes, uint8_t rendition) {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        if (isHeader) {
            if (file_) file_->header(bytes.data(), bytes.size());
            return;
        }
        if (!started_) {
            started_ = true;
            first_ = now;
        }
        const uint32_t ms = uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now - first_).count());
        if (file_) file_->packet(bytes.data(), bytes.size(), rendition, ms);
        if (rendition >= kMaxRenditions) return;
        ++handedBy_[rendition][threadId()];
        if (now >= first_ + kSettle) {
            ++wire_[rendition].packets;
            wire_[rendition].bytes += bytes.size();
        }
    }
    std::optional<Clock::time_point> first() const {
        std::lock_guard lock(mutex_);
        return started_ ? std::optional(first_) : std::nullopt;
    }
    bool fileOk() const { return !file_ || file_->ok(); }
    // The thread that handed over most packets of `rendition`, or 0.
    pid_t mainThread(uint8_t rendition) const {
        std::lock_guard lock(mutex_);
        pid_t best = 0;
        uint64_t most = 0;
        for (const auto &[tid, count] : handedBy_[rendition])
            if (count > most) most = count, best = tid;
        return best;
    }
    std::array<Wire, kMaxRenditions> wire() const {
        std::lock_guard lock(mutex_);
        return wire_;
    }

private:
    mutable std::mutex mutex_;
    std::unique_ptr<bench::TaggedRecordingWriter> file_;
    bool started_ = false;
    Clock::time_point first_;
    std::array<std::map<pid_t, uint64_t>, kMaxRenditions> handedBy_;
    std::array<Wire, kMaxRenditions> wire_{};
};

struct LevelFigures {
    int level = 0;
    double seconds = 0;  // of the steady part
    double processPercent = 0;  // of one core
    double encodersPercent = 0;  // the video renditions' threads, summed
    std::vector<double> renditionPercent;
    std::array<Wire, kMaxRenditions> wire{};
    std::vector<std::pair<std::string, double>> busiestThreads;  // name, % of one core
    std::string error;
};

LevelFigures runLevel(int level, int seconds, const std::string &output) {
    LevelFigures f;
    f.level = level;
    Recorder recorder(output);
    if (!recorder.fileOk()) return f.error = "cannot write " + output, f;
    CaptureMedia media;
    media.serving.port = 0;  // encode without serving
    media.observer = [&recorder](bool isHeader, std::span<const uint8_t> bytes, uint8_t rendition) {
        recorder.observe(isHeader, bytes, rendition);
    };
    try {
        media.listCameras();
        media.listMicrophones();
        media.applyLevel(level);
        media.startPreview();
        if (media.goLive() != LiveStart::Started) return f.error = "could not go live", f;
    } catch (const MediaError &e) {
        return f.error = e.what(), f;
    }
    for (int i = 0; i < 200 && !recorder.first(); ++i) g_usleep(50000);
    const std::optional<Clock::time_point> first = recorder.first();
    if (!first) return media.close(), f.error = "the stream did not start", f;
    std::this_thread::sleep_until(*first + kSettle);
    const double process0 = processCpuSeconds();
    const std::map<pid_t, double> threads0 = threadCpuSeconds();
    const auto steady = Clock::now();
    std::this_thread::sleep_until(*first + std::chrono::seconds(seconds));
    const double process1 = processCpuSeconds();
    const std::map<pid_t, double> threads1 = threadCpuSeconds();
    f.seconds = std::chrono::duration<double>(Clock::now() - steady).count();
    f.wire = recorder.wire();
    const uint8_t renditions =
        uint8_t(std::count_if(f.wire.begin() + 1, f.wire.end(), [](const Wire &w) { return w.packets > 0; }));
    for (uint8_t r = 1; r <= renditions; ++r) {
        const pid_t tid = recorder.mainThread(r);
        const double used = threads1.count(tid) && threads0.count(tid) ? threads1.at(tid) - threads0.at(tid) : 0;
        f.renditionPercent.push_back(100 * used / f.seconds);
        f.encodersPercent += f.renditionPercent.back();
    }
    f.processPercent = 100 * (process1 - process0) / f.seconds;
    for (const auto &[tid, cpu] : threads1) {
        const double used = cpu - (threads0.count(tid) ? threads0.at(tid) : 0);
        if (used / f.seconds >= 0.005) f.busiestThreads.emplace_back(threadName(tid), 100 * used / f.seconds);
    }
    std::sort(f.busiestThreads.begin(), f.busiestThreads.end(), [](auto &a, auto &b) { return a.second > b.second; });
    media.close();
    if (!recorder.fileOk()) f.error = "writing " + output + " failed";
    return f;
}

// The automatic level's three video encoders, set as the live pipeline sets them, on pictures
// of noise that change everywhere in every frame: the encoders' CPU where the test camera asks
// less of them. Each encodes `seconds` of its frames as fast as it can, on this thread; the
// result is the CPU those seconds of stream cost, in percent of one core.
double hardPictureCpuPercent(int seconds) {
    const std::optional<EncoderSettings> s = encoderSettings(*profileForLevel(0));
    const size_t lumaBytes = size_t(s->width) * size_t(s->height), chromaBytes = lumaBytes / 4;
    // A few pictures of noise made up front, so that making them costs nothing in the figure.
    std::vector<std::vector<uint8_t>> pictures(7, std::vector<uint8_t>(lumaBytes + 2 * chromaBytes));
    uint32_t x = 2463534242u;
    for (std::vector<uint8_t> &p : pictures)
        for (uint8_t &b : p) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = uint8_t(x);
        }
    const int strides[3] = {s->width, s->width / 2, s->width / 2};
    const double cpu0 = bench::threadCpuSeconds(threadId());
    size_t bytes = 0;
    for (const VideoRendition &r : s->renditions) {
        std::string error;
        const std::unique_ptr<WmvEncoder> encoder = WmvEncoder::open(
            {s->width, s->height, r.framesPerSecond, r.bitrate, r.framesPerSecond * s->keyFrameSeconds}, &error);
        if (!encoder) {
            std::fprintf(stderr, "rendition_recorder: %s\n", error.c_str());
            return -1;
        }
        for (int i = 0; i < seconds * r.framesPerSecond; ++i) {
            const std::vector<uint8_t> &p = pictures[size_t(i) % pictures.size()];
            const uint8_t *planes[3] = {p.data(), p.data() + lumaBytes, p.data() + lumaBytes + chromaBytes};
            if (!encoder->encode(planes, strides, [&](std::span<const uint8_t> frame, bool) { bytes += frame.size(); }))
                return -1;
        }
    }
    return bytes > 0 ? 100 * (bench::threadCpuSeconds(threadId()) - cpu0) / seconds : -1;
}

double kbps(const Wire &w, double seconds) { return seconds > 0 ? double(w.bytes) * 8 / 1000 / seconds : 0; }

}  // namespace

int main(int argc, char **argv) {
    std::string output;
    int seconds = 130, levelSeconds = 15;
    std::vector<int> levels;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--output")
            output = value;
        else if (option == "--seconds")
            seconds = std::stoi(value);
        else if (option == "--level-seconds")
            levelSeconds = std::stoi(value);
        else if (option == "--levels") {
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');) levels.push_back(std::stoi(item));
        } else {
            output.clear();
            break;
        }
    }
    if (output.empty() || seconds <= 10 || levelSeconds <= 10) {
        std::fprintf(
            stderr,
            "usage: rendition_recorder --output FILE [--seconds S>10] [--levels 1,2,3] [--level-seconds S>10]\n");
        return 2;
    }
    gst_init(&argc, &argv);

    const LevelFigures top = runLevel(0, seconds, output);
    if (!top.error.empty()) {
        std::fprintf(stderr, "rendition_recorder: level 0: %s\n", top.error.c_str());
        return 1;
    }
    std::printf("automatic level, %d s recorded to %s; CPU over %.0f s of steady encoding, %% of one core:\n", seconds,
                output.c_str(), top.seconds);
    std::printf("  three video encoding threads: %.1f %%", top.encodersPercent);
    for (size_t r = 0; r < top.renditionPercent.size(); ++r)
        std::printf("%s rendition %zu %.1f %%", r ? "," : " (", r + 1, top.renditionPercent[r]);
    std::printf(")\n  whole process (camera, preview, scaling, sound, writer too): %.1f %%\n", top.processPercent);
    std::printf("  busiest threads:");
    for (size_t i = 0; i < top.busiestThreads.size() && i < 8; ++i)
        std::printf(" %s %.1f %%;", top.busiestThreads[i].first.c_str(), top.busiestThreads[i].second);
    std::printf("\non the wire (packets x packet size), kbit/s:\n");
    std::printf("  shared sound packets: %.1f\n", kbps(top.wire[0], top.seconds));
    for (size_t r = 1; r < kMaxRenditions && top.wire[r].packets > 0; ++r)
        std::printf("  rendition %zu: its packets %.1f, a viewer of it takes %.1f\n", r, kbps(top.wire[r], top.seconds),
                    kbps(top.wire[r], top.seconds) + kbps(top.wire[0], top.seconds));
    const double hard = hardPictureCpuPercent(levelSeconds - int(kSettle.count()));
    if (hard < 0)
        std::printf("the three encoders on a picture of noise: could not run\n");
    else
        std::printf(
            "the three encoders alone on a picture of noise (every pixel new in every frame): %.1f %% of one core\n",
            hard);
    std::fflush(stdout);
    for (int level : levels) {
        const LevelFigures f = runLevel(level, levelSeconds, "");
        if (!f.error.empty())
            std::printf("level %d: %s\n", level, f.error.c_str());
        else
            std::printf("level %d (one rendition): whole process %.1f %% of one core, stream %.1f kbit/s on the wire\n",
                        level, f.processPercent, kbps(f.wire[0], f.seconds));
        std::fflush(stdout);
    }
    return 0;
}
