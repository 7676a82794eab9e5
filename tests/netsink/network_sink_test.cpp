// The network sink end to end over loopback: real sockets, a real recorded stream, and
// real ffprobe as a client of both the plain and the framed protocol.
#include "media/asf/byte_order.h"
#include "media/netsink/mmsh_framing.h"
#include "sink_fixture.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace morlanex {
namespace {

using namespace sinktest;

TEST_F(NetworkSinkTest, PlainClientGetsHeaderThenPacketsFromTheLastKeyFrame) {
    start(baseConfig());
    const auto starts = startPackets();
    ASSERT_GE(starts.size(), 4u);
    push(0, starts[1] + 3);  // before the viewer: it must start at starts[1]
    Client c(port());
    ASSERT_TRUE(c.send(test::plainGet()));
    const std::string head = c.readHead();
    EXPECT_EQ(test::statusOf(head), 200) << head;
    EXPECT_TRUE(test::hasField(head, "Content-Type: video/x-ms-asf")) << head;
    EXPECT_EQ(head.find("Content-Length"), std::string::npos);
    EXPECT_EQ(head.find("features"), std::string::npos);
    push(starts[1] + 3, starts[3]);
    const std::vector<uint8_t> expected = plainBody(starts[1], starts[3]);
    EXPECT_EQ(c.readBody(expected.size()), expected);
    EXPECT_EQ(sink_->stats().viewers, 1u);
    EXPECT_EQ(sink_->stats().servedTotal, 1u);
}

TEST_F(NetworkSinkTest, TwoViewersReceiveTheSameBytes) {
    start(baseConfig());
    Client a(port()), b(port());
    ASSERT_NO_FATAL_FAILURE(watch(a, test::plainGet(), b, test::plainGet()));
    push(0, packets().size());
    // Waiting viewers start at the first video key frame.
    const std::vector<uint8_t> expected = plainBody(startPackets().front(), packets().size());
    EXPECT_EQ(a.readBody(expected.size()), expected);
    EXPECT_EQ(b.readBody(expected.size()), expected);
}

// Walks the framed body: $H, then $D pieces. Returns the LocationIds of the $D pieces.
std::vector<uint32_t> checkFramedBody(const std::vector<uint8_t> &body, size_t expectedPackets) {
    const std::vector<uint8_t> framedHeader = liveHeader()->framed;
    EXPECT_GE(body.size(), framedHeader.size());
    EXPECT_TRUE(std::equal(framedHeader.begin(), framedHeader.end(), body.begin())) << "$H first";
    std::vector<uint32_t> ids;
    size_t at = framedHeader.size();
    while (at + 12 <= body.size() && ids.size() < expectedPackets) {
        const uint8_t *d = &body[at];
        EXPECT_EQ(d[0], 0x24);
        EXPECT_EQ(d[1], 'D');
        EXPECT_EQ(le::u16(d + 2), le::u16(d + 10)) << "PacketLength == PacketSize";
        EXPECT_EQ(le::u16(d + 2), 8u + 4800u);
        EXPECT_EQ(d[9], uint8_t(ids.size())) << "AFFlags counts the $D";
        const uint32_t id = le::u32(d + 4);
        if (!ids.empty()) {
            EXPECT_EQ(id, ids.back() + 1);
        }
        ids.push_back(id);
        EXPECT_LE(at + 12 + 4800, body.size());
        if (id < packets().size() && at + 12 + 4800 <= body.size()) {
            EXPECT_TRUE(std::equal(packets()[id].begin(), packets()[id].end(), body.begin() + std::ptrdiff_t(at + 12)));
        }
        at += 12 + 4800;
    }
    EXPECT_EQ(ids.size(), expectedPackets);
    return ids;
}

TEST_F(NetworkSinkTest, WindowsMediaPlayGetsFramedHeaderThenDataFromAKeyFrame) {
    start(baseConfig());
    const auto starts = startPackets();
    push(0, starts[2] + 1);
    Client c(port());
    ASSERT_TRUE(c.send(test::ffmpegPlay()));
    const std::string head = c.readHead();
    EXPECT_EQ(test::statusOf(head), 200) << head;
    EXPECT_TRUE(test::hasField(head, "Content-Type: application/x-mms-framed")) << head;
    EXPECT_TRUE(test::hasField(head, "Server: Rex/9.0.0.2837")) << head;
    EXPECT_TRUE(test::hasField(head, "Pragma: features=\"broadcast\"")) << head;
    EXPECT_NE(head.find("\r\nPragma: client-id="), std::string::npos) << head;
    EXPECT_EQ(head.find("Content-Length"), std::string::npos);
    push(starts[2] + 1, packets().size());
    const size_t n = packets().size() - starts[2];
    c.readBody(liveHeader()->framed.size() + n * (12 + 4800));
    const auto ids = checkFramedBody(c.body(), n);
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.front(), starts[2]);
}

