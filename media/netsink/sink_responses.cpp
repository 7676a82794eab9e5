#include "media/netsink/sink_responses.h"

namespace morlanex {
namespace {

std::string windowsMediaFields(uint32_t clientId) {
    std::string s = "Server: ";
    s += kServerToken;
    s += "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n";
    if (clientId != 0) s += "Pragma: client-id=" + std::to_string(clientId) + "\r\n";
    return s;
}

}  // namespace

const char *reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Content Too Large";
    case 429:
        return "Too Many Requests";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

std::string plainStreamHead() {
    return std::string("HTTP/1.0 200 OK\r\nServer: ") + kServerToken +
        "\r\nContent-Type: video/x-ms-asf\r\nCache-Control: no-cache\r\nPragma: no-cache\r\nConnection: close\r\n\r\n";
}

std::string mediaStreamHead(const std::string &contentType) {
    return std::string("HTTP/1.0 200 OK\r\nServer: ") + kServerToken + "\r\nContent-Type: " + contentType +
        "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
}

std::string pageHead(const std::string &contentType, size_t bodyBytes, int maxAgeSeconds,
                     std::string_view extraFields) {
    const std::string cache = maxAgeSeconds > 0 ? "max-age=" + std::to_string(maxAgeSeconds) : "no-cache";
    return std::string("HTTP/1.0 200 OK\r\nServer: ") + kServerToken + "\r\nContent-Type: " + contentType +
        "\r\nContent-Length: " + std::to_string(bodyBytes) + "\r\nCache-Control: " + cache +
        "\r\nX-Content-Type-Options: nosniff\r\n" + std::string(extraFields) + "Connection: close\r\n\r\n";
}

std::string pageResponse(const std::string &contentType, const std::string &body, bool headOnly, int maxAgeSeconds,
                         std::string_view extraFields) {
    std::string s = pageHead(contentType, body.size(), maxAgeSeconds, extraFields);
    if (!headOnly) s += body;
    return s;
}

std::string describeHead(uint32_t clientId, size_t framedHeaderBytes) {
    return "HTTP/1.0 200 OK\r\n" + windowsMediaFields(clientId) +
        "Pragma: features=\"broadcast\"\r\nContent-Type: application/vnd.ms.wms-hdr.asfv1\r\nContent-Length: " +
        std::to_string(framedHeaderBytes) + "\r\nConnection: close\r\n\r\n";
}

std::string playHead(uint32_t clientId, bool resetSession) {
    return "HTTP/1.0 200 OK\r\n" + windowsMediaFields(clientId) + (resetSession ? "Pragma: xResetStrm=1\r\n" : "") +
        "Pragma: features=\"broadcast\"\r\nContent-Type: application/x-mms-framed\r\nConnection: close\r\n\r\n";
}

std::string statusResponse(int status, bool windowsMedia, uint32_t clientId, bool headOnly) {
    std::string body;
    if (status >= 400) body = std::string(reasonPhrase(status)) + "\n";
    if (status == 503) body = "The channel is busy; try again shortly.\n";
    if (status == 204) body.clear();
    std::string s = "HTTP/1.0 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
    if (windowsMedia)
        s += windowsMediaFields(clientId);
    else
        s += std::string("Server: ") + kServerToken + "\r\nCache-Control: no-cache\r\n";
    if (status == 503) s += "Retry-After: 5\r\n";
    if (status == 405) s += "Allow: GET, HEAD" + std::string(windowsMedia ? ", POST" : "") + "\r\n";
    if (!body.empty()) s += "Content-Type: text/plain\r\n";
    if (status != 204) s += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    s += "Connection: close\r\n\r\n";
    if (!headOnly) s += body;
    return s;
}

}  // namespace morlanex
