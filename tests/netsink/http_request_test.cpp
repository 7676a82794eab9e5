// What each client's request asks of the sink.
#include "media/netsink/stream_request.h"
#include "netsink_test_support.h"

#include <gtest/gtest.h>

namespace morlanex {
namespace {

HttpParse parse(const std::string &s, HttpRequest *r = nullptr) {
    HttpRequest tmp;
    size_t head = 0;
    return parseHttpRequest(s, 0, r ? r : &tmp, &head);
}

StreamRequest classify(const std::string &s) {
    HttpRequest r;
    EXPECT_EQ(parse(s, &r), HttpParse::Complete) << s;
    return classifyRequest(r, "/");
}

TEST(StreamRequest, WindowsMediaClientsAreToldApartByUserAgent) {
    EXPECT_TRUE(isWindowsMediaUserAgent("NSPlayer/12.0.7680.0"));
    EXPECT_TRUE(isWindowsMediaUserAgent("nsplayer/7.10.0.3059"));
    EXPECT_TRUE(isWindowsMediaUserAgent("NSServer/9.0.0.3171"));
    EXPECT_TRUE(isWindowsMediaUserAgent("WMCacheProxy/9.0"));
    EXPECT_FALSE(isWindowsMediaUserAgent("NSPlayer"));
    EXPECT_FALSE(isWindowsMediaUserAgent("Mozilla/5.0 NSPlayer/4.1"));
    EXPECT_FALSE(isWindowsMediaUserAgent("Lavf/59.27.100"));
}

TEST(StreamRequest, DescribePlayAndPlainRequests) {
    const StreamRequest d = classify(test::ffmpegDescribe());
    EXPECT_EQ(d.kind, RequestKind::Describe);
    EXPECT_TRUE(d.windowsMedia);
    EXPECT_EQ(classify(test::ffmpegPlay()).kind, RequestKind::Play) << "glued last Pragma line";
    const std::string vlcPlay =
        "GET / HTTP/1.0\r\nHost: h:1\r\nAccept: */*\r\nUser-Agent: NSPlayer/7.10.0.3059\r\n"
        "Pragma: no-cache,rate=1.000000,request-context=2\r\nPragma: xPlayStrm=1\r\nPragma: xClientGUID={1-2}\r\n"
        "Pragma: stream-switch-count=2\r\nPragma: stream-switch-entry=ffff:1:0 ffff:2:2\r\nConnection: Close\r\n\r\n";
    EXPECT_EQ(classify(vlcPlay).kind, RequestKind::Play);
    const StreamRequest zero = classify("GET / HTTP/1.0\r\nUser-Agent: NSPlayer/4.1\r\nPragma: xPlayStrm=0\r\n\r\n");
    EXPECT_EQ(zero.kind, RequestKind::Describe);
    const StreamRequest plain = classify(test::plainGet());
    EXPECT_EQ(plain.kind, RequestKind::PlainStream);
    EXPECT_FALSE(plain.windowsMedia);
    const StreamRequest head = classify("HEAD /?x=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.kind, RequestKind::PlainStream);
    EXPECT_TRUE(head.headOnly);
    EXPECT_EQ(classify("GET http://127.0.0.1:8080/ HTTP/1.1\r\n\r\n").kind, RequestKind::PlainStream);
    EXPECT_EQ(classify("GET http://127.0.0.1:8080 HTTP/1.1\r\n\r\n").kind, RequestKind::PlainStream);
}

TEST(StreamRequest, OtherPathsMethodsAndBodies) {
    EXPECT_EQ(classify(test::plainGet("/other")).kind, RequestKind::NotFound);
    EXPECT_EQ(classify("GET /other HTTP/1.0\r\nUser-Agent: NSPlayer/4.1\r\n\r\n").kind, RequestKind::NotFound);
    EXPECT_EQ(classify("POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n").kind, RequestKind::MethodNotAllowed);
    EXPECT_EQ(classify("DELETE / HTTP/1.1\r\n\r\n").kind, RequestKind::MethodNotAllowed);
    EXPECT_EQ(classify("OPTIONS * HTTP/1.1\r\n\r\n").kind, RequestKind::Options);
    const StreamRequest log =
        classify("POST / HTTP/1.1\r\nUser-Agent: NSPlayer/12.0\r\nContent-Type: application/x-wms-LogStats\r\n"
                 "Pragma: client-id=123456\r\nContent-Length: 12\r\n\r\n");
    EXPECT_EQ(log.kind, RequestKind::LogPost);
    EXPECT_EQ(log.clientId, 123456u);
    EXPECT_EQ(log.bodyBytes, 12u);
    EXPECT_EQ(classify("POST / HTTP/1.0\r\nUser-Agent: NSPlayer/12.0\r\nPragma: xKeepAliveInPause=1\r\n\r\n").kind,
              RequestKind::ControlPost);
    EXPECT_EQ(classify("GET / HTTP/1.0\r\nUser-Agent: NSPlayer/12.0\r\nPragma: xPlayNextEntry=1\r\n\r\n").kind,
              RequestKind::BadRequest);
    EXPECT_EQ(classify("GET / HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n").kind, RequestKind::TooLarge);
    EXPECT_EQ(classify("GET / HTTP/1.1\r\nContent-Length: 65537\r\n\r\n").kind, RequestKind::TooLarge);
    // Conflicting lengths leave the request's end unknown; repeating the same one does not.
    EXPECT_EQ(classify("GET / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n").kind,
              RequestKind::BadRequest);
    EXPECT_EQ(classify("GET / HTTP/1.1\r\nContent-Length: 5, 6\r\n\r\n").kind, RequestKind::BadRequest);
    EXPECT_EQ(classify("GET / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length:\r\n\r\n").kind, RequestKind::BadRequest);
    const StreamRequest same = classify("GET / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5, 5\r\n\r\n");
    EXPECT_EQ(same.kind, RequestKind::PlainStream);
    EXPECT_EQ(same.bodyBytes, 5u);
    EXPECT_FALSE(same.expectContinue);
    EXPECT_TRUE(
        classify("POST / HTTP/1.1\r\nUser-Agent: NSPlayer/12.0\r\nExpect: 100-Continue\r\nContent-Length: 9\r\n\r\n")
            .expectContinue);
    EXPECT_FALSE(
        classify("POST / HTTP/1.0\r\nUser-Agent: NSPlayer/12.0\r\nExpect: 100-continue\r\nContent-Length: 9\r\n\r\n")
            .expectContinue)
        << "an HTTP/1.0 client never waits for 100";
    EXPECT_EQ(classify("GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n").kind, RequestKind::BadRequest);
    EXPECT_EQ(classify("GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n").kind, RequestKind::BadRequest);
    EXPECT_EQ(classify("GET / HTTP/1.1\r\nUser-Agent: NSPlayer/9\r\nPragma: client-id=x12\r\n\r\n").clientId, 0u);
}

}  // namespace
}  // namespace morlanex
