// The HTTP client against a scripted server on loopback: answers by length and chunked on one
// kept-alive connection, a connection the server closed while idle opened again and the request
// sent once more, a server that never answers waited for no longer than the idle time, and
// cancel() ending a wait at once.
#include "net/http_client.h"
#include "net/socket.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace morlanex {
namespace {

using namespace std::chrono_literals;

// Accepts connections one after the other; for each, `serve` gets the socket and the requests
// read so far, and returns false to close it.
class ScriptedServer {
public:
    using Serve = std::function<bool(int fd, const std::string &request, int index)>;
    explicit ScriptedServer(Serve serve) : serve_(std::move(serve)) {
        std::string error;
        listener_ = openListener("127.0.0.1", 0, &error);
        port_ = boundPort(listener_.get());
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedServer() {
        ::shutdown(listener_.get(), SHUT_RDWR);
        stopping_ = true;
        thread_.join();
    }
    uint16_t port() const { return port_; }
    int connections() const { return connections_; }

private:
    void run() {
        int index = 0;
        while (!stopping_) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) continue;
            ++connections_;
            std::string buffer;
            char bytes[4096];
            for (bool open = true; open && !stopping_;) {
                size_t end;
                while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
                    pollfd c{client.get(), POLLIN, 0};
                    if (::poll(&c, 1, 50) <= 0) {
                        if (stopping_) return;
                        continue;
                    }
                    const ssize_t n = ::recv(client.get(), bytes, sizeof bytes, 0);
                    if (n <= 0) break;
                    buffer.append(bytes, size_t(n));
                }
                if (end == std::string::npos) break;
                const std::string request = buffer.substr(0, end + 4);
                buffer.erase(0, end + 4);
                open = serve_(client.get(), request, index++);
            }
        }
    }

    Serve serve_;
    UniqueFd listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

void send(int fd, const std::string &text) { ::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

TEST(HttpClient, KeepsItsConnectionAndOpensAnotherWhenTheServerClosedIt) {
    ScriptedServer server([](int fd, const std::string &request, int index) {
        if (index == 0) send(fd, "HTTP/1.1 201 Created\r\nContent-Length: 5\r\n\r\nfirst");
        // Chunked, in two chunks, with a trailer.
        if (index == 1)
            send(fd,
                 "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nsec\r\n3;x=y\r\nond\r\n0\r\nT: 1\r\n\r\n");
        if (index == 2) send(fd, "HTTP/1.1 204 No Content\r\n\r\n");
        // ... and then it closes the kept-alive connection without a word (as after its idle time).
        if (index == 3)
            send(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(request.size()) + "\r\n\r\n" + request);
        return index < 2;
    });
    HttpClient client("127.0.0.1", server.port());
    const std::string body = "piece";
    HttpResult r = client.request("PUT", "/a", {{"Authorization", "Bearer t"}},
                                  {reinterpret_cast<const uint8_t *>(body.data()), body.size()});
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.answer.status, 201);
    EXPECT_EQ(r.answer.body, "first");
    r = client.request("GET", "/b");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.answer.body, "second");
    r = client.request("GET", "/c");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.answer.status, 204);
    EXPECT_EQ(client.connectionsOpened(), 1u);
    // The server closed it: the request goes again on a new connection, and is answered.
    r = client.request("GET", "/d");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.answer.body.substr(0, 6), "GET /d");
    EXPECT_EQ(client.connectionsOpened(), 2u);
}

TEST(HttpClient, ASilentServerIsWaitedForNoLongerThanTheIdleTimeAndCancelEndsAWaitAtOnce) {
    std::atomic<int> read{0};
    ScriptedServer server([&](int, const std::string &, int) {  // reads, never answers
        ++read;
        return true;
    });
    HttpClient::Options options;
    options.idleTimeout = 300ms;
    HttpClient client("127.0.0.1", server.port(), options);
    HttpResult r = client.request("GET", "/");
    EXPECT_EQ(r.failure, HttpFailure::Timeout) << r.error;

    HttpClient waiting("127.0.0.1", server.port());  // the default idle time, 10 s
    std::thread canceller([&] {
        while (read < 2) std::this_thread::yield();  // the server has the request: the client waits
        waiting.cancel();
    });
    r = waiting.request("GET", "/");
    canceller.join();
    EXPECT_EQ(r.failure, HttpFailure::Cancelled) << "not the 10 s time-out";
    EXPECT_EQ(waiting.request("GET", "/").failure, HttpFailure::Cancelled) << "cancelled for good";
}

TEST(HttpClient, ReadsOnlyPlainHttpAddresses) {
    const std::optional<HttpUrl> url = parseHttpUrl("http://shield.example:8090/channel/7/live/");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->host, "shield.example");
    EXPECT_EQ(url->port, 8090);
    EXPECT_EQ(url->path, "/channel/7/live/");
    EXPECT_EQ(parseHttpUrl("http://10.0.0.1")->path, "/");
    for (const char *bad : {"https://a/", "http://user@a/", "http://a:0/", "http://a:70000/", "http:///x",
                            "http://a b/", "http://a/x y", "ftp://a/"})
        EXPECT_FALSE(parseHttpUrl(bad)) << bad;
}

}  // namespace
}  // namespace morlanex
