#include "net/http_client.h"

#include "net/http_request.h"
#include "net/ipv4.h"
#include "net/socket_error.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace morlanex {
namespace {

constexpr size_t kMaxAnswerHeadBytes = 16 * 1024;
constexpr size_t kReadBytes = 16 * 1024;

std::optional<uint64_t> number(std::string_view text, int base = 10) {
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string errnoText(int error) { return std::strerror(error); }

}  // namespace

std::optional<HttpUrl> parseHttpUrl(std::string_view text) {
    constexpr std::string_view kScheme = "http://";
    if (!text.starts_with(kScheme)) return std::nullopt;
    text.remove_prefix(kScheme.size());
    HttpUrl url;
    const size_t slash = text.find('/');
    std::string_view authority = text.substr(0, slash);
    url.path = slash == std::string_view::npos ? "/" : std::string(text.substr(slash));
    if (authority.find('@') != std::string_view::npos) return std::nullopt;
    if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        const std::optional<uint64_t> port = number(authority.substr(colon + 1));
        if (!port || *port == 0 || *port > 65535) return std::nullopt;
        url.port = uint16_t(*port);
        authority = authority.substr(0, colon);
    }
    if (authority.empty()) return std::nullopt;
    for (char c : authority)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-')) return std::nullopt;
    url.host = std::string(authority);
    for (char c : url.path)
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f) return std::nullopt;
    return url;
}

std::string_view HttpAnswer::header(std::string_view name) const {
    for (const auto &[key, value] : headers)
        if (equalsIgnoreCase(key, name)) return value;
    return {};
}

HttpClient::HttpClient(std::string host, uint16_t port, Options options)
    : host_(std::move(host)), port_(port), options_(options), cancel_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

HttpClient::~HttpClient() = default;

std::string HttpClient::where() const { return host_ + ":" + std::to_string(port_); }

void HttpClient::cancel() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(cancel_.get(), &one, sizeof one);
}

HttpResult HttpClient::fail(HttpFailure failure, const std::string &what) {
    socket_.reset();
    buffer_.clear();
    HttpResult result;
    result.failure = failure;
    result.error = where() + ": " + what;
    return result;
}

HttpResult HttpClient::waited(Wait outcome, HttpFailure failed, const std::string &timedOut) {
    switch (outcome) {
    case Wait::Cancelled:
        return fail(HttpFailure::Cancelled, "cancelled");
    case Wait::Timeout:
        // A connect that is not answered fails as a connect; a stalled exchange as a time-out.
        return fail(failed == HttpFailure::Connect ? failed : HttpFailure::Timeout, timedOut);
    case Wait::Failed:
        return fail(failed, errnoText(errno));
    case Wait::Ready:
        break;
    }
    return {};
}

HttpClient::Wait HttpClient::waitFor(short events, std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{socket_.get(), events, 0}, {cancel_.get(), POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const int n = ::poll(fds, 2, int(std::max<int64_t>(0, left.count())));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Wait::Failed;
        if (fds[1].revents) return Wait::Cancelled;
        if (n == 0) return Wait::Timeout;
        return Wait::Ready;  // errors show in the call that follows
    }
}

HttpResult HttpClient::resolve(in_addr *address) {
    if (const std::optional<in_addr> literal = parseDottedQuad(host_)) {
        *address = *literal;
        return {};
    }
    // The resolver cannot be interrupted: it runs on a thread of its own, which keeps what it
    // shares, so that cancel() ends the wait at once whatever the resolver does.
    struct Lookup {
        std::mutex mutex;
        std::optional<in_addr> address;  // guarded by mutex
        UniqueFd done{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    };
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host = host_] {
        std::optional<in_addr> found;
        try {
            found = resolveHost(host);
        } catch (const EndpointError &) {}
        {
            std::lock_guard lock(lookup->mutex);
            lookup->address = found;
        }
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(lookup->done.get(), &one, sizeof one);
    }).detach();
    pollfd fds[2] = {{lookup->done.get(), POLLIN, 0}, {cancel_.get(), POLLIN, 0}};
    int n = 0;
    while ((n = ::poll(fds, 2, int(options_.connectTimeout.count()))) < 0 && errno == EINTR) {}
    if (n > 0 && fds[1].revents) return fail(HttpFailure::Cancelled, "cancelled");
    if (n <= 0) return fail(HttpFailure::Resolve, "the name was not resolved in time");
    std::lock_guard lock(lookup->mutex);
    if (!lookup->address) return fail(HttpFailure::Resolve, "the name does not resolve");
    *address = *lookup->address;
    return {};
}

