// Public header file.
//
// HttpRequest: a small, bounded HTTP/1.x request-head parser for every HTTP server here.
//
// A server reads a request head (request line and header fields up to the empty line) into a
// buffer and calls parseHttpRequest after each read; the parser says Incomplete until the
// empty line is there. Limits keep a hostile client from costing memory or time: at most
// kMaxRequestHeadBytes of head and kMaxRequestHeaders fields. Folded continuation lines are
// joined to the previous field; an empty field name or a line without a colon is an error.
//
// Threads: plain functions; callable from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morlanex {

inline constexpr size_t kMaxRequestHeadBytes = 8192;
inline constexpr size_t kMaxRequestHeaders = 64;
// Upper bound of a request body a server reads (and discards) before answering.
inline constexpr size_t kMaxRequestBodyBytes = 64 * 1024;

struct HttpRequest {
    std::string method;
    std::string target;
    int versionMinor = 0;  // HTTP/1.<minor>
    std::vector<std::pair<std::string, std::string>> headers;

    // First field called `name` (case-insensitive); empty when absent.
    std::string_view header(std::string_view name) const;
    // Every field called `name`, in order (Pragma comes several times).
    std::vector<std::string_view> headers_named(std::string_view name) const;
};

enum class HttpParse {
    Incomplete,
    Complete,
    Error,  // malformed
    TooLarge,  // no end of the head within kMaxRequestHeadBytes
};

// Parses the head at the start of `buffer`. On Complete, `*headBytes` is the length of the
// head including its empty line. `previousSize` is the buffer size at the last Incomplete
// call, so only the new bytes are searched for the end of the head.
HttpParse parseHttpRequest(std::string_view buffer, size_t previousSize, HttpRequest *request, size_t *headBytes);

// The body length its Content-Length fields name: 0 without any, nullopt when they disagree
// or do not parse (RFC 9110 8.6), so the request's end cannot be known.
std::optional<size_t> contentLength(const HttpRequest &request);

bool equalsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace morlanex