TEST_F(NetworkSinkTest, DescribeGetsTheSameHeaderAloneAndIsClosed) {
    start(baseConfig());
    Client d(port());
    ASSERT_TRUE(d.send(test::ffmpegDescribe()));
    const std::string head = d.readHead();
    EXPECT_EQ(test::statusOf(head), 200) << head;
    EXPECT_TRUE(test::hasField(head, "Content-Type: application/vnd.ms.wms-hdr.asfv1")) << head;
    const std::vector<uint8_t> framed = liveHeader()->framed;
    EXPECT_TRUE(test::hasField(head, "Content-Length: " + std::to_string(framed.size()))) << head;
    EXPECT_TRUE(test::hasField(head, "Pragma: features=\"broadcast\"")) << head;
    EXPECT_TRUE(d.waitClosed());
    EXPECT_EQ(d.body(), framed);
    EXPECT_EQ(le::u16(&framed[2]), framed.size() - 4);
    EXPECT_EQ(framed[9], 0x0C);
    EXPECT_EQ(sink_->stats().viewers, 0u) << "a Describe is not a viewer";

    // The session id from the Describe is kept by the Play; an unknown one is replaced.
    const size_t at = head.find("client-id=") + 10;
    const std::string id = head.substr(at, head.find("\r\n", at) - at);
    Client p(port());
    std::string play = test::ffmpegPlay();
    play.insert(play.size() - 2, "Pragma: client-id=" + id + "\r\n");
    ASSERT_TRUE(p.send(play));
    const std::string playHead = p.readHead();
    EXPECT_TRUE(test::hasField(playHead, "Pragma: client-id=" + id)) << playHead;
    EXPECT_EQ(playHead.find("xResetStrm"), std::string::npos);
    Client u(port());
    play = test::ffmpegPlay();
    play.insert(play.size() - 2, "Pragma: client-id=17\r\n");
    ASSERT_TRUE(u.send(play));
    const std::string unknown = u.readHead();
    EXPECT_TRUE(test::hasField(unknown, "Pragma: xResetStrm=1")) << unknown;
    EXPECT_FALSE(test::hasField(unknown, "Pragma: client-id=17")) << unknown;
}

TEST_F(NetworkSinkTest, ViewerOverTheLimitGets503AndTheSlotIsReused) {
    NetworkSinkConfig c = baseConfig();
    c.maxClients = 2;
    start(c);
    auto a = std::make_unique<Client>(port());
    Client b(port());
    ASSERT_TRUE(a->send(test::plainGet()));
    ASSERT_TRUE(b.send(test::ffmpegPlay()));
    ASSERT_EQ(test::statusOf(a->readHead()), 200);
    ASSERT_EQ(test::statusOf(b.readHead()), 200);
    Client over(port());
    ASSERT_TRUE(over.send(test::plainGet()));
    const std::string head = over.readHead();
    EXPECT_EQ(test::statusOf(head), 503) << head;
    EXPECT_TRUE(over.waitClosed());
    Client describe(port());
    ASSERT_TRUE(describe.send(test::ffmpegDescribe()));
    EXPECT_EQ(test::statusOf(describe.readHead()), 200) << "a Describe still works at the limit";
    EXPECT_EQ(sink_->stats().refusedTotal, 1u);

    a.reset();
    // A closed viewer looks half-closed until a write to it fails: the next packets tell.
    push(0, packets().size());
    ASSERT_TRUE(waitUntil([&] { return sink_->stats().viewers == 1; }));
    Client again(port());
    ASSERT_TRUE(again.send(test::plainGet()));
    EXPECT_EQ(test::statusOf(again.readHead()), 200);
}

