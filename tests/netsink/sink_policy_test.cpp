// The sink's decisions without sockets: the fan-out policy (joins, what a viewer takes, drops
// by time behind live) and the routing of requests.
#include "media/asf/asf_packet.h"
#include "media/netsink/fan_out_policy.h"
#include "media/netsink/http_router.h"
#include "netsink_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace morlanex {
namespace {

using test::startPackets;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::shared_ptr<const StreamHeader> recordedHeader() {
    return StreamHeader::fromMuxer(test::testStream().header, nullptr);
}

// Pushes packets [from, to) of the recording, `spacing` apart from `t`.
Clock::time_point pushRecorded(StreamBuffer &b, size_t from, size_t to, Clock::time_point t, Clock::duration spacing) {
    for (size_t i = from; i < to; ++i, t += spacing) {
        std::vector<uint8_t> p = test::testStream().packets[i];
        EXPECT_EQ(b.push(std::move(p), t), StreamBuffer::PushResult::Accepted);
    }
    return t;
}

TEST(FanOutPolicy, JoinsAtARecentKeyFrameAndTakesEveryPacketAfterIt) {
    const auto starts = startPackets();
    ASSERT_GE(starts.size(), 3u);
    StreamBuffer b(8 << 20, 8 << 20);
    b.setHeader(recordedHeader());
    FanOutPolicy policy(b, 8000ms);
    const auto t0 = Clock::now();
    const auto now = pushRecorded(b, 0, starts[1] + 2, t0, 10ms);
    ViewerPosition v = policy.join(now);
    EXPECT_EQ(v.header, b.header());
    FanOutPolicy::Next next = policy.next(v);
    EXPECT_EQ(next.step, FanOutPolicy::Step::Write);
    EXPECT_EQ(v.seq, starts[1]);
    EXPECT_EQ(v.firstSeq, starts[1]);
    EXPECT_EQ(next.endSeq, b.nextSeq());
    v.seq = next.endSeq;  // as if written
    EXPECT_EQ(policy.next(v).step, FanOutPolicy::Step::Wait) << "caught up";
    EXPECT_FALSE(policy.tooFarBehind(v, now + 60s)) << "nothing left to send is never behind";
}

TEST(FanOutPolicy, AStaleKeyFrameIsNoJoinPointAndLagIsMeasuredInTime) {
    const auto starts = startPackets();
    StreamBuffer b(8 << 20, 8 << 20);
    b.setHeader(recordedHeader());
    FanOutPolicy policy(b, 2000ms);
    const auto t0 = Clock::now();
    // The last key frame arrived 1.5 s before the viewer: more than half the lag limit.
    pushRecorded(b, 0, starts[1] + 1, t0, 0ms);
    pushRecorded(b, starts[1] + 1, starts[1] + 3, t0 + 1500ms, 0ms);
    ViewerPosition late = policy.join(t0 + 1500ms);
    EXPECT_EQ(policy.next(late).step, FanOutPolicy::Step::Wait) << "waits for the next key frame";
    pushRecorded(b, starts[1] + 3, starts[2] + 1, t0 + 1600ms, 0ms);
    EXPECT_EQ(policy.next(late).step, FanOutPolicy::Step::Write);
    EXPECT_EQ(late.seq, starts[2]);

    const auto arrived = b.arrivedAt(late.seq);
    EXPECT_EQ(arrived, t0 + 1600ms);
    EXPECT_FALSE(policy.tooFarBehind(late, arrived + 2000ms));
    EXPECT_TRUE(policy.tooFarBehind(late, arrived + 2001ms)) << "its next packet is older than the limit";
}

TEST(FanOutPolicy, AViewerOfAReplacedHeaderEndsAfterItsOwnPackets) {
    const auto starts = startPackets();
    StreamBuffer b(8 << 20, 8 << 20);
    b.setHeader(recordedHeader());
    FanOutPolicy policy(b, 8000ms);
    const auto t0 = Clock::now();
    const auto now = pushRecorded(b, 0, starts[1], t0, 1ms);
    ViewerPosition v = policy.join(now);
    ASSERT_EQ(policy.next(v).step, FanOutPolicy::Step::Write);
    auto changed = std::make_shared<StreamHeader>(*recordedHeader());
    changed->raw.back() ^= 1;
    b.setHeader(changed);
    pushRecorded(b, starts[1], starts[2], now, 1ms);
    const FanOutPolicy::Next next = policy.next(v);
    EXPECT_EQ(next.step, FanOutPolicy::Step::Write);
    EXPECT_EQ(next.endSeq, b.headerStart()) << "none of the new header's packets";
    v.seq = next.endSeq;
    v.offset = 0;
    EXPECT_EQ(policy.next(v).step, FanOutPolicy::Step::EndStream);
    ViewerPosition fresh = policy.join(now);
    EXPECT_EQ(fresh.header, changed);
}

StreamRequest request(RequestKind kind, bool windowsMedia = false) {
    StreamRequest r;
    r.kind = kind;
    r.windowsMedia = windowsMedia;
    return r;
}

TEST(HttpRouter, StreamsOnlyWithAHeaderAndRoomAndAnswersTheRest) {
    HttpRouter router;
    const auto header = recordedHeader();
    Route r = router.route(request(RequestKind::PlainStream), header.get(), true);
    EXPECT_EQ(r.outcome, RouteOutcome::Stream);
    EXPECT_TRUE(r.withHeader && r.thenStream);
    EXPECT_EQ(router.route(request(RequestKind::PlainStream), nullptr, true).outcome, RouteOutcome::Refused);
    EXPECT_EQ(router.route(request(RequestKind::Play, true), header.get(), false).outcome, RouteOutcome::Refused);
    r = router.route(request(RequestKind::Describe, true), header.get(), false);
    EXPECT_EQ(r.outcome, RouteOutcome::Header) << "a Describe needs no viewer slot";
    EXPECT_FALSE(r.thenStream);
    EXPECT_NE(r.head.find("Content-Length: " + std::to_string(header->framed.size()) + "\r\n"), std::string::npos)
        << r.head;
    r = router.route(request(RequestKind::TooLarge), header.get(), true);
    EXPECT_EQ(r.outcome, RouteOutcome::TooLarge);
    EXPECT_EQ(r.head.rfind("HTTP/1.0 413 ", 0), 0u) << r.head;
    const Route refused = HttpRouter::refuse();
    EXPECT_EQ(refused.head.rfind("HTTP/1.0 503 ", 0), 0u);
    const std::string body = refused.head.substr(refused.head.find("\r\n\r\n") + 4);
    EXPECT_FALSE(body.empty()) << "a short body says why";
    EXPECT_NE(refused.head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
}

TEST(HttpRouter, TheCountersAreForThisHostOnlyAndOthersGetTheUnknownPathsAnswer) {
    HttpRouter router;
    StreamRequest r = request(RequestKind::NotFound);
    r.getOrHead = true;
    r.path = "/metrics";
    int rendered = 0;
    const auto render = [&] {
        ++rendered;
        return std::string("x 1\n");
    };
    const Route unknown = router.route(r, nullptr, false);
    for (const char *peer : {"10.1.2.3", "192.168.0.7", "128.0.0.1"}) {
        const Route outside = HttpRouter::metrics(r, inet_addr(peer), render);
        EXPECT_EQ(outside.outcome, RouteOutcome::NotFound) << peer;
        EXPECT_EQ(outside.head, unknown.head) << peer;
    }
    EXPECT_EQ(rendered, 0) << "nothing is made for a stranger";
    for (const char *peer : {"127.0.0.1", "127.200.3.4"}) {
        const Route local = HttpRouter::metrics(r, inet_addr(peer), render);
        EXPECT_EQ(local.outcome, RouteOutcome::Answered) << peer;
        EXPECT_EQ(local.head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << local.head;
        EXPECT_NE(local.head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << local.head;
        EXPECT_TRUE(local.head.ends_with("\r\n\r\nx 1\n")) << local.head;
    }
    EXPECT_EQ(rendered, 2);
}

}  // namespace
}  // namespace morlanex
