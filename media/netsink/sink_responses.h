// Internal header file.
//
// The HTTP response heads of the network sink. All answers are HTTP/1.0 with
// "Connection: close": the sink never keeps a connection for a second request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morlanex {

// Server token of a live encoder; Windows Media clients send no extra requests for it.
inline constexpr const char *kServerToken = "Rex/9.0.0.2837";

// Plain progressive ASF for ordinary HTTP clients (no length: the stream runs until closed).
// The reason phrase of an HTTP status we answer with ("Error" for others).
const char *reasonPhrase(int status);
std::string plainStreamHead();

// A further live stream of `contentType` (no length: the stream runs until closed).
std::string mediaStreamHead(const std::string &contentType);

// A fixed page or piece of a stream, complete with its body (none for HEAD), how long a
// cache may keep it (0: not at all) and further header fields (each ended by CR LF).
std::string pageResponse(const std::string &contentType, const std::string &body, bool headOnly, int maxAgeSeconds = 0,
                         std::string_view extraFields = {});
// The head alone of such an answer, whose body of `bodyBytes` follows from elsewhere.
std::string pageHead(const std::string &contentType, size_t bodyBytes, int maxAgeSeconds,
                     std::string_view extraFields = {});

// Windows Media Describe ($H only, so with its length) and Play ($H then $D, no length).
// `resetSession` adds "xResetStrm=1" when the request named a session the sink does not know.
std::string describeHead(uint32_t clientId, size_t framedHeaderBytes);
std::string playHead(uint32_t clientId, bool resetSession);

// Complete short answers with an empty or short text body: 200, 204, 400, 404, 405, 408, 413, 503.
std::string statusResponse(int status, bool windowsMedia, uint32_t clientId, bool headOnly);

}  // namespace morlanex