TEST_F(NetworkSinkTest, NoStreamYetGives503) {
    start(baseConfig(), /*withHeader=*/false);
    Client c(port());
    ASSERT_TRUE(c.send(test::plainGet()));
    const std::string head = c.readHead();
    EXPECT_EQ(test::statusOf(head), 503) << head;
    EXPECT_TRUE(test::hasField(head, "Retry-After: 5")) << head;
    EXPECT_TRUE(c.waitClosed());
}

TEST_F(NetworkSinkTest, WrongPathBadRequestsAndOtherMethods) {
    start(baseConfig());
    struct Case {
        std::string request;
        int status;
    };
    const std::vector<Case> cases = {
        {test::plainGet("/other"), 404},
        {"garbage\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nX: " + std::string(9000, 'a'), 400},
        {"DELETE / HTTP/1.1\r\n\r\n", 405},
        {"POST / HTTP/1.1\r\nUser-Agent: NSPlayer/12.0\r\nPragma: log-line=x\r\nContent-Length: 5\r\n\r\nhello", 204},
        {"POST / HTTP/1.0\r\nUser-Agent: NSPlayer/12.0\r\nPragma: xKeepAliveInPause=1\r\n\r\n", 200},
        {"OPTIONS * HTTP/1.1\r\n\r\n", 200},
    };
    for (const Case &k : cases) {
        Client c(port());
        ASSERT_TRUE(c.send(k.request));
        const std::string head = c.readHead();
        EXPECT_EQ(test::statusOf(head), k.status) << k.request.substr(0, 40) << "\n" << head;
        EXPECT_TRUE(c.waitClosed()) << k.request.substr(0, 40);
    }
    Client h(port());
    ASSERT_TRUE(h.send("HEAD / HTTP/1.1\r\n\r\n"));
    const std::string head = h.readHead();
    EXPECT_EQ(test::statusOf(head), 200);
    EXPECT_TRUE(h.waitClosed());
    EXPECT_TRUE(h.body().empty()) << "HEAD has no body";
    const NetworkSinkStats s = sink_->stats();
    EXPECT_EQ(s.notFoundTotal, 1u);
    EXPECT_EQ(s.badRequestTotal, 3u);
    EXPECT_EQ(s.viewers, 0u);
}

TEST_F(NetworkSinkTest, RequestsDripFedOrWithALateBodyAreServed) {
    start(baseConfig());
    Client drip(port());
    for (char ch : test::ffmpegPlay()) ASSERT_TRUE(drip.sendRead(std::string(1, ch)));
    EXPECT_EQ(test::statusOf(drip.readHead()), 200);
    Client log(port());
    ASSERT_TRUE(log.sendRead(
        "POST / HTTP/1.1\r\nUser-Agent: NSPlayer/12.0\r\nPragma: log-line=1\r\nContent-Length: 6\r\n\r\nab"));
    ASSERT_TRUE(log.send("cdef"));
    const std::string head = log.readHead();
    EXPECT_EQ(test::statusOf(head), 204) << head;
    EXPECT_TRUE(log.waitClosed());
}

