// The network sink against careless and hostile clients, over loopback: idle connections that
// would starve admission, stalled viewers, request bodies in any pieces, odd framing.
#include "sink_fixture.h"
#include "slowloris_load.h"

#include <atomic>

namespace morlanex {
namespace {

using namespace sinktest;

constexpr const char *kPartialRequest = "GET / HTTP/1.1\r\nHost: x\r\n";

TEST_F(NetworkSinkTest, IdleConnectionsCannotLockOutViewersOldOrNew) {
    NetworkSinkConfig c = baseConfig();
    c.maxPendingRequests = 12;
    c.maxPendingPerAddress = 4;
    c.requestTimeout = 60s;  // only admission frees slots here, never the clock
    c.requestTimeoutUnderPressure = 60s;
    start(c);
    Client viewer(port());
    ASSERT_TRUE(viewer.send(test::plainGet()));
    ASSERT_EQ(test::statusOf(viewer.readHead()), 200);

    // Six hosts with one idle connection each put the pool under pressure.
    std::vector<std::unique_ptr<Client>> idle;
    auto openIdle = [&](const std::string &from) {
        idle.push_back(std::make_unique<Client>(port(), 0, from.c_str()));
        ASSERT_TRUE(idle.back()->send(kPartialRequest));
    };
    for (int i = 0; i < 6; ++i) {
        ASSERT_NO_FATAL_FAILURE(openIdle("127.0.0." + std::to_string(10 + i)));
        ASSERT_TRUE(waitUntil([&] { return sink_->stats().pendingRequests == size_t(i + 1); }));
    }
    // Then one host opens six: four are held, the others are told 503 at once.
    for (int i = 0; i < 6; ++i) ASSERT_NO_FATAL_FAILURE(openIdle("127.0.0.2"));
    ASSERT_TRUE(waitUntil([&] { return sink_->stats().refusedTotal == 2; }));
    EXPECT_EQ(sink_->stats().pendingRequests, 10u);
    int refused = 0;
    for (size_t i = 10; i < 12; ++i) refused += test::statusOf(idle[i]->readHead()) == 503;
    EXPECT_EQ(refused, 2) << "the connections over the host's share get 503, not a reset";
    idle.resize(10);
    // Two more hosts fill the pool.
    for (int i = 0; i < 2; ++i) {
        ASSERT_NO_FATAL_FAILURE(openIdle("127.0.0." + std::to_string(20 + i)));
        ASSERT_TRUE(waitUntil([&] { return sink_->stats().pendingRequests == size_t(11 + i); }));
    }
    // A newcomer whose request comes in two pieces enters the full pool; the oldest idle one goes.
    Client newcomer(port(), 0, "127.0.0.30");
    ASSERT_TRUE(newcomer.send("GET / HTTP/1.1\r\n"));
    const std::string evicted = idle.front()->readHead(10s);
    EXPECT_EQ(test::statusOf(evicted), 503) << evicted;
    EXPECT_TRUE(idle.front()->waitClosed(10s));
    ASSERT_TRUE(newcomer.send("Host: x\r\n\r\n"));
    EXPECT_EQ(test::statusOf(newcomer.readHead(10s)), 200);
    // And one that sends its request at once is served whatever the pool holds.
    Client quick(port(), 0, "127.0.0.31");
    ASSERT_TRUE(quick.send(test::plainGet()));
    EXPECT_EQ(test::statusOf(quick.readHead(10s)), 200);

    // The old viewer was never disturbed.
    push(0, packets().size());
    const std::vector<uint8_t> expected = plainBody(startPackets().front(), packets().size());
    EXPECT_EQ(viewer.readBody(expected.size(), 10s), expected);
    EXPECT_EQ(sink_->stats().viewers, 3u);
    for (size_t i = 1; i < idle.size(); ++i) EXPECT_TRUE(idle[i]->connected());
    EXPECT_EQ(sink_->stats().pendingRequests, idle.size() - 1) << "the other idle connections are still held";
}

TEST_F(NetworkSinkTest, SlowlorisConnectionsFromFortyHostsLockNoNewcomerOut) {
    // Both ends of 2,500 connections live in this process.
    ASSERT_TRUE(test::raiseOpenFileLimit(8192));
    start(baseConfig());
    test::SlowlorisLoad attack({.port = port(), .connections = 2500, .hosts = 40, .firstHost = 100});
    // Steady: every attacker has been cut off and come back once, on average.
    ASSERT_TRUE(waitUntil([&] { return attack.connected() >= 400 && attack.closedByServer() >= 2500; }, 30s))
        << "the attack holds " << attack.connected();
    const size_t served = test::countServed("127.0.0.1", port(), test::plainGet(), 100, 150, 10s);
    RecordProperty("served", int(served));
    EXPECT_GE(served, 95u) << "with " << attack.connected() << " slowloris connections open";
}

TEST_F(NetworkSinkTest, UnderPressureIdleConnectionsAreRefusedSoonerForLoad) {
    NetworkSinkConfig c = baseConfig();
    c.maxPendingRequests = 4;
    c.requestTimeout = 120s;  // never reached here
    c.requestTimeoutUnderPressure = 1000ms;
    start(c);
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<Client>(port(), 0, ("127.0.0." + std::to_string(3 + i)).c_str()));
        ASSERT_TRUE(idle.back()->send(kPartialRequest));
        // Held, or (on a slow machine, for the third) the first already gone under pressure.
        ASSERT_TRUE(waitUntil([&] {
            const NetworkSinkStats s = sink_->stats();
            return s.pendingRequests + s.timedOutTotal == size_t(i + 1);
        }));
    }
    // Three of four: under pressure, the oldest go after the short timeout, told 503, until
    // the pool is below half full; the last one then has the long timeout again.
    for (int i = 0; i < 2; ++i) {
        const std::string head = idle[size_t(i)]->readHead(30s);
        EXPECT_EQ(test::statusOf(head), 503) << head;
        EXPECT_TRUE(idle[size_t(i)]->waitClosed(10s));
    }
    EXPECT_EQ(sink_->stats().timedOutTotal, 2u);
    EXPECT_EQ(sink_->stats().pendingRequests, 1u) << "the third is still held";
    Client viewer(port());
    ASSERT_TRUE(viewer.send(test::plainGet()));
    EXPECT_EQ(test::statusOf(viewer.readHead()), 200);
}

