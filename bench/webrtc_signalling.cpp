#include "webrtc_signalling.h"

#include "net/socket.h"
#include "net/udp_socket.h"
#include "webrtc/sdp.h"

#include <arpa/inet.h>
#include <cstring>
#include <sstream>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace morlanex::bench {
namespace {

struct Reply {
    int status = 0;
    std::string head, body;
};

// One request, Connection: close, the reply read to its end; status 0 when the server is gone.
// `source`: the loopback address to send from (0: the default).
Reply httpRequest(uint16_t port, const std::string &method, const std::string &path, const std::string &body,
                  const std::string &type, uint32_t source = 0) {
    Reply r;
    const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (source) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(source);
        ::bind(fd.get(), reinterpret_cast<sockaddr *>(&from), sizeof from);
    }
    timeval timeout{35, 0};  // Janus holds a long poll for 30 s
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return r;
    std::string text = method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!body.empty() || method == "POST")
        text += "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    text += "\r\n" + body;
    for (size_t sent = 0; sent < text.size();) {
        const ssize_t n = ::send(fd.get(), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return r;
        sent += size_t(n);
    }
    std::string all;
    char chunk[16384];
    for (ssize_t n; (n = ::recv(fd.get(), chunk, sizeof chunk, 0)) > 0;) all.append(chunk, size_t(n));
    const size_t end = all.find("\r\n\r\n");
    if (end == std::string::npos || all.size() < 12) return r;
    r.status = std::atoi(all.c_str() + 9);
    r.head = all.substr(0, end);
    r.body = all.substr(end + 4);
    return r;
}

// What a viewer needs of the server's SDP (offer or answer).
struct RemoteSdp {
    std::string ufrag, password, algorithm, fingerprint;
    sockaddr_in candidate{};
    int videoPt = -1, audioPt = -1;
    std::string videoMid, audioMid;
};

bool readRemote(const std::string &sdp, RemoteSdp *out, std::string *error) {
    std::istringstream in(sdp);
    std::string kind;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto value = [&](const char *prefix) { return line.substr(std::strlen(prefix)); };
        if (line.starts_with("m=")) {
            kind = line.substr(2, line.find(' ') - 2);
            std::istringstream m(line);
            std::string skip, pt;
            m >> skip >> skip >> skip >> pt;
            if (kind == "video" && out->videoPt < 0) out->videoPt = std::atoi(pt.c_str());
            if (kind == "audio" && out->audioPt < 0) out->audioPt = std::atoi(pt.c_str());
        } else if (line.starts_with("a=mid:")) {
            (kind == "video" ? out->videoMid : out->audioMid) = value("a=mid:");
        } else if (line.starts_with("a=ice-ufrag:")) {
            out->ufrag = value("a=ice-ufrag:");
        } else if (line.starts_with("a=ice-pwd:")) {
            out->password = value("a=ice-pwd:");
        } else if (line.starts_with("a=fingerprint:")) {
            std::istringstream f(value("a=fingerprint:"));
            f >> out->algorithm >> out->fingerprint;
            for (char &c : out->algorithm) c = char(std::tolower(static_cast<unsigned char>(c)));
        } else if (line.starts_with("a=candidate:") && out->candidate.sin_family == 0) {
            // foundation component transport priority address port typ host
            std::istringstream c(value("a=candidate:"));
            std::string foundation, component, transport, priority, address, port;
            c >> foundation >> component >> transport >> priority >> address >> port;
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(uint16_t(std::atoi(port.c_str())));
            if ((transport == "udp" || transport == "UDP") && ::inet_pton(AF_INET, address.c_str(), &a.sin_addr) == 1)
                out->candidate = a;
        }
    }
    if (out->ufrag.empty() || out->password.empty() || out->fingerprint.empty())
        return *error = "the server's SDP has no ICE credentials or fingerprint", false;
    if (out->candidate.sin_family != AF_INET) return *error = "the server's SDP has no IPv4 UDP candidate", false;
    return true;
}

