#include "net/http_request.h"

#include <charconv>

#include <algorithm>
#include <cctype>

namespace morlanex {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool isTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
        std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), isTokenChar); }

// Offset just past the empty line ending the head, or npos.
size_t findHeadEnd(std::string_view b, size_t from) {
    for (size_t i = from; i < b.size(); ++i) {
        if (b[i] != '\n') continue;
        if (i >= 1 && b[i - 1] == '\n') return i + 1;
        if (i >= 2 && b[i - 1] == '\r' && b[i - 2] == '\n') return i + 1;
    }
    return std::string_view::npos;
}

bool parseRequestLine(std::string_view line, HttpRequest *r) {
    const size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos) return false;
    const size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return false;
    const std::string_view method = line.substr(0, sp1), target = line.substr(sp1 + 1, sp2 - sp1 - 1),
                           version = line.substr(sp2 + 1);
    if (!isToken(method) || target.empty() || target.find(' ') != std::string_view::npos) return false;
    if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." ||
        !std::isdigit(static_cast<unsigned char>(version[7])))
        return false;
    if (std::any_of(target.begin(), target.end(),
                    [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; }))
        return false;
    r->method = method;
    r->target = target;
    r->versionMinor = version[7] - '0';
    return true;
}

}  // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view HttpRequest::header(std::string_view name) const {
    for (const auto &[n, v] : headers)
        if (equalsIgnoreCase(n, name)) return v;
    return {};
}

std::optional<size_t> contentLength(const HttpRequest &r) {
    size_t length = 0;
    bool seen = false;
    for (std::string_view field : r.headers_named("Content-Length")) {
        for (;;) {
            const size_t comma = field.find(',');
            const std::string_view v = trim(field.substr(0, comma));
            size_t n = 0;
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
            if (v.empty() || ec != std::errc() || end != v.data() + v.size() || (seen && n != length))
                return std::nullopt;
            length = n;
            seen = true;
            if (comma == std::string_view::npos) break;
            field.remove_prefix(comma + 1);
        }
    }
    return length;
}

std::vector<std::string_view> HttpRequest::headers_named(std::string_view name) const {
    std::vector<std::string_view> out;
    for (const auto &[n, v] : headers)
        if (equalsIgnoreCase(n, name)) out.push_back(v);
    return out;
}

HttpParse parseHttpRequest(std::string_view buffer, size_t previousSize, HttpRequest *request, size_t *headBytes) {
    // Clients may send empty lines before the request line (RFC 9112 2.2); skip them.
    size_t start = 0;
    while (start < buffer.size() && (buffer[start] == '\r' || buffer[start] == '\n')) ++start;
    const size_t from = std::max(start, previousSize >= 3 ? previousSize - 3 : size_t{0});
    const size_t end = findHeadEnd(buffer, from);
    if (end == std::string_view::npos || end > kMaxRequestHeadBytes)
        return buffer.size() >= kMaxRequestHeadBytes ? HttpParse::TooLarge : HttpParse::Incomplete;

    HttpRequest r;
    std::string_view head = buffer.substr(start, end - start);
    bool first = true;
    while (!head.empty()) {
        const size_t nl = head.find('\n');
        std::string_view line = head.substr(0, nl);
        head.remove_prefix(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        if (line.find('\0') != std::string_view::npos) return HttpParse::Error;
        if (first) {
            if (!parseRequestLine(line, &r)) return HttpParse::Error;
            first = false;
            continue;
        }
        if (line.front() == ' ' || line.front() == '\t') {
            if (r.headers.empty()) return HttpParse::Error;
            r.headers.back().second += ' ';
            r.headers.back().second += trim(line);
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return HttpParse::Error;
        if (r.headers.size() == kMaxRequestHeaders) return HttpParse::Error;
        r.headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
    }
    if (first) return HttpParse::Error;
    *request = std::move(r);
    *headBytes = end;
    return HttpParse::Complete;
}

}  // namespace morlanex