// A Windows Media log POST with a body of `bytes`, sent in `pieces` writes.
void postLog(Client &c, size_t bytes, size_t pieces) {
    const std::string head =
        "POST / HTTP/1.1\r\nUser-Agent: NSPlayer/12.0\r\nContent-Type: application/x-wms-LogStats\r\n"
        "Content-Length: " +
        std::to_string(bytes) + "\r\n\r\n";
    std::string all = head + std::string(bytes, 'L');
    if (pieces == 1) {
        ASSERT_TRUE(c.send(all));
        return;
    }
    const size_t step = all.size() / pieces + 1;
    for (size_t at = 0; at < all.size(); at += step) ASSERT_TRUE(c.sendRead(all.substr(at, step)));
}

TEST_F(NetworkSinkTest, RequestBodiesOfAnyAllowedSizeInAnyNumberOfWritesAreAnswered) {
    start(baseConfig());
    struct Case {
        size_t bytes, pieces;
    };
    for (const Case k : {Case{20000, 1}, Case{20000, 37}, Case{65536, 1}, Case{65536, 9}, Case{1, 1}}) {
        Client c(port());
        ASSERT_NO_FATAL_FAILURE(postLog(c, k.bytes, k.pieces));
        const std::string head = c.readHead(10s);
        EXPECT_EQ(test::statusOf(head), 204) << k.bytes << " bytes in " << k.pieces << " writes\n" << head;
        EXPECT_TRUE(c.waitClosed(10s));
    }
}

