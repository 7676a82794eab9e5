#include "netsink_test_support.h"

#include "media/asf/asf_packet.h"
#include "tests/support/poll_until.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace morlanex::test {

std::vector<size_t> startPackets() {
    const RecordedAsf &s = testStream();
    std::vector<size_t> out;
    for (size_t i = 0; i < s.packets.size(); ++i)
        if (isAsfStartPoint(s.packets[i], s.info.videoStreams)) out.push_back(i);
    return out;
}

Client::Client(uint16_t port, int receiveBufferBytes, const char *sourceAddress, const char *destinationAddress) {
    fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_) return;
    if (receiveBufferBytes > 0)
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    if (sourceAddress) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, sourceAddress, &from.sin_addr);
        if (::bind(fd_.get(), reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
            ADD_FAILURE() << "cannot bind to " << sourceAddress;
            close();
            return;
        }
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (destinationAddress) ::inet_pton(AF_INET, destinationAddress, &sa.sin_addr);
    if (::connect(fd_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) close();
}

Client::~Client() { close(); }

void Client::close() { fd_.reset(); }

bool Client::send(const std::string &bytes) {
    return fd_ && ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

bool Client::readSome(std::chrono::milliseconds timeout) {
    if (!fd_ || eof_) return false;
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, int(timeout.count())) <= 0) return false;
    uint8_t buf[65536];
    const ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    auto &dst = headDone_ ? body_ : in_;
    dst.insert(dst.end(), buf, buf + n);
    return true;
}

namespace {

// The bytes the server has not read yet on its side of the loopback connection between
// `serverPort` and `clientPort`, asked of the kernel for that one socket (its whole table,
// /proc/net/tcp, is slow to read on a busy machine); 0 when the socket is gone, nullopt when
// the kernel does not answer.
std::optional<size_t> unreadByServer(uint16_t serverPort, uint16_t clientPort) {
    const UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    struct {
        nlmsghdr head;
        inet_diag_req_v2 request;
    } ask{};
    ask.head.nlmsg_len = sizeof ask;
    ask.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.head.nlmsg_flags = NLM_F_REQUEST;
    ask.request.sdiag_family = AF_INET;
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = ~0u;
    ask.request.id.idiag_sport = htons(serverPort);
    ask.request.id.idiag_dport = htons(clientPort);
    ask.request.id.idiag_src[0] = ask.request.id.idiag_dst[0] = htonl(INADDR_LOOPBACK);
    ask.request.id.idiag_cookie[0] = ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    alignas(nlmsghdr) char answer[1024];
    if (!fd || ::send(fd.get(), &ask, sizeof ask, 0) != ssize_t(sizeof ask)) return std::nullopt;
    const ssize_t n = ::recv(fd.get(), answer, sizeof answer, 0);
    const auto *head = reinterpret_cast<const nlmsghdr *>(answer);
    if (n < ssize_t(sizeof *head) || !NLMSG_OK(head, size_t(n))) return std::nullopt;
    if (head->nlmsg_type == NLMSG_ERROR) {
        const auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(head));
        return error->error == -ENOENT ? std::optional<size_t>(0) : std::nullopt;
    }
    if (head->nlmsg_type != SOCK_DIAG_BY_FAMILY || head->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return std::nullopt;
    return static_cast<const inet_diag_msg *>(NLMSG_DATA(head))->idiag_rqueue;
}

}  // namespace

bool Client::sendRead(const std::string &bytes) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int on = 1;
    if (!fd_ || ::getpeername(fd_.get(), reinterpret_cast<sockaddr *>(&peer), &length) != 0 ||
        ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 || !send(bytes))
        return false;
    const uint16_t server = ntohs(peer.sin_port), me = localPort();
    // Taken by the server's side (nothing unacknowledged here), then read from there.
    const auto read = [&] {
        int unacknowledged = 0;
        return ::ioctl(fd_.get(), SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0 &&
            unreadByServer(server, me) == size_t(0);
    };
    return testing::pollUntil(read, std::chrono::seconds(10), std::chrono::milliseconds(1));
}

void Client::shutdownWrite() {
    if (fd_) ::shutdown(fd_.get(), SHUT_WR);
}

uint16_t Client::localPort() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (!fd_ || ::getsockname(fd_.get(), reinterpret_cast<sockaddr *>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

std::string Client::readHead(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string_view s(reinterpret_cast<const char *>(in_.data()), in_.size());
        if (const size_t end = s.find("\r\n\r\n"); end != std::string_view::npos) {
            headDone_ = true;
            body_.assign(in_.begin() + std::ptrdiff_t(end + 4), in_.end());
            return std::string(s.substr(0, end + 4));
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readSome(left)) return {};
    }
}

const std::vector<uint8_t> &Client::readBody(size_t n, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (body_.size() < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readSome(left)) break;
    }
    return body_;
}

bool Client::waitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!eof_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        readSome(left);
    }
    return true;
}

std::string plainGet(const std::string &path) {
    return "GET " + path +
        " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Lavf/59.27.100\r\nAccept: */*\r\nRange: bytes=0-\r\n\r\n";
}

std::string ffmpegDescribe() {
    return "GET / HTTP/1.1\r\nAccept: */*\r\nUser-Agent: NSPlayer/4.1.0.3856\r\nHost: 127.0.0.1\r\n"
           "Pragma: no-cache,rate=1.000000,stream-time=0,stream-offset=0:0,request-context=1,max-duration=0\r\n"
           "Pragma: xClientGUID={c77e7400-738a-11d2-9add-0020af0a3278}\r\nConnection: Close\r\nRange: bytes=0-\r\n\r\n";
}

std::string ffmpegPlay() {
    return "GET / HTTP/1.1\r\nAccept: */*\r\nUser-Agent: NSPlayer/4.1.0.3856\r\nHost: 127.0.0.1\r\n"
           "Pragma: no-cache,rate=1.000000,request-context=2\r\nPragma: xPlayStrm=1\r\n"
           "Pragma: xClientGUID={c77e7400-738a-11d2-9add-0020af0a3278}\r\nPragma: stream-switch-count=2\r\n"
           "Pragma: stream-switch-entry=ffff:1:0 ffff:2:0 \r\n"
           "Pragma: no-cache,rate=1.000000,stream-time=0Connection: Close\r\nRange: bytes=0-\r\n\r\n";
}

ServerSide serverSideOf(uint16_t serverPort, uint16_t clientPort) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // column names
    ServerSide side;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const auto portOf = [](const std::string &address) {
            const size_t colon = address.find(':');
            return colon == std::string::npos ? 0ul : std::stoul(address.substr(colon + 1), nullptr, 16);
        };
        if (portOf(local) != serverPort || portOf(remote) != clientPort) continue;
        ++side.sockets;
        side.unsentBytes += std::stoul(queues.substr(0, queues.find(':')), nullptr, 16);
    }
    return side;
}

int statusOf(const std::string &head) {
    if (head.size() < 12 || head.compare(0, 7, "HTTP/1.") != 0) return -1;
    return std::atoi(head.c_str() + 9);
}

bool hasField(const std::string &head, const std::string &line) {
    return head.find("\r\n" + line + "\r\n") != std::string::npos;
}

}  // namespace morlanex::test
