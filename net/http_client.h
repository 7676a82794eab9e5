// Public header file.
//
// HttpClient: one persistent HTTP/1.1 connection to one server, for a worker thread that may
// block (never the UI thread, never a streaming thread). Requests go one at a time on the kept-
// alive connection. A connection the server closed while idle is opened again, and a request that
// met such a closed connection before any byte of its answer came is sent once more on a new one
// (the requests made here are idempotent: GET, PUT, DELETE).
//
// Every wait is bounded: the connect (connectTimeout), and then each wait for progress while
// sending or reading (idleTimeout): a link that moves slowly but moves is waited for, a dead one
// is not. cancel(), from any thread, ends the wait in progress and every later call at once.
// Answers are read by Content-Length, chunked, or up to the close; a head over 16 KiB or a body
// over maxBodyBytes ends the connection with a failure, not a partial answer.
//
// The server is named by an IPv4 address or a host name (looked up on a thread of its own, so
// that cancel() does not wait for the resolver).
//
// Threads: request() from one thread at a time; cancel() from any. The client owns its socket
// and its cancel descriptor.
//
// Example:
//   HttpClient shield({"shield.example", 8090});
//   HttpResult r = shield.request("PUT", "/channel/7/live/latest", {{"Authorization", "Bearer ..."}}, body);
//   if (!r.ok()) log(r.error); else if (r.answer.status == 201) ...
#pragma once

#include "net/unique_fd.h"

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morlanex {

// "http://host[:port][/path]"; nullopt for anything else (https, user info, a bad port).
struct HttpUrl {
    std::string host;
    uint16_t port = 80;
    std::string path = "/";  // with the query, if any
};
std::optional<HttpUrl> parseHttpUrl(std::string_view text);

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpAnswer {
    int status = 0;
    HttpHeaders headers;
    std::string body;

    // First field called `name` (case-insensitive); empty when absent.
    std::string_view header(std::string_view name) const;
};

enum class HttpFailure {
    None,
    Resolve,  // the host name did not resolve
    Connect,  // refused, unreachable, or no answer within connectTimeout
    Send,  // the connection failed while the request went out
    Receive,  // ... or before the whole answer came
    Timeout,  // no progress within idleTimeout
    Malformed,  // an answer that does not parse, or over the limits
    Cancelled,
};

struct HttpResult {
    HttpFailure failure = HttpFailure::None;
    std::string error;  // for the log: what failed, and where
    HttpAnswer answer;  // when ok()

    bool ok() const { return failure == HttpFailure::None; }
};

class HttpClient {
public:
    struct Options {
        std::chrono::milliseconds connectTimeout{5000};
        std::chrono::milliseconds idleTimeout{10000};
        size_t maxBodyBytes = 1024 * 1024;
        std::string localAddress;  // dotted IPv4 to send from; empty: the system's choice
    };

    HttpClient(std::string host, uint16_t port) : HttpClient(std::move(host), port, Options{}) {}
    HttpClient(std::string host, uint16_t port, Options options);
    ~HttpClient();
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;

    // Sends one request (Host and Content-Length are added) and reads its answer.
    HttpResult request(std::string_view method, std::string_view target, const HttpHeaders &headers = {},
                       std::span<const uint8_t> body = {});
    // Ends the wait in progress and makes every later request fail as Cancelled. Any thread.
    void cancel();
    // Closes the kept-alive connection; the next request opens another.
    void disconnect() { socket_.reset(); }
    // "host:port", for log lines.
    std::string where() const;
    // Connections opened so far (a kept-alive connection serves many requests).
    uint64_t connectionsOpened() const { return opened_; }

private:
    enum class Wait { Ready, Timeout, Cancelled, Failed };
    Wait waitFor(short events, std::chrono::milliseconds timeout);
    // The failure a wait's outcome means (`failed` for an error, `timedOut` the text of a time-out).
    HttpResult waited(Wait outcome, HttpFailure failed, const std::string &timedOut);
    HttpResult attempt(std::string_view method, const std::string &head, std::span<const uint8_t> body,
                       bool *retryable);
    // The host's address; a name is looked up on a thread of its own, the wait cancellable.
    HttpResult resolve(in_addr *address);
    HttpResult connect();
    HttpResult sendAll(const uint8_t *data, size_t size, bool more);
    HttpResult readAnswer(std::string_view method, bool *closeAfter, bool *nothingRead);
    HttpResult fail(HttpFailure failure, const std::string &what);

    std::string host_;
    uint16_t port_;
    Options options_;
    UniqueFd socket_;
    UniqueFd cancel_;  // an eventfd, readable once cancelled
    std::string buffer_;  // bytes read past the answer being parsed
    uint64_t opened_ = 0;
};

}  // namespace morlanex
