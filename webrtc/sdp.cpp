#include "webrtc/sdp.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include <openssl/rand.h>

namespace morlanex::webrtc {

namespace {

// The feedback we act on, in the order the answer lists them.
constexpr std::string_view AnsweredFeedback[] = {"nack", "nack pli", "ccm fir", "goog-remb"};

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

// Splits "head rest" at the first space; rest is empty when there is none.
std::pair<std::string_view, std::string_view> splitWord(std::string_view s) {
    const auto space = s.find(' ');
    if (space == std::string_view::npos) return {s, {}};
    return {s.substr(0, space), trim(s.substr(space + 1))};
}

int toPayloadType(std::string_view s) {
    if (s.empty() || s.size() > 3) return -1;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v <= 127 ? v : -1;
}

// What an m-section says about each payload type, gathered before one is chosen.
struct Section {
    OfferedMedia media;
    std::vector<std::pair<int, std::string>> rtpmaps, fmtps, feedback;
};

bool wanted(const OfferedMedia &m, std::string_view rtpmap) {
    if (m.kind == "video") return equalsNoCase(rtpmap, "VP8/90000");
    if (m.kind == "audio") return equalsNoCase(rtpmap, "opus/48000/2");
    return false;
}

void choosePayloadType(Section &s) {
    OfferedMedia &m = s.media;
    if (m.protocol.find("RTP/") == std::string::npos) return;
    std::string_view formats = m.formats;
    while (!formats.empty() && m.payloadType < 0) {
        auto [word, rest] = splitWord(formats);
        formats = rest;
        const int pt = toPayloadType(word);
        for (const auto &[mapped, rtpmap] : s.rtpmaps)
            if (pt >= 0 && mapped == pt && wanted(m, rtpmap)) {
                m.payloadType = pt;
                m.rtpmap = rtpmap;
            }
    }
    if (m.payloadType < 0) return;
    for (const auto &[pt, fmtp] : s.fmtps)
        if (pt == m.payloadType) m.fmtp = fmtp;
    for (const auto &[pt, fb] : s.feedback)
        if ((pt == m.payloadType || pt == -2) &&
            std::find(m.feedback.begin(), m.feedback.end(), fb) == m.feedback.end())
            m.feedback.push_back(fb);
}

}  // namespace

const OfferedMedia *Offer::video() const {
    for (const OfferedMedia &m : media)
        if (m.kind == "video" && m.usable()) return &m;
    return nullptr;
}

const OfferedMedia *Offer::audio() const {
    for (const OfferedMedia &m : media)
        if (m.kind == "audio" && m.usable()) return &m;
    return nullptr;
}

Expected<Offer, SdpError> parseOffer(std::string_view text) {
    if (text.size() > MaxOfferSize) return Unexpected{SdpError{"offer is larger than 64 KiB"}};
    Offer offer;
    std::vector<Section> sections;
    bool first = true;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        if (line.size() < 2 || line[1] != '=' || !std::islower(static_cast<unsigned char>(line[0])))
            return Unexpected{SdpError{"not SDP: a line is not \"x=value\""}};
        if (first && line != "v=0") return Unexpected{SdpError{"not SDP: it does not start with v=0"}};
        first = false;
        const char type = line[0];
        const std::string_view value = line.substr(2);
        if (type == 'm') {
            Section s;
            auto [kind, rest] = splitWord(value);
            auto [port, rest2] = splitWord(rest);
            auto [protocol, formats] = splitWord(rest2);
            if (kind.empty() || port.empty() || protocol.empty())
                return Unexpected{SdpError{"not SDP: malformed m-line"}};
            s.media.kind = kind;
            s.media.protocol = protocol;
            s.media.formats = formats;
            s.media.direction = "sendrecv";
            sections.push_back(std::move(s));
            continue;
        }
        if (type != 'a') continue;
        const auto colon = value.find(':');
        const std::string_view name = value.substr(0, colon);
        const std::string_view arg =
            colon == std::string_view::npos ? std::string_view{} : trim(value.substr(colon + 1));
        if (name == "ice-ufrag" && offer.iceUfrag.empty())
            offer.iceUfrag = arg;
        else if (name == "ice-pwd" && offer.icePassword.empty())
            offer.icePassword = arg;
        else if (name == "fingerprint" && offer.fingerprint.empty()) {
            auto [algorithm, hex] = splitWord(arg);
            offer.fingerprintAlgorithm = algorithm;
            std::transform(offer.fingerprintAlgorithm.begin(), offer.fingerprintAlgorithm.end(),
                           offer.fingerprintAlgorithm.begin(), [](unsigned char c) { return char(std::tolower(c)); });
            offer.fingerprint = hex;
        } else if (name == "setup" && offer.setup.empty())
            offer.setup = arg;
        else if (name == "group") {
            auto [semantics, mids] = splitWord(arg);
            if (semantics == "BUNDLE" && offer.bundle.empty())
                while (!mids.empty()) {
                    auto [mid, rest] = splitWord(mids);
                    offer.bundle.emplace_back(mid);
                    mids = rest;
                }
        }
        if (sections.empty()) continue;
        Section &s = sections.back();
        if (name == "mid")
            s.media.mid = arg;
        else if (name == "recvonly" || name == "sendrecv" || name == "sendonly" || name == "inactive")
            s.media.direction = name;
        else if (name == "rtcp-mux")
            s.media.rtcpMux = true;
        else if (name == "rtpmap" || name == "fmtp" || name == "rtcp-fb") {
            auto [pt, rest] = splitWord(arg);
            const int number = pt == "*" ? -2 : toPayloadType(pt);
            if (number == -1 || rest.empty()) continue;
            auto &list = name == "rtpmap" ? s.rtpmaps : name == "fmtp" ? s.fmtps : s.feedback;
            list.emplace_back(number, std::string(rest));
        }
    }
    if (first) return Unexpected{SdpError{"not SDP: empty"}};
    for (Section &s : sections) {
        choosePayloadType(s);
        offer.media.push_back(std::move(s.media));
    }
    if (!offer.video() && !offer.audio())
        return Unexpected{SdpError{"the offer receives neither VP8 video nor Opus audio"}};
    if (offer.iceUfrag.empty() || offer.icePassword.empty())
        return Unexpected{SdpError{"the offer has no ICE ufrag or password"}};
    if (offer.fingerprint.empty()) return Unexpected{SdpError{"the offer has no DTLS fingerprint"}};
    if (offer.setup == "passive") return Unexpected{SdpError{"the offer's DTLS role is passive, as ours is"}};
    for (const OfferedMedia *m : {offer.video(), offer.audio()}) {
        if (!m) continue;
        if (!m->rtcpMux) return Unexpected{SdpError{"the offer's " + m->kind + " has no rtcp-mux"}};
        if (offer.video() && offer.audio() &&
            std::find(offer.bundle.begin(), offer.bundle.end(), m->mid) == offer.bundle.end())
            return Unexpected{SdpError{"the offer's " + m->kind + " is not in its BUNDLE group"}};
    }
    return offer;
}

