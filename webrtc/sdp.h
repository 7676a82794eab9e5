// Public header.
//
// SDP for WHEP playback: a browser's offer (RFC 8866, JSEP) read into what the answer needs,
// and our answer built from it. The offer is a recvonly audio and video pair, BUNDLEd with
// rtcp-mux; we send VP8 video and Opus audio on the offer's payload types from an ICE-lite
// host candidate (and the router's mapped outside address beside it, when there is one), DTLS passive, and reject every other m-line (port 0) so the answer keeps the
// offer's m-line order.
//
// transport-cc is not answered: our packets carry no transport-wide sequence numbers and we
// have no sender-side estimator for its feedback, so browsers estimate on their side and send
// REMB instead.
//
// The reader refuses, with a reason text: input over 64 KiB, text that is not SDP, an offer
// with neither VP8 video nor Opus audio to receive, no ICE credentials or no fingerprint.
//
// Threads: free functions and value types; randomness from OpenSSL's generator.
//
// Example:
//   auto offer = parseOffer(body);
//   if (!offer) return reply(400, offer.error().reason);
//   AnswerParameters p{makeIceUfrag(), makeIcePassword(), certificate.fingerprint(),
//                      "192.0.2.10", udpPort, videoSsrc, audioSsrc, "morlanex", sessionId};
//   std::string answer = buildAnswer(*offer, p);
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "webrtc/expected.h"

namespace morlanex::webrtc {

inline constexpr std::size_t MaxOfferSize = 64 * 1024;

struct SdpError {
    std::string reason;
};

// What one offered m-line asks for, and the codec we would send on it.
struct OfferedMedia {
    std::string kind;  // "audio", "video", "application", ...
    std::string protocol;  // "UDP/TLS/RTP/SAVPF"
    std::string formats;  // the m-line's format list as written
    std::string mid;
    std::string direction;  // "recvonly", "sendrecv", ... ("sendrecv" when absent)
    int payloadType = -1;  // VP8 or Opus; -1 when the line offers neither (or is not RTP)
    std::string rtpmap;  // e.g. "VP8/90000", "opus/48000/2"
    std::string fmtp;  // the chosen payload type's parameters, without "a=fmtp:PT "
    std::vector<std::string> feedback;  // its rtcp-fb values ("nack", "nack pli", "goog-remb")
    bool rtcpMux = false;

    bool receives() const { return direction == "recvonly" || direction == "sendrecv"; }
    bool usable() const { return payloadType >= 0 && receives(); }
};

struct Offer {
    std::string iceUfrag;
    std::string icePassword;
    std::string fingerprintAlgorithm;  // lower case, e.g. "sha-256"
    std::string fingerprint;  // "AB:CD:..."
    std::string setup;  // "actpass", "active", ...
    std::vector<std::string> bundle;  // mids of the BUNDLE group
    std::vector<OfferedMedia> media;  // in offer order

    const OfferedMedia *video() const;  // the first usable VP8 m-line, or null
    const OfferedMedia *audio() const;  // the first usable Opus m-line, or null
};

Expected<Offer, SdpError> parseOffer(std::string_view text);

struct AnswerParameters {
    std::string iceUfrag;
    std::string icePassword;
    std::string fingerprint;  // sha-256 of our certificate, "AB:CD:..."
    std::string address;  // our host candidate's IP address
    std::uint16_t port = 0;  // and UDP port
    std::uint32_t videoSsrc = 0;
    std::uint32_t audioSsrc = 0;
    std::string cname;
    std::uint64_t sessionId = 0;
    // Behind a router that maps our port: its outside address and the port it granted, offered
    // beside the host candidate so viewers outside and on the LAN both connect. Empty: none.
    std::string announcedAddress;
    std::uint16_t announcedPort = 0;
};

std::string buildAnswer(const Offer &offer, const AnswerParameters &parameters);

// Random ICE credentials in the ice-char alphabet: 8 characters of ufrag, 24 of password
// (RFC 8839 asks for at least 4 and 22).
std::string makeIceUfrag();
std::string makeIcePassword();

}  // namespace morlanex::webrtc
