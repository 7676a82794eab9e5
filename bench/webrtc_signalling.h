// How the WebRTC benchmark's viewers join: WHEP against our sink (we offer, the sink answers,
// ICE-lite), or the HTTP API of Janus's streaming plugin (a session, one handle per viewer,
// "watch": Janus offers with full ICE, we answer with our host candidate, "start"). Each
// viewer has a Janus session of its own, so that the long poll for its offer sees its events only;
// Janus is run without session timeouts.
// Both over plain blocking HTTP/1.0 on 127.0.0.1, from the load's signalling thread.
#pragma once

#include "webrtc_load.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace morlanex::bench {

class WhepSignalling final : public Signalling {
public:
    explicit WhepSignalling(uint16_t httpPort) : port_(httpPort) {}
    bool join(const webrtc::DtlsContext &identity, ViewerSetup *setup, std::string *error) override;

private:
    uint16_t port_;
    std::atomic<uint32_t> joins_{0};
};

class JanusSignalling final : public Signalling {
public:
    // `mountpoint`: the streaming plugin's mountpoint id.
    JanusSignalling(uint16_t httpPort, int mountpoint) : port_(httpPort), mountpoint_(mountpoint) {}
    bool join(const webrtc::DtlsContext &identity, ViewerSetup *setup, std::string *error) override;

private:
    bool post(const std::string &path, const std::string &json, std::string *reply, std::string *error);
    uint16_t port_;
    int mountpoint_;
    std::atomic<uint64_t> transaction_{0};
};

}  // namespace morlanex::bench
