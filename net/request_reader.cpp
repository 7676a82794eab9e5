#include "net/request_reader.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

namespace morlanex {
namespace {

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace

RequestReader::Status RequestReader::read(int fd, std::vector<uint8_t> &scratch) {
    for (;;) {
        // Read through the scratch buffer so the connection holds only the head it was sent.
        const size_t room = headDone_ ? scratch.size() : kMaxRequestHeadBytes - head_.size();
        if (room == 0) {
            // A full head without its end: the parser reports it as too large.
            const Status s = parseHead(fd);
            if (s != Status::Waiting) return s;
            continue;
        }
        const ssize_t n = ::recv(fd, scratch.data(), std::min(room, scratch.size()), MSG_DONTWAIT);
        if (n > 0) {
            if (headDone_) {
                const size_t taken = std::min(bodyLeft_, size_t(n));
                if (keepBody_) body_.append(reinterpret_cast<const char *>(scratch.data()), taken);
                bodyLeft_ -= taken;
            } else {
                head_.append(reinterpret_cast<const char *>(scratch.data()), size_t(n));
                const Status s = parseHead(fd);
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

RequestReader::Status RequestReader::parseHead(int fd) {
    size_t headBytes = 0;
    const HttpParse parsed = parseHttpRequest(head_, parsedUpTo_, &request_, &headBytes);
    switch (parsed) {
    case HttpParse::Incomplete:
        parsedUpTo_ = head_.size();
        return Status::Waiting;
    case HttpParse::Error:
    case HttpParse::TooLarge:
        verdict_ = parsed == HttpParse::TooLarge ? Verdict::HeadTooLarge : Verdict::Malformed;
        std::string().swap(head_);
        headDone_ = true;
        return Status::Complete;
    case HttpParse::Complete:
        break;
    }
    headDone_ = true;
    const size_t extra = head_.size() - headBytes;
    std::string head;
    head.swap(head_);
    const std::optional<size_t> body = contentLength(request_);
    if (!request_.header("Transfer-Encoding").empty() || !body) {
        verdict_ = Verdict::BadFraming;
        return Status::Complete;
    }
    if (*body > kMaxRequestBodyBytes) {
        verdict_ = Verdict::BodyTooLarge;
        return Status::Complete;
    }
    verdict_ = Verdict::Ok;
    keepBody_ = !keptBodyType_.empty() && *body > 0 && equalsIgnoreCase(request_.header("Content-Type"), keptBodyType_);
    if (keepBody_) body_.assign(head, headBytes, std::min(*body, extra));
    bodyLeft_ = *body - std::min(*body, extra);
    if (bodyLeft_ > 0 && extra == 0 && request_.versionMinor >= 1 &&
        equalsIgnoreCase(request_.header("Expect"), "100-continue")) {
        // At most a few bytes into an empty send buffer; if even that fails the client sends
        // its body anyway after its own wait.
        [[maybe_unused]] const ssize_t sent =
            ::send(fd, kContinue.data(), kContinue.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    return bodyLeft_ == 0 ? Status::Complete : Status::Waiting;
}

}  // namespace morlanex