TEST_F(NetworkSinkTest, OversizedBodiesContinueAndConflictingLengthsAreAnswered) {
    start(baseConfig());
    Client big(port());
    ASSERT_NO_FATAL_FAILURE(postLog(big, 70000, 1));
    const std::string head = big.readHead(10s);
    EXPECT_EQ(test::statusOf(head), 413) << head;
    EXPECT_TRUE(big.waitClosed(10s));
    EXPECT_EQ(sink_->stats().tooLargeTotal, 1u);

    // The client waits for 100 before its body, then gets the real answer.
    Client patient(port());
    ASSERT_TRUE(patient.send("POST / HTTP/1.1\r\nUser-Agent: NSPlayer/12.0\r\nPragma: log-line=1\r\n"
                             "Expect: 100-continue\r\nContent-Length: 3000\r\n\r\n"));
    const std::string interim = patient.readHead(10s);
    EXPECT_EQ(test::statusOf(interim), 100) << interim;
    ASSERT_TRUE(patient.send(std::string(3000, 'x')));
    EXPECT_TRUE(patient.waitClosed(10s));
    const std::string after(patient.body().begin(), patient.body().end());
    EXPECT_EQ(after.rfind("HTTP/1.0 204 ", 0), 0u) << after;

    Client conflicting(port());
    ASSERT_TRUE(conflicting.send("POST / HTTP/1.1\r\nUser-Agent: NSPlayer/12.0\r\nContent-Length: 4\r\n"
                                 "Content-Length: 40\r\n\r\nabcd"));
    EXPECT_EQ(test::statusOf(conflicting.readHead(10s)), 400);
    EXPECT_TRUE(conflicting.waitClosed(10s));
}

TEST_F(NetworkSinkTest, AViewerThatHalfClosesKeepsReceiving) {
    start(baseConfig());
    Client plain(port()), framed(port());
    ASSERT_TRUE(plain.send(test::plainGet()));
    ASSERT_TRUE(framed.send(test::ffmpegPlay()));
    plain.shutdownWrite();
    framed.shutdownWrite();
    ASSERT_EQ(test::statusOf(plain.readHead()), 200);
    ASSERT_EQ(test::statusOf(framed.readHead()), 200);
    push(0, packets().size());
    const std::vector<uint8_t> expected = plainBody(startPackets().front(), packets().size());
    ASSERT_GT(expected.size(), 100000u);
    EXPECT_EQ(plain.readBody(expected.size(), 10s), expected);
    const size_t framedBytes = liveHeader()->framed.size() + (packets().size() - startPackets().front()) * (12 + 4800);
    EXPECT_EQ(framed.readBody(framedBytes, 10s).size(), framedBytes);
    EXPECT_EQ(sink_->stats().viewers, 2u);
}

TEST_F(NetworkSinkTest, AStalledViewerHoldsBoundedMemoryAndIsResetWhenDropped) {
    NetworkSinkConfig c = baseConfig();
    c.maxViewerLag = 1000ms;
    start(c);
    Client stalled(port(), 4096), reader(port());
    ASSERT_NO_FATAL_FAILURE(watch(stalled, test::plainGet(), reader, test::plainGet()));
    const uint16_t stalledPort = stalled.localPort();
    ASSERT_EQ(test::serverSideOf(port(), stalledPort).sockets, 1);

    // The stream at about three times its rate, for as long as the test needs it.
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        for (size_t i = 0; !done; i = (i + 1) % packets().size()) {
            sink_->pushPacket(packets()[i].data(), packets()[i].size());
            // Real time: the lag limit is measured on the sink's own clock.
            std::this_thread::sleep_for(15ms);
        }
    });
    std::thread drain([&] {
        while (!done) reader.readBody(reader.body().size() + 1, 100ms);
    });
    // Documented bound for this configuration: the socket buffers' worth of stream, the lag
    // limit and a fan-out interval, about 2 s; waited for with a wide margin.
    size_t mostUnsent = 0;  // what the stalled viewer's socket held while it was kept
    const bool dropped = waitUntil(
        [&] {
            mostUnsent = std::max(mostUnsent, test::serverSideOf(port(), stalledPort).unsentBytes);
            return sink_->stats().droppedSlowTotal == 1;
        },
        30s);
    const bool freed = waitUntil([&] { return test::serverSideOf(port(), stalledPort).sockets == 0; }, 10s);
    const NetworkSinkStats s = sink_->stats();
    done = true;
    feeder.join();
    drain.join();
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(freed) << "reset, not left holding its unsent data";
    // The send buffer bounds it: twice SO_SNDBUF (96 KiB) in the kernel's bookkeeping, plus at
    // most one segment a write may overshoot by. The system's default would let it reach 4 MiB.
    EXPECT_GT(mostUnsent, 0u);
    EXPECT_LE(mostUnsent, 2 * 96 * 1024 + 64 * 1024);
    EXPECT_EQ(s.viewers, 1u) << "the reading viewer stays";
    EXPECT_TRUE(stalled.waitClosed(10s));
}

}  // namespace
}  // namespace morlanex
