// A further stream beside the ASF one (a browser rendition): its header and chunks of any size,
// start points, the viewer limit shared with the ASF viewers, slow viewers, its watched signal,
// and the fixed pages; the window's byte limits with chunks of any size.
#include "sink_fixture.h"
#include "tests/support/metrics_parse.h"

#include <atomic>
#include <numeric>

namespace morlanex {
namespace {

using namespace sinktest;

const std::vector<uint8_t> kMediaHeader = {0x1A, 0x45, 0xDF, 0xA3, 'h', 'e', 'a', 'd'};

// Chunk `i` of a made-up stream: `size` bytes of the value i, so a misplaced byte shows.
std::vector<uint8_t> chunk(size_t i, size_t size) { return std::vector<uint8_t>(size, uint8_t(i)); }

class MediaStreamTest : public NetworkSinkTest {
protected:
    NetworkSinkConfig mediaConfig() {
        NetworkSinkConfig c = baseConfig();
        c.fanOutInterval = 0ms;
        c.mediaStreams.push_back({"/live.webm", "video/webm", "/live/",
                                  [this](bool watched) { (watched ? watchedOn_ : watchedOff_).fetch_add(1); }});
        c.pages.push_back({"/watch", "text/html; charset=utf-8", "<!doctype html><video src=\"/live.webm\"></video>"});
        return c;
    }
    // Pushes chunks [from, to); every fourth one is a start point; sizes vary.
    void pushChunks(size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) sink_->pushChunk(1, chunk(i, sizeOf(i)), i % 4 == 0);
    }
    static size_t sizeOf(size_t i) { return 100 + (i * 37) % 900; }
    static std::vector<uint8_t> mediaBody(size_t from, size_t to) {
        std::vector<uint8_t> b = kMediaHeader;
        for (size_t i = from; i < to; ++i) {
            const std::vector<uint8_t> c = chunk(i, sizeOf(i));
            b.insert(b.end(), c.begin(), c.end());
        }
        return b;
    }

