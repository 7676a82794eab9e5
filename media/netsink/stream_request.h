// Public header file.
//
// StreamRequest: decides what a parsed HTTP request asks of the network sink.
//
// Windows Media clients (User-Agent token NSPlayer, NSServer or WMCacheProxy) speak the framed
// streaming protocol: a GET without "xPlayStrm=1" in its Pragma fields is a Describe (header
// only), with it a Play (header then live data); their POSTs (log, keep-alive, stream
// selection) are acknowledged with an empty answer. Every other client gets plain progressive
// ASF on GET. Unknown Pragma tokens are ignored, as the protocol demands. A stream selection
// (stream-switch-entry) is read for the sink to honour where it can.
//
// Threads: plain functions; callable from any thread.
#pragma once

#include "common/language_choice.h"
#include "net/http_request.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace morlanex {

enum class RequestKind {
    PlainStream,  // GET/HEAD by an ordinary HTTP client
    Describe,  // Windows Media client: header only
    Play,  // Windows Media client: header and live data
    LogPost,  // Windows Media client log: 204
    ControlPost,  // keep-alive, stream selection, stop and other control messages: 200
    Options,  // OPTIONS (keep-alive in pipelined mode, or a plain probe): 200
    NotFound,  // not the stream's path (the sink may serve something else there)
    MethodNotAllowed,  // plain client with another method than GET/HEAD
    TooLarge,  // a body over kMaxRequestBodyBytes: 413
    BadRequest,  // a request the sink cannot serve (also conflicting Content-Length)
};

struct StreamRequest {
    RequestKind kind = RequestKind::BadRequest;
    bool headOnly = false;  // HEAD: answer without a body
    bool windowsMedia = false;
    uint32_t clientId = 0;  // Pragma client-id from the request, 0 when absent
    size_t bodyBytes = 0;  // Content-Length the sink must read past before answering
    bool expectContinue = false;  // "Expect: 100-continue": the client waits for 100 before its body
    bool getOrHead = false;  // the method is GET or HEAD
    std::string method;
    std::string path;  // of a NotFound or Options request: the target's path, without its query
    UiLanguage language = UiLanguage::TraditionalChinese;  // of a NotFound request: its Accept-Language
    // Pragma stream-switch-entry of a Windows Media client: bit n set for stream n asked for
    // (thinning other than "off"). Without the pragma every stream is.
    bool selectsStreams = false;
    uint32_t streamsWanted = 0;
};

bool isWindowsMediaUserAgent(std::string_view userAgent);

// `streamPath` is the path the stream is served on ("/" by default); a query is ignored.
StreamRequest classifyRequest(const HttpRequest &request, std::string_view streamPath);

}  // namespace morlanex