TEST_F(NetworkSinkTest, ANewHeaderEndsTheOldStreamAndServesTheNewOne) {
    start(baseConfig());
    const auto starts = startPackets();
    push(0, starts[1]);
    Client plain(port()), framed(port());
    ASSERT_NO_FATAL_FAILURE(watch(plain, test::plainGet(), framed, test::ffmpegPlay()));

    std::vector<uint8_t> changed = test::testStream().header;
    changed[changed.size() - 60] ^= 0x01;  // a byte inside the last header object
    ASSERT_TRUE(sink_->setHeader(changed.data(), changed.size()));
    push(starts[1], starts[2] + 1);
    EXPECT_TRUE(plain.waitClosed());
    EXPECT_TRUE(framed.waitClosed());
    const auto end = mmshEnd(1);
    ASSERT_GE(framed.body().size(), end.size());
    EXPECT_TRUE(std::equal(end.begin(), end.end(), framed.body().end() - 8)) << "$E with reason 1: reconnect";

    Client again(port());
    ASSERT_TRUE(again.send(test::plainGet()));
    EXPECT_EQ(test::statusOf(again.readHead()), 200);
    const auto fresh = StreamHeader::fromMuxer(changed, nullptr);
    ASSERT_TRUE(fresh);
    const size_t n = fresh->raw.size() + 4800;
    ASSERT_EQ(again.readBody(n).size(), n) << "joins at the new header's last key frame";
    EXPECT_TRUE(std::equal(fresh->raw.begin(), fresh->raw.end(), again.body().begin()));
    EXPECT_TRUE(std::equal(packets()[starts[2]].begin(), packets()[starts[2]].end(),
                           again.body().begin() + std::ptrdiff_t(fresh->raw.size())));
}

TEST_F(NetworkSinkTest, ALaggingViewerGetsNoPacketOfTheNewHeader) {
    NetworkSinkConfig c = baseConfig();
    c.socketSendBufferBytes = 16 * 1024;
    start(c);
    const auto starts = startPackets();
    Client lagging(port(), 4096);
    ASSERT_TRUE(lagging.send(test::ffmpegPlay()));
    ASSERT_EQ(test::statusOf(lagging.readHead()), 200);
    ASSERT_TRUE(waitUntil([&] { return sink_->stats().viewers == 1; }));
    push(0, starts[2]);  // far more than the two small socket buffers hold
    // Lagging: every packet is in and the viewer's socket holds what it has not read.
    ASSERT_TRUE(waitUntil([&] {
        return sink_->stats().packetsIn == starts[2] && test::serverSideOf(port(), lagging.localPort()).unsentBytes > 0;
    }));
    std::vector<uint8_t> changed = test::testStream().header;
    changed[changed.size() - 60] ^= 0x01;
    ASSERT_TRUE(sink_->setHeader(changed.data(), changed.size()));
    push(starts[2], packets().size());
    ASSERT_TRUE(lagging.waitClosed(10s));
    const size_t n = starts[2] - starts[0];
    const auto ids = checkFramedBody(lagging.body(), n);
    ASSERT_EQ(ids.size(), n) << "first " << (ids.empty() ? -1 : int(ids.front())) << " starts " << starts[0] << ","
                             << starts[1] << "," << starts[2] << " body " << lagging.body().size();
    EXPECT_EQ(ids.back(), starts[2] - 1) << "every old packet, none of the new header's";
    const auto end = mmshEnd(1);
    EXPECT_EQ(lagging.body().size(), liveHeader()->framed.size() + n * (12 + 4800) + end.size());
    EXPECT_TRUE(std::equal(end.begin(), end.end(), lagging.body().end() - 8));
}

TEST_F(NetworkSinkTest, IncompleteRequestIsClosedAfterTheTimeout) {
    NetworkSinkConfig c = baseConfig();
    c.requestTimeout = 300ms;
    start(c);
    Client slow(port()), silent(port());
    ASSERT_TRUE(slow.send("GET / HTTP/1.1\r\nHost: x\r\n"));
    const auto t0 = std::chrono::steady_clock::now();
    const std::string head = slow.readHead(10s);
    EXPECT_EQ(test::statusOf(head), 408) << head;
    EXPECT_EQ(test::statusOf(silent.readHead(10s)), 408);
    EXPECT_TRUE(slow.waitClosed(10s));
    EXPECT_TRUE(silent.waitClosed(10s));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);
    EXPECT_EQ(sink_->stats().timedOutTotal, 2u);
}

