// The WebRTC side of the sink in a process of its own, for the WebRTC benchmark: replays a
// recording of VP8 and Opus frames into a real sink at the moments they were made, looping,
// so its CPU time and memory can be read from /proc apart from the load generator's.
//
// Usage:
//   whep_bench_server --record FILE SECONDS   encodes the test picture and tone in the two VP8
//                                             renditions the sink serves a 768 kbit/s level
//                                             (704 kbit/s at 320x240 and 30 fps, and the low
//                                             one of media/profiles.h), their key frames at the
//                                             same pictures each 2 s, and Opus at the WebRTC
//                                             rate in 20 ms frames, as fast as it can
//   whep_bench_server FILE PORT MAX_CLIENTS   the sink on 127.0.0.1:PORT (WHEP at /whep)
//   whep_bench_server --rtp FILE VIDEO_PORT AUDIO_PORT
//                                             the same frames as plain RTP to 127.0.0.1, one
//                                             port per kind (payload types 96 and 111), for
//                                             another server to relay (the top rendition only)
// The recording is a tagged recording (see tagged_recording.h) whose rendition byte says the
// kind: 0 VP8, 1 VP8 key frame, 2 Opus, 3 low VP8, 4 low VP8 key frame; its time is the
// frame's presentation time in ms. A recording without the low rendition serves the top alone.
// Prints "ready" once serving; ends on SIGTERM. With WHEP_BENCH_LOG set the sink's log lines go
// to standard error.
#include "media/netsink/network_sink.h"
#include "media/profiles.h"
#include "net/socket.h"
#include "net/udp_socket.h"
#include "tagged_recording.h"
#include "webrtc/rtp.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using namespace morlanex;
using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};
enum Kind : uint8_t { Vp8 = 0, Vp8Key = 1, Opus = 2, LowVp8 = 3, LowVp8Key = 4 };
constexpr uint32_t kTopRate = 704'000;  // a 768 kbit/s level's at 30 fps; the low one is the product's
constexpr int kTopFps = 30;

bool isVideo(uint8_t kind) { return kind != Opus; }
uint8_t renditionOf(uint8_t kind) { return kind >= LowVp8 ? 1 : 0; }
bool isKey(uint8_t kind) { return kind == Vp8Key || kind == LowVp8Key; }

struct Frame {
    uint32_t ms;
    uint8_t kind;
    std::vector<uint8_t> bytes;
};

// Pulls every encoded buffer of one appsink, non-live, until end of stream. `kind`: a delta
// frame's kind; a video key frame's is the next.
void drain(GstElement *pipeline, const char *name, uint8_t kind, std::vector<Frame> &out) {
    GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), name);
    while (GstSample *sample = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
        GstBuffer *b = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (gst_buffer_map(b, &map, GST_MAP_READ)) {
            const bool key = !GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
            out.push_back({uint32_t(GST_BUFFER_PTS(b) / GST_MSECOND), uint8_t(isVideo(kind) && key ? kind + 1 : kind),
                           {map.data, map.data + map.size}});
            gst_buffer_unmap(b, &map);
        }
        gst_sample_unref(sample);
    }
    gst_object_unref(sink);
}

// A key frame every 2 s of `fps`.
std::string vp8Encoder(uint32_t rate, int fps, const char *sink) {
    return "vp8enc deadline=1 cpu-used=8 end-usage=cbr target-bitrate=" + std::to_string(rate) +
           " keyframe-max-dist=" + std::to_string(fps * 2) +
           " lag-in-frames=0 threads=1 error-resilient=default ! appsink name=" + sink + " sync=false ";
}

// The low rendition as the live encoder makes it from the same pictures: every other one
// (the first kept), scaled.
std::string lowVp8Encoder() {
    const std::string size = "width=" + std::to_string(kWebrtcLowWidth) + ",height=" + std::to_string(kWebrtcLowHeight);
    const int fps = std::min(kTopFps, kWebrtcLowFramesPerSecond);
    return "queue ! videorate drop-only=true ! video/x-raw,framerate=" + std::to_string(fps) +
           "/1 ! videoscale add-borders=false ! video/x-raw," + size + ",pixel-aspect-ratio=1/1 ! " +
           vp8Encoder(kWebrtcLowVideoBitrate, fps, "l");
}

