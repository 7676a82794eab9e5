// Internal header of the directory daemon.
//
// ServerLoop: the daemon's two UDP sockets (ports 20 and 22 by default), its
// liveness checks (non-blocking TCP connects to the nodes' stream ports, each
// bounded by the check timeout) and its single-threaded event loop (a
// Reactor, which the channel page server shares). Each
// datagram is read whole (8192 bytes at most; larger ones are dropped),
// handed to the DirectoryServer, and its answers are sent at once. With a
// wildcard address the loop learns which local address each datagram was
// sent to (IP_PKTINFO) and answers from it, so a node that checks the sender
// sees the address it registered with.
//
// Threads: one. The loop owns its reactor and sockets; the stop fd is borrowed.
//
// Example:
//   ServerLoop loop(server, log);
//   loop.bind("127.0.0.5", 20, 22);   // throws EndpointError
//   ChannelPageServer page(loop.reactor(), listing, log);   // optional
//   loop.run(signalFd);               // returns when signalFd is readable
#pragma once

#include "directory_server/directory_server.h"
#include "net/reactor.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace morlanex {

// Sends one datagram from fd to `to`, from the local address fromAddress
// (IP_PKTINFO; empty for the socket's own). False with errno on failure.
bool sendRecordFrom(int fd, const Peer &to, const std::string &fromAddress, std::span<const std::uint8_t> bytes);

class ServerLoop {
public:
    using Log = DirectoryServer::Log;

    ServerLoop(DirectoryServer &server, Log log);
    ~ServerLoop();
    ServerLoop(const ServerLoop &) = delete;
    ServerLoop &operator=(const ServerLoop &) = delete;

    void bind(const std::string &address, std::uint16_t firstPort, std::uint16_t secondPort);
    // The loop's reactor, for other servers of the daemon to share (the channel page).
    Reactor &reactor() { return *reactor_; }
    // Serves until stopFd becomes readable.
    void run(int stopFd);

    // A connect-and-reset to `target` outside the liveness schedule (a node's own question),
    // bounded by the check timeout; `done` runs on the loop with the outcome and, when the
    // stream did not answer, why ("Connection refused", "no answer within 5 s").
    using ProbeDone = std::function<void(bool answered, const std::string &error)>;
    void probe(const Peer &target, ProbeDone done);

    std::uint64_t datagramsHandled() const { return datagrams_; }
    std::uint64_t checksMade() const { return checksMade_; }
    std::uint64_t checksAnswered() const { return checksAnswered_; }
    std::uint64_t checksFailed() const { return checksFailed_; }
    std::size_t checksRunning() const { return checks_.size(); }
    // Their cost: the time from each check's connect to its outcome, summed.
    double checkSeconds() const { return checkSeconds_; }

private:
    struct RunningCheck {
        ProbeDone done;
        UniqueFd socket;
        Reactor::TimerId deadline = Reactor::kNoTimer;
        std::chrono::steady_clock::time_point started;
    };

    // Reads and handles one datagram; false when none was waiting.
    bool receive(DirectoryPort at);
    void send(const Outgoing &out);
    void startChecks();
    // Starts one connect; `done` learns the outcome (at once when the connect cannot start).
    void connectTo(const Peer &target, ProbeDone done);
    // Ends a check: closes its socket and tells whoever asked.
    void finishCheck(int fd, bool answered, const std::string &error);
    // Before each wait: starts the checks that are due, and wakes the loop for the next.
    void beforeWait();
    int socketOf(DirectoryPort port) const { return (port == DirectoryPort::First ? first_ : second_).get(); }

    DirectoryServer &server_;
    Log log_;
    std::unique_ptr<Reactor> reactor_;
    UniqueFd first_, second_;
    std::vector<std::uint8_t> buffer_;
    std::map<int, RunningCheck> checks_;  // by socket
    Reactor::TimerId wakeup_ = Reactor::kNoTimer;  // at the server's next wake-up
    std::uint64_t datagrams_ = 0;
    std::uint64_t checksMade_ = 0;
    std::uint64_t checksAnswered_ = 0;
    std::uint64_t checksFailed_ = 0;
    double checkSeconds_ = 0;
};

}  // namespace morlanex
