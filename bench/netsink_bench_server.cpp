// The network sink in a process of its own, for the benchmark: serves a recorded stream on
// 127.0.0.1:PORT at the stream's real rate (packet send times), so its CPU time and memory
// can be read from /proc apart from the load generator's.
//
// Usage: netsink_bench_server FILE PORT MAX_CLIENTS [FAN_OUT_INTERVAL_MS]
// Before printing "ready" it pushes the first PREFILL_SECONDS of the stream at once, so the
// shared packet window has its steady size when the benchmark takes its memory baseline.
// Ends on SIGTERM and prints the sink's counters to stderr.
#include "media/netsink/asf_packet.h"
#include "media/netsink/network_sink.h"
#include "media/netsink/recorded_asf.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

namespace {

std::atomic<bool> g_stop{false};
constexpr uint32_t kPrefill_ms = 30000;

}  // namespace

int main(int argc, char **argv) {
    using namespace morlanex;
    using Clock = std::chrono::steady_clock;
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s FILE PORT MAX_CLIENTS [FAN_OUT_INTERVAL_MS]\n", argv[0]);
        return 2;
    }
    std::signal(SIGTERM, [](int) { g_stop = true; });
    std::signal(SIGINT, [](int) { g_stop = true; });
    std::string error;
    const auto stream = loadRecordedAsf(argv[1], &error);
    if (!stream || stream->packets.empty()) {
        std::fprintf(stderr, "netsink_bench_server: %s\n", error.c_str());
        return 1;
    }
    std::vector<uint32_t> sendTimes;
    for (const auto &p : stream->packets) {
        const auto info = parseAsfPacket(p, stream->info.videoStreams);
        sendTimes.push_back(info ? info->sendTime_ms : (sendTimes.empty() ? 0 : sendTimes.back()));
    }
    const uint32_t loop_ms = sendTimes.back() - sendTimes.front() + 1;

    NetworkSinkConfig config;
    config.bindAddress = "127.0.0.1";
    config.port = uint16_t(std::atoi(argv[2]));
    config.maxClients = size_t(std::atol(argv[3]));
    config.log = [](std::string_view) {};  // the counters printed at the end say enough
    if (argc == 5) config.fanOutInterval = std::chrono::milliseconds(std::atoi(argv[4]));
    raiseOpenFileLimit(openFilesNeeded(config));
    NetworkSink sink(config);
    if (!sink.start(&error) || !sink.setHeader(stream->header.data(), stream->header.size(), &error)) {
        std::fprintf(stderr, "netsink_bench_server: %s\n", error.c_str());
        return 1;
    }

    // Packet i of loop k is due at (k * loop + sendTime[i] - sendTime[0]) after the start.
    const auto t0 = Clock::now();
    uint64_t loop = 0;
    size_t i = 0;
    bool ready = false;
    while (!g_stop) {
        const uint64_t due_ms = loop * loop_ms + (sendTimes[i] - sendTimes.front());
        if (due_ms >= kPrefill_ms) {
            if (!ready) {
                ready = true;
                std::printf("ready %u\n", sink.port());
                std::fflush(stdout);
            }
            const auto due = t0 + std::chrono::milliseconds(due_ms - kPrefill_ms);
            if (Clock::now() < due) {
                std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(100)));
                continue;
            }
        }
        sink.pushPacket(stream->packets[i].data(), stream->packets[i].size());
        if (++i == stream->packets.size()) {
            i = 0;
            ++loop;
        }
    }
    const NetworkSinkStats s = sink.stats();
    sink.stop();
    std::fprintf(stderr, "netsink_bench_server: served %llu dropped %llu refused %llu bytes %llu\n",
                 (unsigned long long)s.servedTotal, (unsigned long long)s.droppedSlowTotal,
                 (unsigned long long)s.refusedTotal, (unsigned long long)s.bytesSent);
    return 0;
}
