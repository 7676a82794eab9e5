// whep-play: an independent WebRTC viewer (GStreamer's webrtcbin) that plays a WHEP resource
// until it has decoded picture and sound, then leaves. Exit 0 when it has, 1 when not in time,
// 2 for bad arguments or a refused offer. Usage:
//   whep-play http://HOST:PORT/whep [SECONDS] [LOCAL_ADDRESS]
// Prints one line: "video N audio M" (frames and buffers decoded).
#include "webrtcbin_viewer.h"

#include <arpa/inet.h>
#include <gst/gst.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>

namespace {

struct Reply {
    int status = 0;
    std::string location, body;
};

// One HTTP/1.1 exchange over a fresh connection; the answer is read to its Content-Length.
Reply exchange(const std::string &host, int port, const std::string &request) {
    Reply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (fd < 0 || ::inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        if (fd >= 0) ::close(fd);
        return reply;
    }
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += size_t(n);
    }
    std::string data;
    char buffer[4096];
    size_t headEnd = std::string::npos, wanted = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        data.append(buffer, size_t(n));
        if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
            std::smatch m;
            const std::string head = data.substr(0, headEnd);
            if (std::regex_search(head, m, std::regex("Content-Length: *([0-9]+)", std::regex::icase)))
                wanted = std::stoul(m[1]);
        }
        if (headEnd != std::string::npos && data.size() >= headEnd + 4 + wanted) break;
    }
    ::close(fd);
    std::smatch m;
    if (std::regex_search(data, m, std::regex("^HTTP/1\\.[01] ([0-9]{3})"))) reply.status = std::stoi(m[1]);
    if (std::regex_search(data, m, std::regex("\r\nLocation: *([^\r]*)", std::regex::icase))) reply.location = m[1];
    if (headEnd != std::string::npos) reply.body = data.substr(headEnd + 4);
    return reply;
}

}  // namespace

int main(int argc, char **argv) {
    std::smatch url;
    const std::string address = argc > 1 ? argv[1] : "";
    if (!std::regex_match(address, url, std::regex("http://([0-9.]+):([0-9]+)(/.*)"))) {
        std::fprintf(stderr, "usage: whep-play http://HOST:PORT/whep [SECONDS] [LOCAL_ADDRESS]\n");
        return 2;
    }
    const std::string host = url[1], path = url[3];
    const int port = std::stoi(url[2]);
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
    gst_init(&argc, &argv);
    morlanex::testing::WebrtcbinViewer viewer(argc > 3 ? argv[3] : "");
    const std::string offer = viewer.offer();
    const Reply answer =
        exchange(host, port,
                 "POST " + path + " HTTP/1.1\r\nHost: " + host +
                     "\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(offer.size()) +
                     "\r\n\r\n" + offer);
    if (answer.status != 201 || !viewer.answer(answer.body)) {
        std::fprintf(stderr, "whep-play: the offer was answered %d: %s\n", answer.status, answer.body.c_str());
        return 2;
    }
    std::fprintf(stderr, "whep-play: answer\n%s", answer.body.c_str());
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while ((viewer.videoFrames < 30 || viewer.audioBuffers < 50) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::printf("video %d audio %d\n", viewer.videoFrames.load(), viewer.audioBuffers.load());
    if (!answer.location.empty())
        exchange(host, port, "DELETE " + answer.location + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    return viewer.videoFrames >= 30 && viewer.audioBuffers >= 50 ? 0 : 1;
}
