#include "media/netsink/stream_request.h"

#include <charconv>

namespace morlanex {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

struct Pragmas {
    bool playStream = false, playNextEntry = false, logLine = false;
    uint32_t clientId = 0;
    bool selectsStreams = false;
    uint32_t streamsWanted = 0;
};

// "ffff:<stream>:<thinning> ...", hexadecimal; thinning 2 switches the stream off.
void readStreamSelection(std::string_view value, Pragmas &p) {
    p.selectsStreams = true;
    while (!value.empty()) {
        const size_t space = value.find(' ');
        const std::string_view entry = value.substr(0, space);
        value = space == std::string_view::npos ? std::string_view{} : value.substr(space + 1);
        const size_t first = entry.find(':'), second = entry.find(':', first == std::string_view::npos ? 0 : first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) continue;
        uint32_t stream = 0, thinning = 0;
        const auto a = std::from_chars(entry.data() + first + 1, entry.data() + second, stream, 16);
        const auto b = std::from_chars(entry.data() + second + 1, entry.data() + entry.size(), thinning, 16);
        if (a.ec != std::errc() || b.ec != std::errc() || stream == 0 || stream > 31) continue;
        if (thinning != 2) p.streamsWanted |= 1u << stream;
    }
}

// Pragma fields: comma-separated tokens, each `name` or `name=value`.
Pragmas readPragmas(const HttpRequest &r) {
    Pragmas p;
    for (std::string_view line : r.headers_named("Pragma")) {
        while (!line.empty()) {
            const size_t comma = line.find(',');
            const std::string_view token = trim(line.substr(0, comma));
            line = comma == std::string_view::npos ? std::string_view{} : line.substr(comma + 1);
            const size_t eq = token.find('=');
            const std::string_view name = trim(token.substr(0, eq));
            const std::string_view value =
                eq == std::string_view::npos ? std::string_view{} : trim(token.substr(eq + 1));
            if (equalsIgnoreCase(name, "xPlayStrm"))
                p.playStream = value == "1";
            else if (equalsIgnoreCase(name, "xPlayNextEntry"))
                p.playNextEntry = value == "1";
            else if (equalsIgnoreCase(name, "log-line"))
                p.logLine = true;
            else if (equalsIgnoreCase(name, "stream-switch-entry"))
                readStreamSelection(value, p);
            else if (equalsIgnoreCase(name, "client-id")) {
                uint32_t id = 0;
                const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), id);
                if (ec == std::errc() && end == value.data() + value.size()) p.clientId = id;
            }
        }
    }
    return p;
}

// The path part of an origin-form or absolute-form target, without its query.
std::string_view targetPath(std::string_view target) {
    if (const size_t scheme = target.find("://"); scheme != std::string_view::npos && target.front() != '/') {
        target.remove_prefix(scheme + 3);
        const size_t slash = target.find('/');
        target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    }
    return target.substr(0, target.find('?'));
}

}  // namespace

bool isWindowsMediaUserAgent(std::string_view ua) {
    const std::string_view token = ua.substr(0, ua.find('/'));
    if (token.size() == ua.size()) return false;
    return equalsIgnoreCase(token, "NSPlayer") || equalsIgnoreCase(token, "NSServer") ||
        equalsIgnoreCase(token, "WMCacheProxy");
}

StreamRequest classifyRequest(const HttpRequest &r, std::string_view streamPath) {
    StreamRequest s;
    s.windowsMedia = isWindowsMediaUserAgent(r.header("User-Agent"));
    const std::optional<size_t> bodyBytes = contentLength(r);
    if (!r.header("Transfer-Encoding").empty() || !bodyBytes) {
        s.kind = RequestKind::BadRequest;
        return s;
    }
    s.bodyBytes = *bodyBytes;
    if (s.bodyBytes > kMaxRequestBodyBytes) {
        s.kind = RequestKind::TooLarge;
        return s;
    }
    s.expectContinue = s.bodyBytes > 0 && r.versionMinor >= 1 && equalsIgnoreCase(r.header("Expect"), "100-continue");
    const bool get = r.method == "GET", head = r.method == "HEAD";
    s.headOnly = head;
    s.method = r.method;
    s.getOrHead = get || head;
    if (r.method == "OPTIONS") {
        s.kind = RequestKind::Options;
        s.path = targetPath(r.target);
        return s;
    }
    if (targetPath(r.target) != streamPath) {
        s.kind = RequestKind::NotFound;
        s.path = targetPath(r.target);
        s.language = languageFromAcceptLanguage(r.header("Accept-Language"));  // for a page there
        return s;
    }
    if (!s.windowsMedia) {
        s.kind = get || head ? RequestKind::PlainStream : RequestKind::MethodNotAllowed;
        return s;
    }
    const Pragmas p = readPragmas(r);
    s.clientId = p.clientId;
    s.selectsStreams = p.selectsStreams;
    s.streamsWanted = p.streamsWanted;
    if (r.method == "POST") {
        const bool log = p.logLine || equalsIgnoreCase(r.header("Content-Type"), "application/x-wms-LogStats");
        s.kind = log ? RequestKind::LogPost : RequestKind::ControlPost;
    } else if (!get && !head) {
        s.kind = RequestKind::MethodNotAllowed;
    } else if (p.playNextEntry) {
        s.kind = RequestKind::BadRequest;  // only in pipelined mode, which is never offered
    } else if (p.playStream) {
        s.kind = RequestKind::Play;
    } else {
        s.kind = RequestKind::Describe;
    }
    return s;
}

}  // namespace morlanex
