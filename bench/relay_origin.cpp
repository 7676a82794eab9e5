// The broadcaster of the cache-tier benchmark (bench/relay): a network sink serving a recorded
// WebM stream as the browser rendition (/live.webm and its pieces under /live/), replayed at its
// clusters' own times, and registered at the directory as a broadcaster registers, so that the
// directory answers the caches' origin look-up for it.
//
// Usage: relay_origin FILE ADDRESS PORT DIRECTORY NODE_ID
// FILE is a streamable WebM file (webmmux streamable=true): its header (everything before the
// first cluster) becomes the stream's header and each cluster one chunk, a start point when its
// first video block is a key frame; at the end it starts over. Prints "ready CHANNEL_ID" once
// registered; on SIGTERM tells the directory the channel is closed and ends.
#include "directory_link/directory_message.h"
#include "media/netsink/network_sink.h"
#include "media/netsink/webm_reader.h"
#include "net/ipv4.h"
#include "net/socket.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace morlanex;
using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};

constexpr uint32_t kClusterId = 0x1F43B675, kTimecodeId = 0xE7, kSimpleBlockId = 0xA3;

struct Cluster {
    uint64_t timeMs = 0;
    bool startPoint = false;
    std::vector<uint8_t> bytes;
};

// An element's id (with its length bits, as written) or its size; nullopt when cut off.
std::optional<uint64_t> readVint(const std::vector<uint8_t> &b, size_t &at, bool keepMarker, bool *unknown = nullptr) {
    if (at >= b.size() || b[at] == 0) return std::nullopt;
    int length = 1;
    while (!(b[at] & (0x80 >> (length - 1)))) ++length;
    if (at + size_t(length) > b.size()) return std::nullopt;
    uint64_t value = keepMarker ? b[at] : b[at] & (0xFF >> length);
    bool allOnes = value == (0xFFu >> length);
    for (int i = 1; i < length; ++i) {
        value = (value << 8) | b[at + size_t(i)];
        allOnes = allOnes && b[at + size_t(i)] == 0xFF;
    }
    if (unknown) *unknown = allOnes;
    at += size_t(length);
    return value;
}

// The header and the clusters of a streamable WebM file (clusters of unknown size included).
bool splitWebm(const std::vector<uint8_t> &b, std::vector<uint8_t> *header, std::vector<Cluster> *clusters) {
    size_t at = 0, start = 0;
    std::optional<uint64_t> videoTrack;
    Cluster *current = nullptr;
    auto finish = [&](size_t end) {
        if (current)
            current->bytes.assign(b.begin() + long(start), b.begin() + long(end));
        else
            header->assign(b.begin(), b.begin() + long(end));
    };
    bool firstVideoBlock = false;
    while (at < b.size()) {
        const size_t element = at;
        bool unknown = false;
        const auto id = readVint(b, at, true);
        const auto size = id ? readVint(b, at, false, &unknown) : std::nullopt;
        if (!size) return false;
        if (*id == kClusterId) {
            finish(element);
            if (!videoTrack) {
                const auto info = readWebmHeader(*header);
                for (const WebmTrack &t : info ? info->tracks : std::vector<WebmTrack>{})
                    if (t.video()) videoTrack = t.number;
                if (!videoTrack) return false;
            }
            clusters->emplace_back();
            current = &clusters->back();
            start = element;
            firstVideoBlock = true;
            if (!unknown) at += *size;
            continue;
        }
        // The Segment and a cluster of unknown size: their children follow.
        if (unknown || *id == 0x18538067) continue;
        if (current && *id == kTimecodeId) {
            for (uint64_t i = 0; i < *size && at + i < b.size(); ++i)
                current->timeMs = (current->timeMs << 8) | b[at + i];
        } else if (current && *id == kSimpleBlockId && firstVideoBlock) {
            size_t block = at;
            const auto track = readVint(b, block, false);
            if (track && *track == *videoTrack && block + 2 < b.size()) {
                current->startPoint = (b[block + 2] & 0x80) != 0;
                firstVideoBlock = false;
            }
        }
        at += *size;
    }
    finish(b.size());
    return !clusters->empty();
}