TEST_F(NetworkSinkTest, SlowReaderIsDroppedWhileAFastOneKeepsReceiving) {
    NetworkSinkConfig c = baseConfig();
    c.maxBacklogBytes = 20 * 4800;
    c.socketSendBufferBytes = 16 * 1024;
    c.fanOutInterval = 0ms;  // each packet at once, so the backlog limit is all that matters
    start(c);
    Client slow(port(), 4096), fast(port());
    ASSERT_NO_FATAL_FAILURE(watch(slow, test::plainGet(), fast, test::plainGet()));

    const size_t rounds = 3;  // the recorded stream three times: far more than the slow one holds
    const size_t first = startPackets().front();  // where both joined
    // The fast one reads each packet before the next comes; the slow one reads nothing.
    for (size_t n = 0; n < rounds * packets().size(); ++n) {
        const std::vector<uint8_t> &p = packets()[n % packets().size()];
        sink_->pushPacket(p.data(), p.size());
        const size_t due = liveHeader()->raw.size() + (n < first ? 0 : n + 1 - first) * 4800;
        ASSERT_EQ(fast.readBody(due).size(), due) << "the fast viewer did not get packet " << n;
    }
    EXPECT_TRUE(slow.waitClosed(5s));
    EXPECT_EQ(sink_->stats().droppedSlowTotal, 1u);
    EXPECT_EQ(sink_->stats().viewers, 1u);
    const auto lines = logLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string &l) { return l.find("too slow") != std::string::npos; }));
}

TEST_F(NetworkSinkTest, StopClosesEveryViewerAndARestartServesOnTheSamePort) {
    start(baseConfig());
    Client plain(port()), framed(port());
    ASSERT_NO_FATAL_FAILURE(watch(plain, test::plainGet(), framed, test::ffmpegPlay()));
    const size_t first = startPackets().front();
    push(0, first + 10);
    const size_t framedBytes = liveHeader()->framed.size() + 10 * (12 + 4800);
    ASSERT_EQ(framed.readBody(framedBytes).size(), framedBytes);
    const uint16_t used = port();
    sink_->stop();
    EXPECT_FALSE(sink_->running());
    EXPECT_TRUE(plain.waitClosed(2s));
    EXPECT_TRUE(framed.waitClosed(2s));
    const auto end = mmshEnd(0);
    ASSERT_EQ(framed.body().size(), framedBytes + end.size());
    EXPECT_TRUE(std::equal(end.begin(), end.end(), framed.body().end() - 8)) << "$E ends the framed stream";
    EXPECT_EQ(sink_->stats().viewers, 0u);

    NetworkSinkConfig c = baseConfig();
    c.port = used;
    sink_ = std::make_unique<NetworkSink>(c);
    std::string error;
    ASSERT_TRUE(sink_->start(&error)) << error;
    const auto &h = test::testStream().header;
    sink_->setHeader(h.data(), h.size());
    sink_->stop();
    ASSERT_TRUE(sink_->start(&error)) << "second start of the same sink: " << error;
    EXPECT_EQ(port(), used);
    Client again(port());
    ASSERT_TRUE(again.send(test::plainGet()));
    EXPECT_EQ(test::statusOf(again.readHead()), 200) << "the header survives a restart";
    push(0, first + 5);
    EXPECT_EQ(again.readBody(liveHeader()->raw.size() + 5 * 4800).size(), liveHeader()->raw.size() + 5 * 4800);
}

