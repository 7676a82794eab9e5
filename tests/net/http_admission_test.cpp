// The net layer's HTTP request parsing (split at every byte, limits) and the admission of
// incomplete requests.
#include "net/admission.h"
#include "net/http_request.h"

#include <gtest/gtest.h>

namespace morlanex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

HttpParse parse(const std::string &s, HttpRequest *r = nullptr) {
    HttpRequest tmp;
    size_t head = 0;
    return parseHttpRequest(s, 0, r ? r : &tmp, &head);
}

TEST(HttpRequest, EveryPrefixIsIncompleteAndDripFeedingCompletes) {
    const std::string req =
        "GET / HTTP/1.1\r\nUser-Agent: NSPlayer/4.1.0.3856\r\nPragma: no-cache,rate=1.000000,stream-time=0\r\n"
        "Pragma: xPlayStrm=1\r\nPragma: client-id=1\r\nPragma: stream-switch-count=2\r\n"
        "Pragma: stream-switch-entry=ffff:1:0 ffff:2:0\r\nPragma: LinkBW=2147483647\r\n\r\ntail";
    const size_t headLen = req.size() - 4;
    HttpRequest r;
    size_t head = 0, previous = 0;
    for (size_t n = 0; n < headLen; ++n) {
        ASSERT_EQ(parseHttpRequest(std::string_view(req).substr(0, n), previous, &r, &head), HttpParse::Incomplete)
            << n;
        previous = n;
    }
    ASSERT_EQ(parseHttpRequest(req, previous, &r, &head), HttpParse::Complete);
    EXPECT_EQ(head, headLen);
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, "/");
    EXPECT_EQ(r.versionMinor, 1);
    EXPECT_EQ(r.headers_named("pragma").size(), 6u);
    EXPECT_EQ(r.header("user-agent"), "NSPlayer/4.1.0.3856");
}

TEST(HttpRequest, AcceptsBareLineFeedsFoldedLinesAndLeadingEmptyLines) {
    HttpRequest r;
    ASSERT_EQ(parse("\r\nGET /x HTTP/1.0\nA: 1\n  more\nB:2\n\n", &r), HttpParse::Complete);
    EXPECT_EQ(r.target, "/x");
    EXPECT_EQ(r.header("A"), "1 more");
    EXPECT_EQ(r.header("b"), "2");
}

TEST(HttpRequest, RejectsMalformedAndOversizedHeads) {
    EXPECT_EQ(parse("GET / HTTP/1.1\r\n: empty\r\n\r\n"), HttpParse::Error) << "empty field name";
    EXPECT_EQ(parse("GET / HTTP/1.1\r\nno colon\r\n\r\n"), HttpParse::Error);
    EXPECT_EQ(parse("GET / HTTP/2.0\r\n\r\n"), HttpParse::Error);
    EXPECT_EQ(parse("GET /\r\n\r\n"), HttpParse::Error) << "HTTP/0.9";
    EXPECT_EQ(parse("G(T / HTTP/1.1\r\n\r\n"), HttpParse::Error);
    EXPECT_EQ(parse(" continuation\r\n\r\n"), HttpParse::Error);
    EXPECT_EQ(parse(std::string("GET / HTTP/1.1\r\nA: \0\r\n\r\n", 24)), HttpParse::Error);
    std::string many = "GET / HTTP/1.1\r\n";
    for (size_t i = 0; i <= kMaxRequestHeaders; ++i) many += "X-" + std::to_string(i) + ": y\r\n";
    EXPECT_EQ(parse(many + "\r\n"), HttpParse::Error);
    const std::string big = "GET / HTTP/1.1\r\nX: " + std::string(kMaxRequestHeadBytes, 'a');
    EXPECT_EQ(parse(big), HttpParse::TooLarge) << "no end within the limit";
    EXPECT_EQ(parse(big.substr(0, kMaxRequestHeadBytes - 1)), HttpParse::Incomplete);
}

Admission::Limits smallPool() {
    return {.maxPending = 4, .maxPerAddress = 2, .timeout = 5000ms, .timeoutUnderPressure = 1000ms};
}