// The viewer's socket and credentials, and what the server said, into `setup`.
bool prepare(ViewerSetup *setup, const std::string &address, std::string *error) {
    UniqueFd fd = openUdpSocket(address, 0, error);
    if (!fd) return false;
    setup->fd = fd.release();
    setup->localUfrag = webrtc::makeIceUfrag();
    setup->localPassword = webrtc::makeIcePassword();
    return true;
}

void adopt(const RemoteSdp &r, ViewerSetup *setup) {
    setup->remoteUfrag = r.ufrag;
    setup->remotePassword = r.password;
    setup->fingerprintAlgorithm = r.algorithm;
    setup->fingerprint = r.fingerprint;
    setup->remote = r.candidate;
    if (r.videoPt >= 0) setup->videoPayloadType = r.videoPt;
    if (r.audioPt >= 0) setup->audioPayloadType = r.audioPt;
}

std::string jsonEscape(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' || c == '\\')
            out += '\\', out += c;
        else
            out += c;
    }
    return out;
}

// The value of the first "key" in `json` at or after `from`: a number or a string, unescaped.
std::string jsonValue(const std::string &json, const std::string &key, size_t from = 0) {
    size_t at = json.find("\"" + key + "\"", from);
    if (at == std::string::npos) return {};
    at = json.find(':', at);
    if (at == std::string::npos) return {};
    at = json.find_first_not_of(" \t\r\n", at + 1);
    if (at == std::string::npos) return {};
    std::string out;
    if (json[at] != '"') {
        while (at < json.size() && (std::isdigit(static_cast<unsigned char>(json[at])) || json[at] == '-'))
            out += json[at++];
        return out;
    }
    for (++at; at < json.size() && json[at] != '"'; ++at) {
        if (json[at] != '\\' || at + 1 == json.size()) {
            out += json[at];
            continue;
        }
        const char e = json[++at];
        out += e == 'r' ? '\r' : e == 'n' ? '\n' : e == 't' ? '\t' : e;
    }
    return out;
}

std::string answerTo(const RemoteSdp &offer, const ViewerSetup &s, const webrtc::DtlsContext &identity,
                     const std::string &address, uint16_t port) {
    const std::string common = "c=IN IP4 " + address + "\r\na=ice-ufrag:" + s.localUfrag + "\r\na=ice-pwd:" + s.localPassword +
        "\r\na=fingerprint:sha-256 " + identity.fingerprint() +
        "\r\na=setup:active\r\na=recvonly\r\na=rtcp-mux\r\n"
        "a=candidate:1 1 udp 2130706431 " + address + " " + std::to_string(port) + " typ host\r\na=end-of-candidates\r\n";
    std::string sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE " + offer.audioMid + " " +
        offer.videoMid + "\r\n";
    sdp += "m=audio " + std::to_string(port) + " UDP/TLS/RTP/SAVPF " + std::to_string(offer.audioPt) + "\r\n" +
        common + "a=mid:" + offer.audioMid + "\r\na=rtpmap:" + std::to_string(offer.audioPt) + " opus/48000/2\r\n";
    sdp += "m=video " + std::to_string(port) + " UDP/TLS/RTP/SAVPF " + std::to_string(offer.videoPt) + "\r\n" +
        common + "a=mid:" + offer.videoMid + "\r\na=rtpmap:" + std::to_string(offer.videoPt) + " VP8/90000\r\n";
    return sdp;
}

}  // namespace

