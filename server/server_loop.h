// Internal header of the directory daemon.
//
// ServerLoop: the daemon's two UDP sockets (ports 20 and 22 by default) and
// its single-threaded poll loop. Each datagram is read whole (8192 bytes at
// most; larger ones are dropped), handed to the DirectoryServer, and its
// answers are sent at once. With a wildcard address the loop learns which
// local address each datagram was sent to (IP_PKTINFO) and answers from it,
// so a node that checks the sender sees the address it registered with.
//
// Threads: one. The loop owns both sockets; the stop fd is borrowed.
//
// Example:
//   ServerLoop loop(server, log);
//   loop.bind("127.0.0.5", 20, 22);   // throws EndpointError
//   loop.run(signalFd);               // returns when signalFd is readable
#pragma once

#include "server/directory_server.h"

#include <cstdint>
#include <string>
#include <vector>

namespace morlanex {

class ServerLoop {
public:
    using Log = DirectoryServer::Log;

    ServerLoop(DirectoryServer &server, Log log);
    ~ServerLoop();
    ServerLoop(const ServerLoop &) = delete;
    ServerLoop &operator=(const ServerLoop &) = delete;

    void bind(const std::string &address, std::uint16_t firstPort, std::uint16_t secondPort);
    // Serves until stopFd becomes readable.
    void run(int stopFd);

private:
    void receive(DirectoryPort at);
    void send(const Outgoing &out);
    int socketOf(DirectoryPort port) const { return port == DirectoryPort::First ? first_ : second_; }

    DirectoryServer &server_;
    Log log_;
    int first_ = -1;  // owned
    int second_ = -1; // owned
    std::vector<std::uint8_t> buffer_;
};

} // namespace morlanex