    std::atomic<int> watchedOn_{0}, watchedOff_{0};
};

TEST_F(MediaStreamTest, AViewerGetsTheHeaderThenChunksFromTheLastStartPoint) {
    start(mediaConfig());
    Client early(port());
    ASSERT_TRUE(early.send(test::plainGet("/live.webm")));
    EXPECT_EQ(test::statusOf(early.readHead()), 503) << "no header yet";

    ASSERT_TRUE(sink_->setStreamHeader(1, kMediaHeader));
    EXPECT_FALSE(sink_->setStreamHeader(2, kMediaHeader)) << "no such stream";
    EXPECT_FALSE(sink_->setStreamHeader(0, kMediaHeader)) << "stream 0 is the ASF stream";
    pushChunks(0, 10);  // start points at 0, 4, 8
    ASSERT_TRUE(waitUntil([&] { return sink_->stats().chunksIn == 10; }));

    Client viewer(port());
    ASSERT_TRUE(viewer.send(test::plainGet("/live.webm")));
    const std::string head = viewer.readHead();
    EXPECT_EQ(test::statusOf(head), 200) << head;
    EXPECT_TRUE(test::hasField(head, "Content-Type: video/webm")) << head;
    EXPECT_EQ(head.find("Content-Length"), std::string::npos);
    pushChunks(10, 30);
    const std::vector<uint8_t> expected = mediaBody(8, 30);
    EXPECT_EQ(viewer.readBody(expected.size()), expected);
    EXPECT_EQ(sink_->stats().viewers, 1u);
    EXPECT_EQ(sink_->stats().mediaViewers, 1u);
    EXPECT_EQ(watchedOn_.load(), 1);

    viewer.close();
    // The sink notices a closed viewer when it writes to it next.
    size_t next = 30;
    EXPECT_TRUE(waitUntil([&] {
        pushChunks(next, next + 1);
        ++next;
        return watchedOff_.load() == 1;
    })) << "the last viewer left";
    EXPECT_EQ(sink_->stats().mediaViewers, 0u);
}

TEST_F(MediaStreamTest, AWindowsMediaPlayerAtTheFurtherPathGetsThePlainStream) {
    start(mediaConfig());
    ASSERT_TRUE(sink_->setStreamHeader(1, kMediaHeader));
    Client wm(port());
    ASSERT_TRUE(wm.send("GET /live.webm HTTP/1.0\r\nUser-Agent: NSPlayer/9.0.0.2980\r\nPragma: xPlayStrm=1\r\n\r\n"));
    const std::string head = wm.readHead();
    EXPECT_EQ(test::statusOf(head), 200) << head;
    EXPECT_TRUE(test::hasField(head, "Content-Type: video/webm")) << head;
    pushChunks(0, 6);
    const std::vector<uint8_t> expected = mediaBody(0, 6);
    EXPECT_EQ(wm.readBody(expected.size()), expected) << "no framing on this path";
}

TEST_F(MediaStreamTest, BothStreamsPlayAtOnceAndShareTheViewerLimit) {
    NetworkSinkConfig c = mediaConfig();
    c.maxClients = 2;
    start(c);
    ASSERT_TRUE(sink_->setStreamHeader(1, kMediaHeader));
    Client asf(port()), media(port());
    ASSERT_NO_FATAL_FAILURE(watch(asf, test::plainGet(), media, test::plainGet("/live.webm")));
    for (const std::string path : {"/", "/live.webm"}) {
        Client third(port());
        ASSERT_TRUE(third.send(test::plainGet(path)));
        EXPECT_EQ(test::statusOf(third.readHead()), 503) << path;
    }
    // Each viewer gets its own stream only.
    push(0, packets().size());
    pushChunks(0, 9);
    const std::vector<uint8_t> asfExpected = plainBody(startPackets().front(), packets().size());
    const std::vector<uint8_t> mediaExpected = mediaBody(0, 9);
    EXPECT_EQ(asf.readBody(asfExpected.size()), asfExpected);
    EXPECT_EQ(media.readBody(mediaExpected.size()), mediaExpected);
    EXPECT_FALSE(media.waitClosed(200ms)) << "no ASF bytes follow";
    EXPECT_EQ(media.body().size(), mediaExpected.size());
}

TEST_F(MediaStreamTest, ASlowViewerIsDroppedWhileAFastOneGetsEveryChunk) {
    NetworkSinkConfig c = mediaConfig();
    c.maxBacklogBytes = 64 * 1024;
    c.socketSendBufferBytes = 16 * 1024;
    start(c);
    ASSERT_TRUE(sink_->setStreamHeader(1, kMediaHeader));
    Client slow(port(), 4096), fast(port());
    ASSERT_NO_FATAL_FAILURE(watch(slow, test::plainGet("/live.webm"), fast, test::plainGet("/live.webm")));
    const size_t count = 2000;  // about a megabyte: far more than the slow one holds
    const std::vector<uint8_t> expected = mediaBody(0, count);
    // The fast viewer reads each batch before the next comes, however busy the machine is;
    // the slow one reads nothing.
    size_t sent = kMediaHeader.size();
    for (size_t i = 0; i < count; i += 8) {
        const size_t end = std::min(i + 8, count);
        pushChunks(i, end);
        for (size_t k = i; k < end; ++k) sent += sizeOf(k);
        ASSERT_GE(fast.readBody(sent, 10s).size(), sent) << "the fast viewer stalled at chunk " << i;
    }
    EXPECT_EQ(fast.body(), expected) << "the fast viewer got every chunk in order";
    EXPECT_TRUE(slow.waitClosed(5s));
    EXPECT_EQ(sink_->stats().droppedSlowTotal, 1u);
    EXPECT_EQ(sink_->stats().mediaViewers, 1u);
}

TEST_F(MediaStreamTest, APageComesInTheLanguageTheBrowserAsksFor) {
    NetworkSinkConfig c = mediaConfig();
    c.pages[0].translations = {{UiLanguage::English, "<p>Live now</p>"},
                               {UiLanguage::SimplifiedChinese, "<p>正在直播</p>"}};
    start(c);
    const std::string &traditional = c.pages[0].body;
    const std::pair<std::string, std::string> cases[] = {{"en-US,en;q=0.9", "<p>Live now</p>"},
                                                         {"zh-CN,zh;q=0.9", "<p>正在直播</p>"},
                                                         {"zh-TW,zh;q=0.9,en;q=0.8", traditional},
                                                         {"fr", traditional},
                                                         {"", traditional}};
    for (const auto &[accept, expected] : cases) {
        Client page(port());
        ASSERT_TRUE(page.send("GET /watch HTTP/1.1\r\nHost: x\r\n" +
                              (accept.empty() ? std::string() : "Accept-Language: " + accept + "\r\n") + "\r\n"));
        const std::string head = page.readHead();
        EXPECT_TRUE(test::hasField(head, "Vary: Accept-Language")) << head;  // a cache keeps one per language
        EXPECT_EQ(page.readBody(expected.size() + 1, 2s), std::vector<uint8_t>(expected.begin(), expected.end()))
            << accept;
    }
}

TEST_F(MediaStreamTest, PagesAreServedAndOtherPathsAndMethodsRefused) {
    const NetworkSinkConfig c = mediaConfig();
    start(c);
    const std::string &body = c.pages[0].body;
    {
        Client page(port());
        ASSERT_TRUE(page.send(test::plainGet("/watch?from=directory")));
        const std::string head = page.readHead();
        EXPECT_EQ(test::statusOf(head), 200) << head;
        EXPECT_TRUE(test::hasField(head, "Content-Type: text/html; charset=utf-8")) << head;
        EXPECT_TRUE(test::hasField(head, "Content-Length: " + std::to_string(body.size()))) << head;
        EXPECT_EQ(page.readBody(body.size() + 1, 2s), std::vector<uint8_t>(body.begin(), body.end()));
        EXPECT_TRUE(page.waitClosed());
    }
    {
        Client head(port());
        ASSERT_TRUE(head.send("HEAD /watch HTTP/1.1\r\nHost: x\r\n\r\n"));
        EXPECT_EQ(test::statusOf(head.readHead()), 200);
        EXPECT_TRUE(head.waitClosed());
        EXPECT_TRUE(head.body().empty());
    }
    for (const std::string request : {"POST /watch HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n",
                                      "PUT /live.webm HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"}) {
        Client post(port());
        ASSERT_TRUE(post.send(request));
        EXPECT_EQ(test::statusOf(post.readHead()), 405) << request;
    }
    for (const std::string path : {"/watch/", "/../watch", "/live.webm/x", "/etc/passwd", "/WATCH"}) {
        Client other(port());
        ASSERT_TRUE(other.send(test::plainGet(path)));
        EXPECT_EQ(test::statusOf(other.readHead()), 404) << path;
    }
    EXPECT_EQ(sink_->stats().viewers, 0u);
    EXPECT_EQ(watchedOn_.load(), 0);
}

TEST_F(MediaStreamTest, SegmentsForCachesAreTheLiveBytesCutAtStartPoints) {
    start(mediaConfig());
    const auto get = [&](const std::string &path, std::string *head) {
        Client c(port());
        EXPECT_TRUE(c.send(test::plainGet(path)));
        *head = c.readHead();
        c.waitClosed();
        return std::string(c.body().begin(), c.body().end());
    };
    std::string head;
    get("/live/latest", &head);
    EXPECT_EQ(test::statusOf(head), 503) << "nothing yet";
    ASSERT_TRUE(sink_->setStreamHeader(1, kMediaHeader));
    pushChunks(0, 10);  // start points at 0, 4, 8: segments 0 and 1 are complete
    ASSERT_TRUE(waitUntil([&] { return sink_->stats().chunksIn == 10; }));

    const std::string latest = get("/live/latest", &head);
    EXPECT_EQ(test::statusOf(head), 200) << head;
    EXPECT_TRUE(test::hasField(head, "Cache-Control: max-age=1")) << head;
    const size_t quote = latest.find("\"session\":\"");
    ASSERT_NE(quote, std::string::npos) << latest;
    const std::string session = latest.substr(quote + 11, 8);
    EXPECT_EQ(latest, "{\"session\":\"" + session + "\",\"segment\":1}");

    std::string all = get("/live/" + session + "/header", &head);
    EXPECT_TRUE(test::hasField(head, "Cache-Control: max-age=60")) << head;
    for (int n = 0; n < 2; ++n) {
        all += get("/live/" + session + "/" + std::to_string(n), &head);
        EXPECT_EQ(test::statusOf(head), 200) << n;
        EXPECT_TRUE(test::hasField(head, "Content-Type: video/webm")) << head;
    }
    const std::vector<uint8_t> expected = mediaBody(0, 8);
    EXPECT_EQ(all, std::string(expected.begin(), expected.end())) << "header and segments make the live bytes";
    {
        // A Windows Media player's request for a piece gets the same plain bytes, and HEAD none.
        Client wm(port());
        ASSERT_TRUE(wm.send("GET /live/" + session + "/1 HTTP/1.0\r\nUser-Agent: NSPlayer/9.0.0.2980\r\n\r\n"));
        EXPECT_EQ(test::statusOf(wm.readHead()), 200);
        wm.waitClosed();
        const std::vector<uint8_t> one = mediaBody(4, 8);
        EXPECT_EQ(wm.body(), std::vector<uint8_t>(one.begin() + std::ptrdiff_t(kMediaHeader.size()), one.end()));
        Client head(port());
        ASSERT_TRUE(head.send("HEAD /live/" + session + "/1 HTTP/1.0\r\n\r\n"));
        const std::string h = head.readHead();
        EXPECT_TRUE(test::hasField(h, "Content-Length: " + std::to_string(one.size() - kMediaHeader.size()))) << h;
        head.waitClosed();
        EXPECT_TRUE(head.body().empty());
    }
    const std::string other = session == "00000000" ? "00000001" : "00000000";
    for (const std::string &path :
         std::vector<std::string>{"/live/" + session + "/2", "/live/" + session + "/x", "/live/" + session + "/1x",
                                  "/live/" + other + "/0", "/live/" + session + "/-1", "/live/"}) {
        get(path, &head);
        EXPECT_EQ(test::statusOf(head), 404) << path;
    }
    EXPECT_EQ(sink_->stats().viewers, 0u) << "pieces are answers, not viewers";
    // The counters, to this host: every piece asked for, the unknown ones among them.
    const std::map<std::string, double> metrics = test::parseMetrics(get("/metrics", &head));
    EXPECT_TRUE(test::hasField(head, "Content-Type: text/plain; version=0.0.4; charset=utf-8")) << head;
    EXPECT_EQ(metrics.at("morlanex_sink_segment_requests_total"), 13);
    EXPECT_EQ(metrics.at("morlanex_sink_requests_total{outcome=\"not_found\"}"), 6);
    EXPECT_EQ(metrics.at("morlanex_sink_viewers{stream=\"/live.webm\"}"), 0);
    EXPECT_EQ(metrics.at("morlanex_sink_chunks_total"), 10);
    EXPECT_EQ(watchedOn_.load(), 1) << "a cache asking for pieces keeps the producer working";
    EXPECT_EQ(watchedOff_.load(), 0);
    sink_->stop();
    EXPECT_EQ(watchedOff_.load(), 1);
}

TEST(StreamBufferChunks, LimitsCountBytesAndJoinsUseTheMarkedStartPoints) {
    StreamBuffer b(10'000, 30'000);
    EXPECT_EQ(b.pushChunk(std::vector<uint8_t>(10), true), StreamBuffer::PushResult::NoHeader);
    b.setHeader(StreamHeader::opaque(kMediaHeader));
    EXPECT_EQ(b.backlogPackets(), 0u) << "chunks have no fixed size";
    // 1000-byte chunks, a start point every 20.
    for (size_t i = 0; i < 47; ++i)
        ASSERT_EQ(b.pushChunk(chunk(i, 1000), i % 20 == 0), StreamBuffer::PushResult::Accepted);
    EXPECT_EQ(b.startFrom(0), 40u) << "the window keeps the backlog only: chunks 37 to 46";
    EXPECT_EQ(b.packet(36), nullptr);
    ASSERT_NE(b.packet(37), nullptr);
    EXPECT_EQ(**b.packet(37), chunk(37, 1000));
    EXPECT_EQ(b.joinSeq(), StreamBuffer::kNoPacket) << "7000 bytes behind: over half the backlog";
    EXPECT_FALSE(b.tooFarBehind(37)) << "exactly the backlog of 10 000 bytes";
    EXPECT_TRUE(b.tooFarBehind(36));
    b.pushChunk(chunk(47, 3000), true);
    EXPECT_EQ(b.joinSeq(), 47u);
    EXPECT_EQ(b.packet(b.nextSeq()), nullptr);
    // One big chunk: the byte limit, not the count, makes the start point too old and its viewers slow.
    b.pushChunk(chunk(48, 8000), false);
    EXPECT_EQ(b.joinSeq(), StreamBuffer::kNoPacket);
    EXPECT_TRUE(b.tooFarBehind(47)) << "11 000 bytes behind";
    EXPECT_FALSE(b.tooFarBehind(48));
    EXPECT_NE(b.packet(47), nullptr) << "kept as the last start point, within the window's bound";
}

}  // namespace
}  // namespace morlanex