bool WhepSignalling::join(const webrtc::DtlsContext &identity, ViewerSetup *setup, std::string *error) {
    if (!prepare(setup, "127.0.0.1", error)) return false;
    const std::string common = "c=IN IP4 0.0.0.0\r\na=ice-ufrag:" + setup->localUfrag + "\r\na=ice-pwd:" +
        setup->localPassword + "\r\na=fingerprint:sha-256 " + identity.fingerprint() +
        "\r\na=setup:actpass\r\na=recvonly\r\na=rtcp-mux\r\n";
    const std::string offer = "v=0\r\no=- 1 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0 1\r\n"
                              "m=audio 9 UDP/TLS/RTP/SAVPF 111\r\n" +
        common + "a=mid:0\r\na=rtpmap:111 opus/48000/2\r\nm=video 9 UDP/TLS/RTP/SAVPF 96\r\n" + common +
        "a=mid:1\r\na=rtpmap:96 VP8/90000\r\na=rtcp-fb:96 nack pli\r\n";
    // Each from an address of its own, as viewers are: the sink limits sessions being set up per address.
    const uint32_t source = 0x7f010001 + uint32_t(joins_++ % 60000);
    const Reply r = httpRequest(port_, "POST", "/whep", offer, "application/sdp", source);
    if (r.status != 201) return *error = "WHEP answered " + std::to_string(r.status) + ": " + r.body, false;
    RemoteSdp answer;
    if (!readRemote(r.body, &answer, error)) return false;
    adopt(answer, setup);
    setup->videoPayloadType = 96;  // ours: the answer keeps the offer's
    setup->audioPayloadType = 111;
    setup->controlling = true;
    return true;
}

bool JanusSignalling::post(const std::string &path, const std::string &json, std::string *reply, std::string *error) {
    const Reply r = httpRequest(port_, "POST", path, json, "application/json");
    *reply = r.body;
    if (r.status == 200 && jsonValue(r.body, "janus") != "error") return true;
    *error = "Janus answered " + std::to_string(r.status) + ": " + r.body.substr(0, 200);
    return false;
}

bool JanusSignalling::join(const webrtc::DtlsContext &identity, ViewerSetup *setup, std::string *error) {
    const auto tx = [this] { return "\"transaction\":\"t" + std::to_string(++transaction_) + "\""; };
    std::string reply;
    if (!post("/janus", "{\"janus\":\"create\"," + tx() + "}", &reply, error)) return false;
    const std::string sessionPath = "/janus/" + jsonValue(reply, "id");
    if (!post(sessionPath, "{\"janus\":\"attach\",\"plugin\":\"janus.plugin.streaming\"," + tx() + "}", &reply, error))
        return false;
    const std::string handle = jsonValue(reply, "id");
    const std::string handlePath = sessionPath + "/" + handle;
    if (!post(handlePath,
              "{\"janus\":\"message\",\"body\":{\"request\":\"watch\",\"id\":" + std::to_string(mountpoint_) + "}," +
                  tx() + "}",
              &reply, error))
        return false;
    // The offer comes as an event of this handle.
    std::string offerSdp = jsonValue(reply, "sdp");
    for (int polls = 0; offerSdp.empty() && polls < 20; ++polls) {
        const Reply event = httpRequest(port_, "GET", sessionPath + "?maxev=1", "", "");
        if (event.status != 200) return *error = "Janus long poll failed", false;
        if (jsonValue(event.body, "sender") == handle) offerSdp = jsonValue(event.body, "sdp");
    }
    if (offerSdp.empty()) return *error = "Janus sent no offer", false;
    RemoteSdp offer;
    // Janus gathers on the machine's interfaces, not loopback: the viewer sits on the same address.
    char address[INET_ADDRSTRLEN] = "";
    if (!readRemote(offerSdp, &offer, error) ||
        !::inet_ntop(AF_INET, &offer.candidate.sin_addr, address, sizeof address) || !prepare(setup, address, error))
        return false;
    if (offer.videoPt < 0 || offer.audioPt < 0) return *error = "Janus offered no audio and video", false;
    adopt(offer, setup);
    setup->controlling = false;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(setup->fd, reinterpret_cast<sockaddr *>(&local), &len);
    const std::string answer = answerTo(offer, *setup, identity, address, ntohs(local.sin_port));
    return post(handlePath,
                "{\"janus\":\"message\",\"body\":{\"request\":\"start\"},\"jsep\":{\"type\":\"answer\",\"sdp\":\"" +
                    jsonEscape(answer) + "\",\"trickle\":false}," + tx() + "}",
                &reply, error);
}

}  // namespace morlanex::bench