// The key frames' times of one rendition.
std::vector<uint32_t> keyFrameTimes(const std::vector<Frame> &frames) {
    std::vector<uint32_t> times;
    for (const Frame &f : frames)
        if (isKey(f.kind)) times.push_back(f.ms);
    return times;
}

int record(const char *path, int seconds) {
    gst_init(nullptr, nullptr);
    // One picture to both encoders, as the live encoder's tee does.
    const std::string description =
        "videotestsrc pattern=smpte horizontal-speed=4 num-buffers=" + std::to_string(seconds * kTopFps) +
        " ! video/x-raw,format=I420,width=320,height=240,framerate=" + std::to_string(kTopFps) +
        "/1 ! tee name=t t. ! " +
        "queue ! " + vp8Encoder(kTopRate, kTopFps, "v") + "t. ! " + lowVp8Encoder() +
        "audiotestsrc wave=ticks num-buffers=" + std::to_string(seconds * 50) +
        " samplesperbuffer=960 ! audio/x-raw,rate=48000,channels=2 ! opusenc bitrate=" +
        std::to_string(kWebrtcOpusBitrate) + " frame-size=20 ! appsink name=a sync=false";
    GError *error = nullptr;
    GstElement *pipeline = gst_parse_launch(description.c_str(), &error);
    if (!pipeline) {
        std::fprintf(stderr, "whep_bench_server: %s\n", error ? error->message : "no pipeline");
        return 1;
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    std::vector<Frame> video, low, audio;
    std::thread audioThread([&] { drain(pipeline, "a", Opus, audio); });
    std::thread lowThread([&] { drain(pipeline, "l", LowVp8, low); });
    drain(pipeline, "v", Vp8, video);
    audioThread.join();
    lowThread.join();
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    // A viewer moves between renditions at key frames of the same moment.
    if (keyFrameTimes(video) != keyFrameTimes(low)) {
        std::fprintf(stderr, "whep_bench_server: the renditions' key frames are not at the same pictures\n");
        return 1;
    }
    std::vector<Frame> all = std::move(video);
    for (std::vector<Frame> *more : {&low, &audio})
        all.insert(all.end(), std::make_move_iterator(more->begin()), std::make_move_iterator(more->end()));
    std::stable_sort(all.begin(), all.end(), [](const Frame &a, const Frame &b) { return a.ms < b.ms; });
    bench::TaggedRecordingWriter w(path);
    static const char kHeader[] = "VP8 Opus";  // the format wants one; nothing reads it
    w.header(reinterpret_cast<const uint8_t *>(kHeader), sizeof kHeader - 1);
    for (const Frame &f : all) w.packet(f.bytes.data(), f.bytes.size(), f.kind, f.ms);
    if (all.empty() || !w.ok()) {
        std::fprintf(stderr, "whep_bench_server: nothing recorded in %s\n", path);
        return 1;
    }
    return 0;
}

// Hands each frame to `push` at its time, looping; the times go on across loops.
template <class Push>
void replay(const bench::TaggedRecording &r, Push push) {
    const uint64_t loopMs = r.lengthMs() + 20;
    const auto t0 = Clock::now();
    for (uint64_t loop = 0; !g_stop; ++loop) {
        for (const bench::TaggedPacket &p : r.packets) {
            const uint64_t ms = loop * loopMs + p.handedOverMs;
            while (!g_stop && Clock::now() < t0 + std::chrono::milliseconds(ms))
                std::this_thread::sleep_until(std::min(t0 + std::chrono::milliseconds(ms),
                                                       Clock::now() + std::chrono::milliseconds(100)));
            if (g_stop) return;
            push(p, ms);
        }
    }
}

int serveRtp(const bench::TaggedRecording &r, uint16_t videoPort, uint16_t audioPort) {
    std::string error;
    UniqueFd socket = openUdpSocket("127.0.0.1", 0, &error);
    if (!socket) {
        std::fprintf(stderr, "whep_bench_server: %s\n", error.c_str());
        return 1;
    }
    webrtc::Vp8Packetizer vp8(96, 0x11223344);
    webrtc::OpusPacketizer opus(111, 0x55667788);
    webrtc::RtpPackets packets;
    webrtc::RtpPacket audioPacket;
    const auto sendTo = [&](uint16_t port, std::span<const uint8_t> bytes) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(socket.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    };
    std::printf("ready\n");
    std::fflush(stdout);
    replay(r, [&](const bench::TaggedPacket &p, uint64_t ms) {
        if (p.rendition >= LowVp8) return;
        if (p.rendition == Opus) {
            if (opus.packetize(p.bytes, uint32_t(ms * 48), audioPacket)) sendTo(audioPort, audioPacket.view());
        } else if (vp8.packetize(p.bytes, uint32_t(ms * 90), packets)) {
            for (const webrtc::RtpPacket &packet : packets.packets()) sendTo(videoPort, packet.view());
        }
    });
    return 0;
}

int serveSink(const bench::TaggedRecording &r, uint16_t port, size_t maxClients) {
    NetworkSinkConfig config;
    config.bindAddress = "127.0.0.1";
    config.port = port;
    config.maxClients = maxClients;
    config.webrtcVideoRates = {kTopRate};
    if (std::any_of(r.packets.begin(), r.packets.end(), [](const auto &p) { return p.rendition >= LowVp8; }))
        config.webrtcVideoRates.push_back(kWebrtcLowVideoBitrate);
    if (!std::getenv("WHEP_BENCH_LOG")) config.log = [](std::string_view) {};
    raiseOpenFileLimit(openFilesNeeded(config));
    NetworkSink sink(config);
    std::string error;
    if (!sink.start(&error)) {
        std::fprintf(stderr, "whep_bench_server: %s\n", error.c_str());
        return 1;
    }
    std::printf("ready %u %u\n", sink.port(), sink.webrtcPort());
    std::fflush(stdout);
    replay(r, [&](const bench::TaggedPacket &p, uint64_t ms) {
        sink.pushRtcFrame(p.rendition == Opus ? RtcMedia::Opus : RtcMedia::Vp8, p.bytes, ms * 1000000,
                          isKey(p.rendition), renditionOf(p.rendition));
    });
    const NetworkSinkStats s = sink.stats();
    sink.stop();
    std::fprintf(stderr, "whep_bench_server: WebRTC viewers at the end %zu\n", s.webrtcViewers);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::string(argv[1]) == "--record") return record(argv[2], std::atoi(argv[3]));
    const bool rtp = argc == 5 && std::string(argv[1]) == "--rtp";
    if (argc != 4 && !rtp) {
        std::fprintf(stderr,
                     "usage: %s --record FILE SECONDS | FILE PORT MAX_CLIENTS | --rtp FILE VIDEO_PORT AUDIO_PORT\n",
                     argv[0]);
        return 2;
    }
    std::signal(SIGTERM, [](int) { g_stop = true; });
    std::signal(SIGINT, [](int) { g_stop = true; });
    std::string error;
    const auto recording = bench::loadTaggedRecording(argv[rtp ? 2 : 1], &error);
    if (!recording || recording->packets.empty()) {
        std::fprintf(stderr, "whep_bench_server: %s\n", recording ? "empty recording" : error.c_str());
        return 1;
    }
    if (rtp) return serveRtp(*recording, uint16_t(std::atoi(argv[3])), uint16_t(std::atoi(argv[4])));
    return serveSink(*recording, uint16_t(std::atoi(argv[2])), size_t(std::atol(argv[3])));
}