TEST_F(NetworkSinkTest, StartReportsAPortInUse) {
    UniqueFd busy = openListener("127.0.0.1", 0, nullptr);
    ASSERT_TRUE(busy);
    NetworkSinkConfig c = baseConfig();
    c.port = boundPort(busy.get());
    NetworkSink sink(c);
    std::string error;
    EXPECT_FALSE(sink.start(&error));
    EXPECT_NE(error.find("Address already in use"), std::string::npos) << error;
    EXPECT_NE(error.find(std::to_string(c.port)), std::string::npos) << error;
    EXPECT_FALSE(sink.running());
    busy.reset();
    EXPECT_TRUE(sink.start(&error)) << error;
}

TEST(OpenFileLimit, TheSinkLeavesItToMainWhichRaisesItForTheViewers) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit low = before;
    low.rlim_cur = std::min<rlim_t>(before.rlim_max, 512);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    NetworkSinkConfig c;
    c.bindAddress = "127.0.0.1";
    NetworkSink sink(c);
    std::string error;
    ASSERT_TRUE(sink.start(&error)) << error;
    rlimit during{};
    ::getrlimit(RLIMIT_NOFILE, &during);
    sink.stop();
    EXPECT_EQ(during.rlim_cur, low.rlim_cur) << "a library does not change the process's limit";

    const size_t needed = openFilesNeeded(c);
    EXPECT_GE(needed, c.maxClients + c.maxPendingRequests);
    const size_t now = raiseOpenFileLimit(needed);
    EXPECT_EQ(now, std::min<size_t>(needed, before.rlim_max == RLIM_INFINITY ? SIZE_MAX : size_t(before.rlim_max)));
    EXPECT_EQ(raiseOpenFileLimit(16), now) << "never lowered";
    ::setrlimit(RLIMIT_NOFILE, &before);
}

TEST_F(NetworkSinkTest, RejectsABadHeaderAndKeepsTheGoodOne) {
    start(baseConfig());
    std::string error;
    const std::vector<uint8_t> junk(700, 0x55);
    EXPECT_FALSE(sink_->setHeader(junk.data(), junk.size(), &error));
    EXPECT_FALSE(error.empty());
    Client c(port());
    ASSERT_TRUE(c.send(test::plainGet()));
    EXPECT_EQ(test::statusOf(c.readHead()), 200);
    EXPECT_EQ(c.readBody(liveHeader()->raw.size()), liveHeader()->raw);
}

// Runs `ffprobe URL` while the stream is fed at four times real time; returns its output.
std::string probeWhileFeeding(NetworkSink &sink, const std::string &url) {
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        for (size_t i = 0; i < packets().size() && !done; ++i) {
            sink.pushPacket(packets()[i].data(), packets()[i].size());
            // Real time: a live source for a player of its own pace, outside (ffprobe reads
            // while packets come, and stops when it has seen enough).
            std::this_thread::sleep_for(12ms);
        }
        testing::pollUntil([&] { return done.load(); }, 3s, 10ms);
        sink.stop();  // end of broadcast: ffprobe reports what it found
    });
    const std::string cmd = "timeout 30 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + url + " 2>&1";
    std::string out;
    if (FILE *p = ::popen(cmd.c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        ::pclose(p);
    }
    done = true;
    feeder.join();
    return out;
}

TEST_F(NetworkSinkTest, FfprobeReadsThePlainStream) {
    start(baseConfig());
    const std::string out = probeWhileFeeding(*sink_, "http://127.0.0.1:" + std::to_string(port()) + "/");
    EXPECT_NE(out.find("wmv2"), std::string::npos) << out;
    EXPECT_NE(out.find("wmav2"), std::string::npos) << out;
}

TEST_F(NetworkSinkTest, FfprobeReadsTheFramedStream) {
    start(baseConfig());
    const std::string out = probeWhileFeeding(*sink_, "mmsh://127.0.0.1:" + std::to_string(port()) + "/");
    EXPECT_NE(out.find("wmv2"), std::string::npos) << out;
    EXPECT_NE(out.find("wmav2"), std::string::npos) << out;
}

}  // namespace
}  // namespace morlanex
