// Internal header of the directory daemon.
//
// ChannelPageServer: the directory's channel page over HTTP/1.1 on a TCP
// port of its own (off unless the daemon is given one). It serves exactly
// these paths, GET or HEAD, and 404 for anything else:
//   /                 the page (Traditional Chinese) listing the live channels
//   /page.js          its script, which polls the JSON and redraws the list
//   /channels.json    the same list as JSON
//   /channel/N.asx    a Windows Media playlist for live channel N
// One request per connection (answered with Connection: close); requests are
// at most 8 KiB; at most 256 connections, each closed after 10 s idle. The
// list is read from the directory's database on every request.
//
// Threads: one; the daemon's loop calls serveReady() when pollFd() is
// readable and expireIdle() on every turn. The server owns its sockets.
#pragma once

#include "directory_server/channel_page_render.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace morlanex {

class ChannelPageServer {
public:
    using Log = std::function<void(const std::string &line)>;
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t MaxRequestBytes = 8192;
    static constexpr std::size_t MaxConnections = 256;
    static constexpr auto IdleLimit = std::chrono::seconds(10);

    ChannelPageServer(ChannelListing &listing, Log log);
    ~ChannelPageServer();
    ChannelPageServer(const ChannelPageServer &) = delete;
    ChannelPageServer &operator=(const ChannelPageServer &) = delete;

    // Throws EndpointError when the address or port cannot be had.
    void bind(const std::string &address, std::uint16_t port);
    std::uint16_t port() const { return port_; }
    // Readable when there is something to accept, read or write.
    int pollFd() const { return epoll_; }
    void serveReady();
    void expireIdle();
    bool busy() const { return !connections_.empty(); }

    // The response to one request (status line, headers and body).
    std::string respond(const std::string &method, const std::string &target);

private:
    struct Connection {
        std::string request;
        std::string response;
        std::size_t sent = 0;
        Clock::time_point deadline;
    };

    void acceptAll();
    void readFrom(int fd, Connection &connection);
    void writeTo(int fd, Connection &connection);
    void closeConnection(int fd);

    ChannelListing &listing_;
    Log log_;
    int epoll_ = -1;  // owned
    int listen_ = -1; // owned
    std::uint16_t port_ = 0;
    std::map<int, Connection> connections_; // by socket, owned
};

} // namespace morlanex