TEST(Admission, CapsEachAddressAndEvictsTheOldestForANewcomer) {
    Admission a(smallPool());
    const auto t0 = Clock::now();
    std::optional<uint64_t> evicted;
    EXPECT_EQ(a.admit(1, 0x0A, t0, &evicted), Admission::Verdict::Admit);
    EXPECT_EQ(a.admit(2, 0x0A, t0 + 1ms, &evicted), Admission::Verdict::Admit);
    EXPECT_EQ(a.admit(3, 0x0A, t0 + 2ms, &evicted), Admission::Verdict::Refuse) << "third from one address";
    EXPECT_EQ(a.pending(), 2u);
    a.leave(1);
    EXPECT_EQ(a.admit(4, 0x0A, t0 + 3ms, &evicted), Admission::Verdict::Admit) << "a slot of its address came free";
    EXPECT_FALSE(evicted);
    EXPECT_EQ(a.admit(5, 0x0B, t0 + 4ms, &evicted), Admission::Verdict::Admit);
    EXPECT_EQ(a.admit(6, 0x0C, t0 + 5ms, &evicted), Admission::Verdict::Admit);
    EXPECT_FALSE(evicted);
    EXPECT_EQ(a.pending(), 4u);
    // The pool is full: a newcomer still gets in, and the oldest still pending (2) goes.
    EXPECT_EQ(a.admit(7, 0x0D, t0 + 6ms, &evicted), Admission::Verdict::Admit);
    ASSERT_TRUE(evicted);
    EXPECT_EQ(*evicted, 2u);
    EXPECT_EQ(a.pending(), 4u);
    // Its address has room again.
    EXPECT_EQ(a.admit(8, 0x0A, t0 + 7ms, &evicted), Admission::Verdict::Admit);
    ASSERT_TRUE(evicted);
    EXPECT_EQ(*evicted, 4u);
}

TEST(Admission, AHostMayUseAFreePoolBeyondItsShare) {
    Admission a({.maxPending = 8, .maxPerAddress = 2, .timeout = 5000ms, .timeoutUnderPressure = 1000ms});
    const auto t0 = Clock::now();
    std::optional<uint64_t> evicted;
    for (uint64_t id = 1; id <= 4; ++id)
        EXPECT_EQ(a.admit(id, 0x0A, t0, &evicted), Admission::Verdict::Admit) << "a burst from one NAT, " << id;
    EXPECT_TRUE(a.underPressure());
    EXPECT_EQ(a.admit(5, 0x0A, t0, &evicted), Admission::Verdict::Refuse) << "over its share under pressure";
    EXPECT_EQ(a.admit(6, 0x0B, t0, &evicted), Admission::Verdict::Admit) << "other hosts still get in";
}

TEST(Admission, TheRequestTimeoutShortensUnderPressure) {
    Admission a(smallPool());
    const auto t0 = Clock::now();
    std::optional<uint64_t> evicted;
    EXPECT_EQ(a.nextDeadline(), Clock::time_point::max());
    a.admit(1, 0x0A, t0, &evicted);
    EXPECT_FALSE(a.underPressure());
    EXPECT_EQ(a.nextDeadline(), t0 + 5000ms);
    EXPECT_FALSE(a.expired(t0 + 4999ms));
    a.admit(2, 0x0B, t0 + 10ms, &evicted);
    EXPECT_TRUE(a.underPressure()) << "half the pool";
    EXPECT_EQ(a.nextDeadline(), t0 + 1000ms);
    EXPECT_EQ(a.expired(t0 + 1000ms), std::optional<uint64_t>(1));
    EXPECT_FALSE(a.underPressure());
    EXPECT_FALSE(a.expired(t0 + 1010ms)) << "back to the long timeout";
    a.leave(2);
    EXPECT_EQ(a.pending(), 0u);
    EXPECT_EQ(a.nextDeadline(), Clock::time_point::max()) << "one that left has no deadline";
}

TEST(HttpRequest, ContentLengthFieldsMustAgree) {
    HttpRequest r;
    ASSERT_EQ(parse("POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5, 5\r\n\r\n", &r), HttpParse::Complete);
    EXPECT_EQ(contentLength(r), std::optional<size_t>(5));
    ASSERT_EQ(parse("POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", &r), HttpParse::Complete);
    EXPECT_EQ(contentLength(r), std::nullopt);
    ASSERT_EQ(parse("GET / HTTP/1.1\r\n\r\n", &r), HttpParse::Complete);
    EXPECT_EQ(contentLength(r), std::optional<size_t>(0));
}

}  // namespace
}  // namespace morlanex
