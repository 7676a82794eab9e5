// Public header file.
//
// RequestReader: reads one HTTP request from a non-blocking socket, in any number of pieces.
//
// The head is kept (at most kMaxRequestHeadBytes) until it parses; a body announced by
// Content-Length is read and discarded, whatever the pieces, so the answer never meets unread
// bytes (which would make closing reset the connection). A client that sent
// "Expect: 100-continue" gets "100 Continue" before its body is awaited. A body over
// kMaxRequestBodyBytes, a length that cannot be known, or a head that cannot be parsed
// completes the request at once: verdict() says why, for the answer, and the connection
// drains what follows while it lingers.
//
// Threads: used by one server's loop thread only. It borrows the fd.
#pragma once

#include "net/http_request.h"

#include <cstdint>
#include <string>
#include <vector>

namespace morlanex {

class RequestReader {
public:
    // Bodies of `keptBodyType` (e.g. "application/sdp") are kept for body(); others discarded.
    explicit RequestReader(std::string keptBodyType = {}) : keptBodyType_(std::move(keptBodyType)) {}

    enum class Status {
        Waiting,  // more bytes are needed
        Complete,  // verdict() and request() are final
        Closed,  // the peer left or failed before its request was complete
    };
    enum class Verdict {
        Ok,  // request() holds the head; its body was read past
        Malformed,  // the head does not parse
        HeadTooLarge,  // no end of the head within kMaxRequestHeadBytes
        BadFraming,  // Transfer-Encoding, or Content-Length fields that disagree
        BodyTooLarge,  // a body over kMaxRequestBodyBytes (request() holds the head)
    };

    // Reads everything the socket has now. `scratch` is a reusable buffer of the loop's.
    Status read(int fd, std::vector<uint8_t> &scratch);

    Verdict verdict() const { return verdict_; }
    const HttpRequest &request() const { return request_; }
    const std::string &body() const { return body_; }  // as far as it came, when kept
    bool peerClosed() const { return peerClosed_; }  // the peer closed its sending side

private:
    Status parseHead(int fd);

    std::string keptBodyType_;
    bool keepBody_ = false;
    std::string body_;
    std::string head_;
    size_t parsedUpTo_ = 0;
    bool headDone_ = false;
    size_t bodyLeft_ = 0;
    bool peerClosed_ = false;
    Verdict verdict_ = Verdict::Malformed;
    HttpRequest request_;
};

}  // namespace morlanex
