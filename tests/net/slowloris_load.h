// Test support: a slowloris attack on a loopback HTTP server, and newcomers asking it for a
// page meanwhile. Shared by the network sink's and the directory's channel page's tests.
//
// Each attacking connection comes from one of `hosts` loopback addresses (127.0.0.x stands for
// another host), sends a request line and the start of a header, then one more header byte
// every `dripEvery`, never ending its head; when the server closes it, it is opened again
// `reopenAfter` later. The attack runs on a thread of its own until the object is destroyed.
#pragma once

#include "net/socket.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace morlanex::test {

struct SlowlorisOptions {
    std::string server = "127.0.0.1";
    uint16_t port = 0;
    size_t connections = 2500;
    int hosts = 40;
    int firstHost = 10;  // the attack comes from 127.0.0.<firstHost> on
    std::chrono::milliseconds dripEvery{1000};
    std::chrono::milliseconds reopenAfter{1000};
};

class SlowlorisLoad {
public:
    explicit SlowlorisLoad(SlowlorisOptions options);
    ~SlowlorisLoad();
    SlowlorisLoad(const SlowlorisLoad &) = delete;
    SlowlorisLoad &operator=(const SlowlorisLoad &) = delete;

    size_t connected() const { return connected_.load(); }  // open at the moment
    size_t closedByServer() const { return closed_.load(); }  // so far

private:
    void run();

    const SlowlorisOptions options_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> connected_{0}, closed_{0};
    std::thread thread_;
};

// Asks for `request` on `count` fresh connections, ten at a time, each from an address of
// 127.0.0.<firstHost>..<firstHost + 99> and given `patience` for its status line: how many
// got 200.
size_t countServed(const std::string &server, uint16_t port, const std::string &request, size_t count, int firstHost,
                   std::chrono::milliseconds patience);

// Raises the soft open-file limit to at least `files` (within the hard limit); false when it
// stays below.
bool raiseOpenFileLimit(size_t files);

}  // namespace morlanex::test