std::string buildAnswer(const Offer &offer, const AnswerParameters &p) {
    const OfferedMedia *video = offer.video();
    const OfferedMedia *audio = offer.audio();
    const std::string family = p.address.find(':') != std::string::npos ? "IP6 " : "IP4 ";
    const std::string port = std::to_string(p.port);
    std::string a;
    a += "v=0\r\no=- " + std::to_string(p.sessionId) + " 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";
    a += "a=group:BUNDLE";
    for (const OfferedMedia &m : offer.media)
        if (&m == video || &m == audio) a += " " + m.mid;
    a += "\r\na=ice-lite\r\na=msid-semantic: WMS morlanex\r\n";
    for (const OfferedMedia &m : offer.media) {
        if (&m != video && &m != audio) {
            a += "m=" + m.kind + " 0 " + m.protocol + " " + m.formats + "\r\n";
            a += "c=IN IP4 0.0.0.0\r\n";
            if (!m.mid.empty()) a += "a=mid:" + m.mid + "\r\n";
            a += "a=inactive\r\n";
            continue;
        }
        const std::string pt = std::to_string(m.payloadType);
        const std::uint32_t ssrc = &m == video ? p.videoSsrc : p.audioSsrc;
        a += "m=" + m.kind + " " + port + " " + m.protocol + " " + pt + "\r\n";
        a += "c=IN " + family + p.address + "\r\n";
        a += "a=mid:" + m.mid + "\r\n";
        a += "a=ice-ufrag:" + p.iceUfrag + "\r\na=ice-pwd:" + p.icePassword + "\r\n";
        a += "a=fingerprint:sha-256 " + p.fingerprint + "\r\na=setup:passive\r\n";
        a += "a=candidate:1 1 udp 2130706431 " + p.address + " " + port + " typ host\r\n";
        if (!p.announcedAddress.empty() && p.announcedPort != 0 &&
            (p.announcedAddress != p.address || p.announcedPort != p.port))
            a += "a=candidate:2 1 udp 1694498815 " + p.announcedAddress + " " + std::to_string(p.announcedPort) +
                " typ srflx raddr " + p.address + " rport " + port + "\r\n";
        a += "a=end-of-candidates\r\na=sendonly\r\na=rtcp-mux\r\n";
        a += "a=rtpmap:" + pt + " " + m.rtpmap + "\r\n";
        if (!m.fmtp.empty()) a += "a=fmtp:" + pt + " " + m.fmtp + "\r\n";
        for (std::string_view fb : AnsweredFeedback)
            if (std::find(m.feedback.begin(), m.feedback.end(), fb) != m.feedback.end())
                a += "a=rtcp-fb:" + pt + " " + std::string(fb) + "\r\n";
        const std::string s = std::to_string(ssrc);
        a += "a=msid:morlanex " + m.kind + "\r\n";
        a += "a=ssrc:" + s + " cname:" + p.cname + "\r\n";
        a += "a=ssrc:" + s + " msid:morlanex " + m.kind + "\r\n";
    }
    return a;
}

namespace {

std::string randomIceText(std::size_t size) {
    static constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    unsigned char bytes[64];
    if (size > sizeof bytes || RAND_bytes(bytes, int(size)) != 1)
        return {};  // only when the system has no entropy; the caller's session then fails
    std::string text(size, ' ');
    for (std::size_t i = 0; i < size; ++i) text[i] = Alphabet[bytes[i] & 63];
    return text;
}

}  // namespace

std::string makeIceUfrag() { return randomIceText(8); }
std::string makeIcePassword() { return randomIceText(24); }

}  // namespace morlanex::webrtc
