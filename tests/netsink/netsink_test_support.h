// Helpers for the network sink tests: where a viewer may start in the recorded test stream
// (tests/asf), and a blocking loopback client with deadlines, so no test can hang.
#pragma once

#include "tests/asf/recorded_test_stream.h"
#include "net/socket.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace morlanex::test {

// Indices of the test stream's packets where a viewer may start (video key frames).
std::vector<size_t> startPackets();

class Client {
public:
    // Connects to 127.0.0.1:port (or `destinationAddress`), from `sourceAddress` when given
    // (127.0.0.x stands for another host).
    explicit Client(uint16_t port, int receiveBufferBytes = 0, const char *sourceAddress = nullptr,
                    const char *destinationAddress = nullptr);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connected() const { return bool(fd_); }
    bool send(const std::string &bytes);
    // Sends `bytes` at once (no Nagle delay) and waits until the server has read them, so
    // that what is sent next reaches it as a read of its own.
    bool sendRead(const std::string &bytes);
    // Ends the sending side only (the client half-closes); it keeps reading.
    void shutdownWrite();
    uint16_t localPort() const;
    // Reads until the head's empty line; returns it (status line and fields) or "" on failure.
    std::string readHead(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads until `n` body bytes are buffered (or EOF / timeout); returns what is buffered.
    const std::vector<uint8_t> &readBody(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when the peer closes (EOF or reset) within the timeout; reads and keeps data meanwhile.
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    const std::vector<uint8_t> &body() const { return body_; }
    void close();

private:
    // One read of whatever is there, waiting at most `timeout`. False on EOF/error/timeout.
    bool readSome(std::chrono::milliseconds timeout);

    UniqueFd fd_;
    bool eof_ = false;
    std::vector<uint8_t> in_;  // bytes before the end of the head
    std::vector<uint8_t> body_;
    bool headDone_ = false;
};

std::string plainGet(const std::string &path = "/");
// A request as FFmpeg's mmsh protocol sends it (Describe, or Play with the glued last line).
std::string ffmpegDescribe();
std::string ffmpegPlay();

// The server side of the connection between 127.0.0.1:`serverPort` and the client's
// `clientPort`, as the kernel lists it (/proc/net/tcp): no sockets once the sink has let it go.
struct ServerSide {
    int sockets = 0;
    size_t unsentBytes = 0;  // in its send queue
};
ServerSide serverSideOf(uint16_t serverPort, uint16_t clientPort);

int statusOf(const std::string &head);
bool hasField(const std::string &head, const std::string &line);

}  // namespace morlanex::test
