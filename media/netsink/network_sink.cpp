#include "media/netsink/network_sink.h"

#include "media/netsink/sink_loop.h"

#include <sys/resource.h>

namespace morlanex {

size_t raiseOpenFileLimit(size_t wanted) {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < wanted) {
        rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(wanted, rl.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &rl);
        ::getrlimit(RLIMIT_NOFILE, &rl);
    }
    return rl.rlim_cur == RLIM_INFINITY ? SIZE_MAX : size_t(rl.rlim_cur);
}

size_t openFilesNeeded(const NetworkSinkConfig &config) {
    constexpr size_t kOwnFiles = 64;  // listener, epoll, eventfd, spare, and room for the process
    return config.maxClients + 2 * config.maxPendingRequests + kOwnFiles;
}

NetworkSink::NetworkSink(NetworkSinkConfig config)
    : config_(std::move(config)), loop_(std::make_unique<SinkLoop>(config_)) {}

NetworkSink::~NetworkSink() { stop(); }

bool NetworkSink::start(std::string *error) {
    if (config_.maxClients == 0) {
        if (error) *error = "the client limit is 0";
        return false;
    }
    if (config_.webrtcPort < -1 || config_.webrtcPort > 65535) {
        if (error) *error = "the WebRTC port " + std::to_string(config_.webrtcPort) + " is not a UDP port";
        return false;
    }
    return loop_->start(error);
}

void NetworkSink::stop() { loop_->stop(); }

bool NetworkSink::running() const { return loop_->running(); }

uint16_t NetworkSink::port() const { return loop_->port(); }

bool NetworkSink::setHeader(const uint8_t *data, size_t size, std::string *error) {
    std::string why;
    auto header = StreamHeader::fromMuxer({data, size}, &why, config_.maxBitrateBps);
    if (!header) {
        if (error) *error = why;
        return false;
    }
    loop_->inbox().postHeader(std::move(header));
    return true;
}

void NetworkSink::pushPacket(const uint8_t *data, size_t size, uint8_t rendition) {
    if (!loop_->inbox().postPacket(std::vector<uint8_t>(data, data + size), 0, false, rendition))
        loop_->countRejectedPacket();
}

bool NetworkSink::setStreamHeader(size_t stream, std::span<const uint8_t> bytes) {
    if (stream == 0 || stream > config_.mediaStreams.size() || bytes.empty()) return false;
    loop_->inbox().postHeader(StreamHeader::opaque(bytes), stream);
    return true;
}

void NetworkSink::pushChunk(size_t stream, std::span<const uint8_t> bytes, bool startPoint) {
    if (stream == 0 || stream > config_.mediaStreams.size() || bytes.empty()) return;
    if (!loop_->inbox().postPacket(std::vector<uint8_t>(bytes.begin(), bytes.end()), stream, startPoint))
        loop_->countRejectedPacket();
}

void NetworkSink::pushRtcFrame(RtcMedia kind, std::span<const uint8_t> frame, uint64_t ptsNs, bool keyFrame,
                               uint8_t rendition) {
    if (config_.webrtcPort < 0 || frame.empty()) return;
    if (!loop_->inbox().postRtcFrame(std::vector<uint8_t>(frame.begin(), frame.end()), kind, ptsNs, keyFrame,
                                     rendition))
        loop_->countRejectedPacket();
}

uint16_t NetworkSink::webrtcPort() const { return loop_->webrtcPort(); }

NetworkSinkStats NetworkSink::stats() const { return loop_->stats(); }

}  // namespace morlanex
