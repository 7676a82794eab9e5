// Internal header file.
//
// RequestReader: reads one HTTP request from a non-blocking socket, in any number of pieces.
//
// The head is kept (at most kMaxRequestHeadBytes) until it parses; a body announced by
// Content-Length is read and discarded, whatever the pieces, so the answer never meets unread
// bytes (which would make closing reset the connection). A client that sent
// "Expect: 100-continue" gets "100 Continue" before its body is awaited. A body over the limit,
// or a head that cannot be parsed, completes the request at once: the answer says why, and
// the connection drains what follows while it lingers.
//
// Threads: used by the sink's loop thread only. It borrows the fd.
#pragma once

#include "media/netsink/http_request.h"
#include "media/netsink/stream_request.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morlanex {

class RequestReader {
public:
    enum class Status {
        Waiting,   // more bytes are needed
        Complete,  // request() is final (it may be a bad one)
        Closed,    // the peer left or failed before its request was complete
    };

    // Reads everything the socket has now. `scratch` is a reusable buffer of the loop's.
    Status read(int fd, std::string_view streamPath, std::vector<uint8_t> &scratch);

    const StreamRequest &request() const { return request_; }
    bool peerClosed() const { return peerClosed_; }  // the peer closed its sending side

private:
    Status parseHead(std::string_view streamPath, int fd);

    std::string head_;
    size_t parsedUpTo_ = 0;
    bool headDone_ = false;
    size_t bodyLeft_ = 0;
    bool peerClosed_ = false;
    StreamRequest request_;
};

}  // namespace morlanex