HttpResult HttpClient::connect() {
    in_addr address{};
    if (HttpResult r = resolve(&address); !r.ok()) return r;
    socket_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket_) return fail(HttpFailure::Connect, "no socket: " + errnoText(errno));
    if (!options_.localAddress.empty()) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        const std::optional<in_addr> local = parseDottedQuad(options_.localAddress);
        if (!local) return fail(HttpFailure::Connect, "bad local address " + options_.localAddress);
        from.sin_addr = *local;
        if (::bind(socket_.get(), reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0)
            return fail(HttpFailure::Connect, "cannot send from " + options_.localAddress + ": " + errnoText(errno));
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = address;
    to.sin_port = htons(port_);
    if (::connect(socket_.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS)
        return fail(HttpFailure::Connect, errnoText(errno));
    if (HttpResult r =
            waited(waitFor(POLLOUT, options_.connectTimeout), HttpFailure::Connect,
                   "no answer to the connect within " + std::to_string(options_.connectTimeout.count()) + " ms");
        !r.ok())
        return r;
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) return fail(HttpFailure::Connect, errnoText(error));
    ++opened_;
    buffer_.clear();
    return {};
}

HttpResult HttpClient::sendAll(const uint8_t *data, size_t size, bool more) {
    while (size > 0) {
        const ssize_t n = ::send(socket_.get(), data, size, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        if (n > 0) {
            data += n;
            size -= size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return fail(HttpFailure::Send, errnoText(errno));
        if (HttpResult r =
                waited(waitFor(POLLOUT, options_.idleTimeout), HttpFailure::Send,
                       "sending made no progress for " + std::to_string(options_.idleTimeout.count()) + " ms");
            !r.ok())
            return r;
    }
    return {};
}

HttpResult HttpClient::request(std::string_view method, std::string_view target, const HttpHeaders &headers,
                               std::span<const uint8_t> body) {
    std::string head = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: " + host_;
    if (port_ != 80) head.append(":").append(std::to_string(port_));
    head += "\r\n";
    for (const auto &[name, value] : headers) head += name + ": " + value + "\r\n";
    if (!body.empty() || method == "PUT" || method == "POST")
        head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    head += "\r\n";
    bool retryable = false;
    HttpResult result = attempt(method, head, body, &retryable);
    // A kept-alive connection the server had closed: once more on a new one.
    if (!result.ok() && retryable) result = attempt(method, head, body, &retryable);
    return result;
}

HttpResult HttpClient::attempt(std::string_view method, const std::string &head, std::span<const uint8_t> body,
                               bool *retryable) {
    *retryable = false;
    const bool reused = bool(socket_);
    if (!socket_)
        if (HttpResult r = connect(); !r.ok()) return r;
    HttpResult sent = sendAll(reinterpret_cast<const uint8_t *>(head.data()), head.size(), !body.empty());
    if (sent.ok()) sent = sendAll(body.data(), body.size(), false);
    if (!sent.ok()) {
        *retryable = reused && sent.failure == HttpFailure::Send;
        return sent;
    }
    bool closeAfter = false, nothingRead = false;
    HttpResult answer = readAnswer(method, &closeAfter, &nothingRead);
    if (!answer.ok()) {
        *retryable = reused && nothingRead && answer.failure == HttpFailure::Receive;
        return answer;
    }
    if (closeAfter) socket_.reset();
    return answer;
}

// Reads the answer's head and body from the socket into `buffer_`, bounded by the options.
HttpResult HttpClient::readAnswer(std::string_view method, bool *closeAfter, bool *nothingRead) {
    *nothingRead = true;
    bool peerClosed = false;
    // More bytes into buffer_: false when the peer closed (peerClosed) or failed (the result).
    HttpResult failure;
    const auto more = [&]() -> bool {
        if (peerClosed) return false;
        char chunk[kReadBytes];
        for (;;) {
            const ssize_t n = ::recv(socket_.get(), chunk, sizeof chunk, 0);
            if (n > 0) {
                buffer_.append(chunk, size_t(n));
                *nothingRead = false;
                return true;
            }
            if (n == 0) {
                peerClosed = true;
                return false;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                failure = fail(HttpFailure::Receive, errnoText(errno));
                return false;
            }
            failure = waited(waitFor(POLLIN, options_.idleTimeout), HttpFailure::Receive,
                             "no answer for " + std::to_string(options_.idleTimeout.count()) + " ms");
            if (!failure.ok()) return false;
        }
    };
    const auto stopped = [&](const char *what) {
        if (!failure.ok()) return failure;
        return fail(HttpFailure::Receive, what);
    };

    HttpResult result;
    HttpAnswer &a = result.answer;
    size_t headEnd = 0;
    for (;;) {
        while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (buffer_.size() > kMaxAnswerHeadBytes) return fail(HttpFailure::Malformed, "an answer head over 16 KiB");
            if (!more()) return stopped("the connection closed before an answer");
        }
        const std::string_view head(buffer_.data(), headEnd);
        const size_t lineEnd = head.find("\r\n");
        const std::string_view status = head.substr(0, lineEnd);
        if (!status.starts_with("HTTP/1.") || status.size() < 12 || status[8] != ' ')
            return fail(HttpFailure::Malformed, "not an HTTP/1.x answer");
        const std::optional<uint64_t> code = number(status.substr(9, 3));
        if (!code || *code < 100 || *code > 599) return fail(HttpFailure::Malformed, "a bad status");
        a = {};
        a.status = int(*code);
        *closeAfter = status[7] == '0';
        for (size_t at = lineEnd; at != std::string_view::npos && at < head.size();) {
            const size_t start = at + 2, end = head.find("\r\n", start);
            const std::string_view line = head.substr(start, end == std::string_view::npos ? end : end - start);
            const size_t colon = line.find(':');
            if (colon == std::string_view::npos || colon == 0) return fail(HttpFailure::Malformed, "a bad header line");
            a.headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
            at = end;
        }
        buffer_.erase(0, headEnd + 4);
        if (a.status >= 200) break;  // an interim answer (100 Continue): the real one follows
    }
    if (equalsIgnoreCase(a.header("Connection"), "close")) *closeAfter = true;

    const bool noBody = method == "HEAD" || a.status == 204 || a.status == 304;
    const bool chunked = equalsIgnoreCase(a.header("Transfer-Encoding"), "chunked");
    const std::string_view lengthText = a.header("Content-Length");
    if (noBody) return result;
    if (chunked) {
        for (;;) {
            size_t lineEnd = 0;
            while ((lineEnd = buffer_.find("\r\n")) == std::string::npos) {
                if (buffer_.size() > 1024) return fail(HttpFailure::Malformed, "a bad chunk size");
                if (!more()) return stopped("the connection closed within a chunked body");
            }
            std::string_view sizeText(buffer_.data(), lineEnd);
            sizeText = trim(sizeText.substr(0, sizeText.find(';')));
            const std::optional<uint64_t> size = number(sizeText, 16);
            if (!size || a.body.size() + *size > options_.maxBodyBytes)
                return fail(HttpFailure::Malformed, "a bad or too large chunk");
            buffer_.erase(0, lineEnd + 2);
            if (*size == 0) break;
            while (buffer_.size() < *size + 2)
                if (!more()) return stopped("the connection closed within a chunk");
            a.body.append(buffer_, 0, *size);
            buffer_.erase(0, *size + 2);
        }
        // Trailer fields, up to the empty line.
        for (;;) {
            size_t lineEnd = 0;
            while ((lineEnd = buffer_.find("\r\n")) == std::string::npos) {
                if (buffer_.size() > kMaxAnswerHeadBytes) return fail(HttpFailure::Malformed, "trailers too large");
                if (!more()) return stopped("the connection closed within the trailers");
            }
            buffer_.erase(0, lineEnd + 2);
            if (lineEnd == 0) break;
        }
    } else if (!lengthText.empty()) {
        const std::optional<uint64_t> length = number(lengthText);
        if (!length || *length > options_.maxBodyBytes) return fail(HttpFailure::Malformed, "a bad or too large body");
        while (buffer_.size() < *length)
            if (!more()) return stopped("the connection closed within the body");
        a.body = buffer_.substr(0, *length);
        buffer_.erase(0, *length);
    } else {
        // Up to the close.
        while (more())
            if (buffer_.size() > options_.maxBodyBytes) return fail(HttpFailure::Malformed, "a body too large");
        if (!failure.ok()) return failure;
        a.body = std::move(buffer_);
        buffer_.clear();
        *closeAfter = true;
    }
    if (peerClosed) *closeAfter = true;
    return result;
}

}  // namespace morlanex