sockaddr_in socketAddress(const std::string &address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = *parseDottedQuad(address);
    a.sin_port = htons(port);
    return a;
}

void sendTo(int fd, const std::string &address, uint16_t port, const DirectoryMessage &message) {
    const sockaddr_in to = socketAddress(address, port);
    ::sendto(fd, message.bytes().data(), message.bytes().size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

// LinkKERF_CAM from the stream's port, then LinkKERF_Port on the answer, as a node does; the
// channel id, or empty when the directory does not answer within a few tries.
std::string registerChannel(int udp, const std::string &directory, const std::string &address,
                            const std::string &nodeId) {
    for (int attempt = 0; attempt < 10 && !g_stop; ++attempt) {
        sendTo(udp, directory, 20,
               DirectoryMessage::linkKerfCam(nodeId, address, "relay bench", "recorded stream", "bench"));
        pollfd p{udp, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        uint8_t buffer[1024];
        const ssize_t size = ::recv(udp, buffer, sizeof buffer, 0);
        auto ok = size > 0 ? DirectoryMessage::fromBytes({buffer, size_t(size)}) : std::nullopt;
        if (!ok || !ok->matches(cmd::LinkKerfOk)) continue;
        const std::string channelId = ok->readText(Field::ChannelId);
        ok->answerLinkKerfPort(channelId, nodeId);
        sendTo(udp, directory, 22, *ok);
        return channelId;
    }
    return {};
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s FILE ADDRESS PORT DIRECTORY NODE_ID\n", argv[0]);
        return 2;
    }
    const std::string address = argv[2], directory = argv[4], nodeId = argv[5];
    const uint16_t port = uint16_t(std::atoi(argv[3]));
    std::signal(SIGTERM, [](int) { g_stop = true; });
    std::signal(SIGINT, [](int) { g_stop = true; });
    if (!parseDottedQuad(address) || !parseDottedQuad(directory) || port == 0) {
        std::fprintf(stderr, "relay_origin: ADDRESS and DIRECTORY must be IPv4 addresses, PORT a port\n");
        return 2;
    }

    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    std::vector<uint8_t> header;
    std::vector<Cluster> clusters;
    if (!splitWebm(bytes, &header, &clusters) || !clusters.front().startPoint) {
        std::fprintf(stderr, "relay_origin: %s is no streamable WebM file starting with a key frame\n", argv[1]);
        return 1;
    }

    NetworkSinkConfig config;
    config.bindAddress = address;
    config.port = port;
    config.webrtcPort = -1;
    config.log = [](std::string_view) {};
    config.mediaStreams.push_back({"/live.webm", "video/webm", "/live/", nullptr});
    raiseOpenFileLimit(openFilesNeeded(config));
    NetworkSink sink(config);
    std::string error;
    if (!sink.start(&error) || !sink.setStreamHeader(1, header)) {
        std::fprintf(stderr, "relay_origin: %s\n", error.c_str());
        return 1;
    }
    const UniqueFd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in local = socketAddress(address, port);
    if (::bind(udp.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "relay_origin: cannot bind UDP %s:%u\n", address.c_str(), port);
        return 1;
    }
    const std::string channelId = registerChannel(udp.get(), directory, address, nodeId);
    if (channelId.empty()) {
        std::fprintf(stderr, "relay_origin: the directory at %s did not answer\n", directory.c_str());
        return 1;
    }
    std::printf("ready %s\n", channelId.c_str());
    std::fflush(stdout);

    // Cluster i of round k is due at k * length + (its time - the first's).
    const uint64_t first = clusters.front().timeMs, length = clusters.back().timeMs - first + 1000;
    const auto t0 = Clock::now();
    for (uint64_t round = 0; !g_stop; ++round)
        for (size_t i = 0; i < clusters.size() && !g_stop; ++i) {
            const auto due = t0 + std::chrono::milliseconds(round * length + clusters[i].timeMs - first);
            while (!g_stop && Clock::now() < due)
                std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(100)));
            sink.pushChunk(1, clusters[i].bytes, clusters[i].startPoint);
        }
    sendTo(udp.get(), directory, 20, DirectoryMessage::closeKerf(channelId, nodeId));
    sink.stop();
    return 0;
}
