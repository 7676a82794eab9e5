#include "directory_server/channel_page_server.h"

#include "net/ipv4.h"
#include "net/socket_error.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace morlanex {
namespace {

constexpr const char *SecurityHeaders =
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'self'; connect-src 'self';"
    " style-src 'unsafe-inline'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n";

std::string response(const std::string &method, int status, const char *reason,
                     const std::string &contentType, const std::string &body,
                     const std::string &extraHeaders = {})
{
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" +
                       "Content-Type: " + contentType + "\r\n" +
                       "Content-Length: " + std::to_string(body.size()) + "\r\n" +
                       "Cache-Control: no-store\r\nConnection: close\r\n" + SecurityHeaders +
                       extraHeaders + "\r\n";
    return method == "HEAD" ? head : head + body;
}

std::string notFound(const std::string &method)
{
    return response(method, 404, "Not Found", "text/html; charset=utf-8",
                    "<!DOCTYPE html>\n<html lang=\"zh-Hant\"><head><meta charset=\"utf-8\">"
                    "<title>找不到這一頁</title></head><body><p>找不到這一頁。"
                    "<a href=\"/\">回到頻道目錄</a></p></body></html>\n");
}

// "/channel/123.asx" -> "123"; empty when the path is not that.
std::string playlistChannel(const std::string &path)
{
    static constexpr std::string_view Prefix = "/channel/", Suffix = ".asx";
    if (path.size() <= Prefix.size() + Suffix.size() || !path.starts_with(Prefix) ||
        !path.ends_with(Suffix))
        return {};
    const std::string id = path.substr(Prefix.size(), path.size() - Prefix.size() - Suffix.size());
    if (id.size() > 7 || !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {};
    return id;
}

} // namespace

ChannelPageServer::ChannelPageServer(ChannelListing &listing, Log log)
    : listing_(listing), log_(std::move(log))
{
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0)
        throw EndpointError::fromErrno(errno);
}

ChannelPageServer::~ChannelPageServer()
{
    for (const auto &[fd, connection] : connections_)
        ::close(fd);
    if (listen_ >= 0)
        ::close(listen_);
    ::close(epoll_);
}

void ChannelPageServer::bind(const std::string &address, std::uint16_t port)
{
    const auto parsed = parseDottedQuad(address);
    if (!parsed)
        throw EndpointError::fromErrno(EADDRNOTAVAIL);
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_ < 0)
        throw EndpointError::cannotAllocate();
    const int on = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = *parsed;
    local.sin_port = htons(port);
    if (::bind(listen_, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 ||
        ::listen(listen_, 128) != 0) {
        const int error = errno;
        throw error == EADDRINUSE ? EndpointError::addressInUse() : EndpointError::fromErrno(error);
    }
    socklen_t length = sizeof local;
    ::getsockname(listen_, reinterpret_cast<sockaddr *>(&local), &length);
    port_ = ntohs(local.sin_port);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listen_;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listen_, &event);
}

void ChannelPageServer::serveReady()
{
    epoll_event events[64];
    const int ready = ::epoll_wait(epoll_, events, 64, 0);
    for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listen_) {
            acceptAll();
            continue;
        }
        auto it = connections_.find(fd);
        if (it == connections_.end())
            continue;
        if (it->second.response.empty())
            readFrom(fd, it->second);
        else
            writeTo(fd, it->second);
    }
}

void ChannelPageServer::acceptAll()
{
    for (;;) {
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (connections_.size() >= MaxConnections) {
            ::close(fd); // full: the browser tries again on its next poll
            continue;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
        connections_[fd].deadline = Clock::now() + IdleLimit;
    }
}

void ChannelPageServer::readFrom(int fd, Connection &connection)
{
    char buffer[4096];
    for (;;) {
        const ssize_t size = ::recv(fd, buffer, sizeof buffer, 0);
        if (size == 0 || (size < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closeConnection(fd);
            return;
        }
        if (size < 0)
            break;
        connection.request.append(buffer, static_cast<std::size_t>(size));
        if (connection.request.size() > MaxRequestBytes)
            break;
    }
    const auto end = connection.request.find("\r\n\r\n");
    if (end == std::string::npos && connection.request.size() <= MaxRequestBytes)
        return; // more to come
    if (end == std::string::npos || end > MaxRequestBytes) {
        connection.response = response("GET", 431, "Request Header Fields Too Large",
                                       "text/plain; charset=utf-8", "request too large\n");
    } else {
        const std::string line = connection.request.substr(0, connection.request.find("\r\n"));
        const auto firstSpace = line.find(' ');
        const auto secondSpace = line.find(' ', firstSpace + 1);
        if (firstSpace == std::string::npos || secondSpace == std::string::npos ||
            !line.substr(secondSpace + 1).starts_with("HTTP/1."))
            connection.response =
                response("GET", 400, "Bad Request", "text/plain; charset=utf-8", "bad request\n");
        else
            connection.response = respond(line.substr(0, firstSpace),
                                          line.substr(firstSpace + 1, secondSpace - firstSpace - 1));
    }
    epoll_event event{};
    event.events = EPOLLOUT;
    event.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
    writeTo(fd, connection);
}

void ChannelPageServer::writeTo(int fd, Connection &connection)
{
    while (connection.sent < connection.response.size()) {
        const ssize_t size = ::send(fd, connection.response.data() + connection.sent,
                                    connection.response.size() - connection.sent, MSG_NOSIGNAL);
        if (size < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            break;
        }
        connection.sent += static_cast<std::size_t>(size);
        connection.deadline = Clock::now() + IdleLimit;
    }
    closeConnection(fd);
}

void ChannelPageServer::closeConnection(int fd)
{
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    connections_.erase(fd);
}

void ChannelPageServer::expireIdle()
{
    const auto now = Clock::now();
    for (auto it = connections_.begin(); it != connections_.end();) {
        const int fd = it->first;
        const bool idle = it->second.deadline <= now;
        ++it;
        if (idle)
            closeConnection(fd);
    }
}

std::string ChannelPageServer::respond(const std::string &method, const std::string &target)
{
    if (method != "GET" && method != "HEAD")
        return response("GET", 405, "Method Not Allowed", "text/plain; charset=utf-8",
                        "only GET and HEAD\n", "Allow: GET, HEAD\r\n");
    // The query part changes nothing (a browser may add one to dodge caches).
    const std::string path = target.substr(0, target.find('?'));
    if (path == "/page.js")
        return response(method, 200, "OK", "text/javascript; charset=utf-8",
                        std::string(channelPageScript()));
    const bool page = path == "/" || path == "/index.html";
    const bool json = path == "/channels.json";
    const std::string playlist = playlistChannel(path);
    if (!page && !json && playlist.empty())
        return notFound(method);
    try {
        const auto channels = listing_.liveChannels();
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        if (page)
            return response(method, 200, "OK", "text/html; charset=utf-8",
                            renderChannelPage(channels, now));
        if (json)
            return response(method, 200, "OK", "application/json; charset=utf-8",
                            renderChannelJson(channels, now));
        for (const ListedChannel &channel : channels)
            if (channel.channelId == playlist)
                return response(method, 200, "OK", "video/x-ms-asf", renderPlaylist(channel),
                                "Content-Disposition: attachment; filename=\"channel-" +
                                    playlist + ".asx\"\r\n");
        return notFound(method);
    } catch (const std::exception &error) {
        if (log_)
            log_(std::string("channel page: ") + error.what());
        return response(method, 503, "Service Unavailable", "text/plain; charset=utf-8",
                        "the directory's database is busy; try again\n", "Retry-After: 5\r\n");
    }
}

} // namespace morlanex
