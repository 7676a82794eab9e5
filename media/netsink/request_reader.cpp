#include "media/netsink/request_reader.h"

#include "media/netsink/sink_responses.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

namespace morlanex {

RequestReader::Status RequestReader::read(int fd, std::string_view streamPath, std::vector<uint8_t> &scratch) {
    for (;;) {
        // Read through the scratch buffer so the connection holds only the head it was sent.
        const size_t room = headDone_ ? scratch.size() : kMaxRequestHeadBytes - head_.size();
        if (room == 0) {
            // A full head without its end: the parser reports it as an error.
            const Status s = parseHead(streamPath, fd);
            if (s != Status::Waiting) return s;
            continue;
        }
        const ssize_t n = ::recv(fd, scratch.data(), std::min(room, scratch.size()), MSG_DONTWAIT);
        if (n > 0) {
            if (headDone_) {
                bodyLeft_ -= std::min(bodyLeft_, size_t(n));
            } else {
                head_.append(reinterpret_cast<const char *>(scratch.data()), size_t(n));
                const Status s = parseHead(streamPath, fd);
                if (s != Status::Waiting) return s;
            }
            if (headDone_ && bodyLeft_ == 0) return Status::Complete;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Status::Waiting;
        if (n < 0) return Status::Closed;
        peerClosed_ = true;
        // A head with a short body is still answered: the client stopped sending, not reading.
        return headDone_ ? Status::Complete : Status::Closed;
    }
}

RequestReader::Status RequestReader::parseHead(std::string_view streamPath, int fd) {
    HttpRequest request;
    size_t headBytes = 0;
    switch (parseHttpRequest(head_, parsedUpTo_, &request, &headBytes)) {
        case HttpParse::Incomplete:
            parsedUpTo_ = head_.size();
            return Status::Waiting;
        case HttpParse::Error:
            request_ = StreamRequest{};  // BadRequest
            std::string().swap(head_);
            headDone_ = true;
            return Status::Complete;
        case HttpParse::Complete: break;
    }
    request_ = classifyRequest(request, streamPath);
    headDone_ = true;
    const size_t extra = head_.size() - headBytes;
    std::string().swap(head_);
    if (request_.kind == RequestKind::TooLarge || request_.kind == RequestKind::BadRequest) return Status::Complete;
    bodyLeft_ = request_.bodyBytes - std::min(request_.bodyBytes, extra);
    if (bodyLeft_ > 0 && extra == 0 && request_.expectContinue) {
        // At most a few bytes into an empty send buffer; if even that fails the client sends
        // its body anyway after its own wait.
        const std::string c = continueResponse();
        [[maybe_unused]] const ssize_t sent = ::send(fd, c.data(), c.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    return bodyLeft_ == 0 ? Status::Complete : Status::Waiting;
}

}  // namespace morlanex
