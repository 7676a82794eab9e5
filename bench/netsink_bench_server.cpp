// The network sink in a process of its own, for the benchmark: serves a recorded stream on
// 127.0.0.1:PORT at the stream's real rate (packet send times), so its CPU time and memory
// can be read from /proc apart from the load generator's.
//
// Usage: netsink_bench_server FILE PORT MAX_CLIENTS [FAN_OUT_INTERVAL_MS]
// FILE is a recorded ASF stream, played at its packets' send times, or a tagged recording of
// the encoder's hand-overs (rendition_recorder), played at the moments they came, each packet
// with its rendition; that one is not looped (its send times would go back), so it must be
// long enough for the run.
// Before printing "ready" it pushes the first PREFILL_SECONDS of the stream at once, so the
// shared packet window has its steady size when the benchmark takes its memory baseline.
// On SIGUSR1 it prints a line "stats dropped D renditions A B C D viewers V" (viewers dropped
// as too slow so far, viewers on each rendition and in all, now). Ends on SIGTERM and prints
// the sink's counters to stderr.
#include "media/asf/asf_packet.h"
#include "media/netsink/network_sink.h"
#include "media/asf/recorded_asf.h"
#include "tagged_recording.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_statsWanted{false};
constexpr uint32_t kPrefill_ms = 30000;

void printStats(const morlanex::NetworkSinkStats &s) {
    std::printf("stats dropped %llu renditions %zu %zu %zu %zu viewers %zu\n", (unsigned long long)s.droppedSlowTotal,
                s.viewersOnRendition[0], s.viewersOnRendition[1], s.viewersOnRendition[2], s.viewersOnRendition[3],
                s.viewers);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    using namespace morlanex;
    namespace bench = morlanex::bench;
    using Clock = std::chrono::steady_clock;
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s FILE PORT MAX_CLIENTS [FAN_OUT_INTERVAL_MS]\n", argv[0]);
        return 2;
    }
    std::signal(SIGTERM, [](int) { g_stop = true; });
    std::signal(SIGINT, [](int) { g_stop = true; });
    std::signal(SIGUSR1, [](int) { g_statsWanted = true; });
    std::string error;
    // Every packet with its rendition and when it is due, in ms from the first.
    std::vector<uint8_t> header;
    std::vector<std::vector<uint8_t>> packets;
    std::vector<uint8_t> renditions;
    std::vector<uint32_t> sendTimes;
    bool loops = true;
    if (bench::isTaggedRecording(argv[1])) {
        auto recording = bench::loadTaggedRecording(argv[1], &error);
        if (!recording) {
            std::fprintf(stderr, "netsink_bench_server: %s\n", error.c_str());
            return 1;
        }
        header = std::move(recording->header);
        for (auto &p : recording->packets) {
            packets.push_back(std::move(p.bytes));
            renditions.push_back(p.rendition);
            sendTimes.push_back(p.handedOverMs);
        }
        loops = false;
    } else {
        auto stream = loadRecordedAsf(argv[1], &error);
        if (!stream || stream->packets.empty()) {
            std::fprintf(stderr, "netsink_bench_server: %s\n", error.c_str());
            return 1;
        }
        for (const auto &p : stream->packets) {
            const auto info = parseAsfPacket(p, stream->info.videoStreams);
            sendTimes.push_back(info ? info->sendTime_ms : (sendTimes.empty() ? 0 : sendTimes.back()));
        }
        header = std::move(stream->header);
        packets = std::move(stream->packets);
        renditions.assign(packets.size(), 0);
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
    if (!sink.start(&error) || !sink.setHeader(header.data(), header.size(), &error)) {
        std::fprintf(stderr, "netsink_bench_server: %s\n", error.c_str());
        return 1;
    }

    // Packet i of loop k is due at (k * loop + sendTime[i] - sendTime[0]) after the start.
    const auto t0 = Clock::now();
    uint64_t loop = 0;
    size_t i = 0;
    bool ready = false;
    while (!g_stop) {
        if (g_statsWanted.exchange(false)) printStats(sink.stats());
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
        sink.pushPacket(packets[i].data(), packets[i].size(), renditions[i]);
        if (++i == packets.size()) {
            if (!loops) {
                std::fprintf(stderr, "netsink_bench_server: the recording ended; nothing more is pushed\n");
                while (!g_stop) {
                    if (g_statsWanted.exchange(false)) printStats(sink.stats());
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                break;
            }
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
