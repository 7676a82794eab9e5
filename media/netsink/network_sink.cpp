#include "media/netsink/network_sink.h"

#include "media/netsink/sink_loop.h"

namespace morlanex {

NetworkSink::NetworkSink(NetworkSinkConfig config)
    : config_(std::move(config)), loop_(std::make_unique<SinkLoop>(config_)) {}

NetworkSink::~NetworkSink() { stop(); }

bool NetworkSink::start(std::string *error) {
    if (config_.maxClients == 0) {
        if (error) *error = "the client limit is 0";
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

void NetworkSink::pushPacket(const uint8_t *data, size_t size) {
    if (!loop_->inbox().postPacket(std::vector<uint8_t>(data, data + size))) loop_->countRejectedPacket();
}

NetworkSinkStats NetworkSink::stats() const { return loop_->stats(); }

}  // namespace morlanex
