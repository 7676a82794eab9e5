// The fixture of the network sink's loopback tests: a sink on 127.0.0.1 with its log kept,
// the recorded test stream, and waits for events with generous deadlines.
#pragma once

#include "media/asf/asf_packet.h"
#include "media/netsink/network_sink.h"
#include "media/netsink/stream_buffer.h"
#include "netsink_test_support.h"
#include "tests/support/poll_until.h"

#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace morlanex::sinktest {

using namespace std::chrono_literals;
using test::Client;
using test::startPackets;

inline const std::vector<std::vector<uint8_t>> &packets() { return test::testStream().packets; }

inline std::shared_ptr<const StreamHeader> liveHeader() {
    return StreamHeader::fromMuxer(test::testStream().header, nullptr);
}

template <typename Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds timeout = 10s) {
    return testing::pollUntil(pred, timeout);
}

class NetworkSinkTest : public ::testing::Test {
protected:
    NetworkSinkConfig baseConfig() {
        NetworkSinkConfig c;
        c.bindAddress = "127.0.0.1";
        c.port = 0;
        c.log = [this](std::string_view line) {
            std::lock_guard lock(logMutex_);
            log_.emplace_back(line);
        };
        return c;
    }
    void start(NetworkSinkConfig c, bool withHeader = true) {
        sink_ = std::make_unique<NetworkSink>(std::move(c));
        std::string error;
        ASSERT_TRUE(sink_->start(&error)) << error;
        if (withHeader) {
            const auto &h = test::testStream().header;
            ASSERT_TRUE(sink_->setHeader(h.data(), h.size(), &error)) << error;
        }
    }
    void push(size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) sink_->pushPacket(packets()[i].data(), packets()[i].size());
    }
    uint16_t port() const { return sink_->port(); }
    // Both clients ask for the stream, get 200, and are counted as viewers.
    void watch(Client &a, const std::string &requestA, Client &b, const std::string &requestB) {
        ASSERT_TRUE(a.send(requestA));
        ASSERT_TRUE(b.send(requestB));
        ASSERT_EQ(test::statusOf(a.readHead()), 200);
        ASSERT_EQ(test::statusOf(b.readHead()), 200);
        ASSERT_TRUE(waitUntil([&] { return sink_->stats().viewers == 2; }));
    }
    std::vector<std::string> logLines() {
        std::lock_guard lock(logMutex_);
        return log_;
    }

    std::mutex logMutex_;
    std::vector<std::string> log_;
    // Last, so its loop thread has stopped before the log it writes to is destroyed.
    std::unique_ptr<NetworkSink> sink_;
};

// The body a plain viewer must get: live header, then whole packets from `first` to `last`.
inline std::vector<uint8_t> plainBody(size_t first, size_t last) {
    std::vector<uint8_t> b = liveHeader()->raw;
    for (size_t i = first; i < last; ++i) b.insert(b.end(), packets()[i].begin(), packets()[i].end());
    return b;
}

}  // namespace morlanex::sinktest
