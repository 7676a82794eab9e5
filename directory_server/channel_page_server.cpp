#include "directory_server/channel_page_server.h"

#include "net/ipv4.h"
#include "net/socket.h"
#include "net/socket_error.h"
#include "resources/web/page_texts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace morlanex {
namespace {

constexpr int MaxAcceptsPerPass = 256;
constexpr std::size_t ScratchBytes = 16 * 1024;

constexpr const char *SecurityHeaders =
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'self'; connect-src 'self';"
    " style-src 'unsafe-inline'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n";

std::string response(const std::string &method, int status, const char *reason, const std::string &contentType,
                     const std::string &body, const std::string &extraHeaders = {}) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + "Content-Type: " + contentType +
        "\r\n" + "Content-Length: " + std::to_string(body.size()) + "\r\n" +
        "Cache-Control: no-store\r\nConnection: close\r\n" + SecurityHeaders + extraHeaders + "\r\n";
    return method == "HEAD" ? head : head + body;
}

// The pages a person reads are in the browser's language, so a cache must keep one per language.
constexpr const char *VaryByLanguage = "Vary: Accept-Language\r\n";

std::string notFound(const std::string &method, UiLanguage language) {
    return response(method, 404, "Not Found", "text/html; charset=utf-8",
                    web::translatePage("<!DOCTYPE html>\n<html lang=\"{{t:lang}}\"><head><meta charset=\"utf-8\">"
                                       "<title>{{t:notFound}}</title></head><body><p>{{t:pageMissing}}"
                                       "<a href=\"/\">{{t:backToChannels}}</a></p></body></html>\n",
                                       language),
                    VaryByLanguage);
}

// "/channel/123.asx" -> "123" (and "/origin/123" -> "123" with those affixes); empty when the
// path is not that.
std::string channelIn(const std::string &path, std::string_view Prefix = "/channel/",
                      std::string_view Suffix = ".asx") {
    if (path.size() <= Prefix.size() + Suffix.size() || !path.starts_with(Prefix) || !path.ends_with(Suffix)) return {};
    const std::string id = path.substr(Prefix.size(), path.size() - Prefix.size() - Suffix.size());
    if (id.size() > 7 || !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) return {};
    return id;
}

std::string textResponse(int status, const char *reason, const char *text, const std::string &extra = {}) {
    return response("GET", status, reason, "text/plain; charset=utf-8", text, extra);
}

// Best effort, never blocking: the bytes go only if the socket has room.
void sendNow(int fd, const std::string &bytes) {
    [[maybe_unused]] const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool isNodeQuestion(const HttpRequest &request) {
    const std::string_view target = request.target;
    return target.substr(0, target.find('?')) == "/node/reachability" &&
        (request.method == "GET" || request.method == "HEAD");
}

const char *reasonOf(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 429:
        return "Too Many Requests";
    default:
        return "Service Unavailable";
    }
}

std::string busy() {
    return textResponse(503, "Service Unavailable", "the channel page is busy; try again\n", "Retry-After: 5\r\n");
}

}  // namespace

ChannelPageServer::ChannelPageServer(Reactor &reactor, ChannelListing &listing, Log log)
    : reactor_(reactor), listing_(listing), log_(std::move(log)), spare_(openSpareFd()), scratch_(ScratchBytes) {}

ChannelPageServer::~ChannelPageServer() {
    reactor_.cancel(poolTimer_);
    for (auto &[fd, connection] : connections_) {
        reactor_.cancel(connection.idle);
        reactor_.unwatch(fd);
    }
    if (listen_) reactor_.unwatch(listen_.get());
}

void ChannelPageServer::bind(const std::string &address, std::uint16_t port) {
    const auto parsed = parseDottedQuad(address);
    if (!parsed) throw EndpointError::fromErrno(EADDRNOTAVAIL);
    UniqueFd listen(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listen) throw EndpointError::cannotAllocate();
    const int on = 1;
    ::setsockopt(listen.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = *parsed;
    local.sin_port = htons(port);
    if (::bind(listen.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 ||
        ::listen(listen.get(), SOMAXCONN) != 0 ||
        !reactor_.watch(listen.get(), EPOLLIN, [this](std::uint32_t) { acceptAll(); })) {
        const int error = errno;
        throw error == EADDRINUSE ? EndpointError::addressInUse() : EndpointError::fromErrno(error);
    }
    port_ = boundPort(listen.get());
    listen_ = std::move(listen);
}

void ChannelPageServer::acceptAll() {
    for (int i = 0; i < MaxAcceptsPerPass; ++i) {
        Accepted a = acceptConnection(listen_.get(), &spare_, [](int fd) { sendNow(fd, busy()); });
        if (a.kind == Accepted::Kind::None) break;
        if (a.kind == Accepted::Kind::Refused) continue;
        const int fd = a.fd.get();
        if (!reactor_.watch(fd, EPOLLIN | EPOLLRDHUP, this)) continue;  // closed with `a`
        Connection &connection = connections_[fd];
        connection.fd = std::move(a.fd);
        connection.id = nextId_++;
        connection.address = a.peer.sin_addr.s_addr;
        connection.reader = std::make_unique<RequestReader>();
        // Most clients send their request with the connection: served without entering the pool.
        readFrom(connection);
        const auto it = connections_.find(fd);
        if (it == connections_.end() || !it->second.reader) continue;
        std::optional<std::uint64_t> evicted;
        if (admission_.admit(connection.id, connection.address, Clock::now(), &evicted) == Admission::Verdict::Refuse) {
            closeConnection(fd, Close::Refused);
            continue;
        }
        pooled_.emplace(connection.id, fd);
        if (const auto victim = evicted ? pooled_.find(*evicted) : pooled_.end(); victim != pooled_.end()) {
            const int victimFd = victim->second;
            pooled_.erase(victim);  // it has left the pool already
            closeConnection(victimFd, Close::Refused);
        }
    }
    armPoolTimer();
}

void ChannelPageServer::onIo(int fd, std::uint32_t events) {
    const auto it = connections_.find(fd);
    if (it == connections_.end()) return;
    if (it->second.reader)
        readFrom(it->second);
    else if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))
        writeTo(it->second);
}

void ChannelPageServer::readFrom(Connection &connection) {
    switch (connection.reader->read(connection.fd.get(), scratch_)) {
    case RequestReader::Status::Waiting:
        return;
    case RequestReader::Status::Closed:
        closeConnection(connection.fd.get(), Close::Done);
        return;
    case RequestReader::Status::Complete:
        break;
    }
    leavePool(connection);
    const RequestReader &reader = *connection.reader;
    switch (reader.verdict()) {
    case RequestReader::Verdict::Ok:
        if (tier_.nodeQuestion && isNodeQuestion(reader.request())) return defer(connection, reader.request());
        if (tier_.push && tier_.isPush(reader.request().target)) {
            in_addr peer{};
            peer.s_addr = connection.address;
            const auto [status, json, headers] = tier_.push(dottedQuad(peer), reader.request());
            return answer(connection,
                          response(reader.request().method, status, reasonOf(status), "application/json; charset=utf-8",
                                   json, headers));
        }
        return answer(
            connection,
            respond(reader.request().method, reader.request().target, reader.request().header("Accept-Language")));
    case RequestReader::Verdict::HeadTooLarge:
        return answer(connection, textResponse(431, "Request Header Fields Too Large", "request too large\n"));
    case RequestReader::Verdict::BodyTooLarge:
        return answer(connection, textResponse(413, "Content Too Large", "request too large\n"));
    case RequestReader::Verdict::Malformed:
    case RequestReader::Verdict::BadFraming:
        return answer(connection, textResponse(400, "Bad Request", "bad request\n"));
    }
}

void ChannelPageServer::answer(Connection &connection, std::string response) {
    const int fd = connection.fd.get();
    connection.reader.reset();
    connection.response = std::move(response);
    reactor_.rewatch(fd, EPOLLOUT);
    connection.idle = reactor_.after(AnswerIdleLimit, [this, fd] { closeConnection(fd, Close::Done); });
    writeTo(connection);
}

void ChannelPageServer::defer(Connection &connection, const HttpRequest &request) {
    const int fd = connection.fd.get();
    const std::uint64_t id = connection.id;
    const std::string method = request.method, target = request.target;
    connection.reader.reset();
    reactor_.rewatch(fd, 0);  // EPOLLERR and EPOLLHUP still come: a client gone meanwhile is closed
    in_addr peer{};
    peer.s_addr = connection.address;
    tier_.nodeQuestion(
        dottedQuad(peer), target,
        [this, alive = std::weak_ptr<bool>(alive_), fd, id, method](int status, const std::string &json,
                                                                    const std::string &headers) {
            if (alive.expired()) return;
            const auto it = connections_.find(fd);
            if (it == connections_.end() || it->second.id != id) return;
            answer(it->second,
                   response(method, status, reasonOf(status), "application/json; charset=utf-8", json, headers));
        });
}

void ChannelPageServer::writeTo(Connection &connection) {
    const int fd = connection.fd.get();
    while (connection.sent < connection.response.size()) {
        const ssize_t size = ::send(fd, connection.response.data() + connection.sent,
                                    connection.response.size() - connection.sent, MSG_NOSIGNAL);
        if (size < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            break;
        }
        connection.sent += static_cast<std::size_t>(size);
        reactor_.reschedule(connection.idle, Clock::now() + AnswerIdleLimit);
    }
    closeConnection(fd, Close::Done);
}

void ChannelPageServer::leavePool(const Connection &connection) {
    if (pooled_.erase(connection.id)) {
        admission_.leave(connection.id);
        armPoolTimer();
    }
}

void ChannelPageServer::closeConnection(int fd, Close why) {
    const auto it = connections_.find(fd);
    if (it == connections_.end()) return;
    // Told why where a byte can still be written.
    if (why == Close::Refused)
        sendNow(fd, busy());
    else if (why == Close::TimedOut)
        sendNow(fd, textResponse(408, "Request Timeout", "request timeout\n"));
    leavePool(it->second);
    reactor_.cancel(it->second.idle);
    reactor_.unwatch(fd);
    connections_.erase(it);  // closes the socket
}

void ChannelPageServer::expirePool() {
    poolTimer_ = Reactor::kNoTimer;
    for (;;) {
        // Cut short under pressure: a refusal for load, as the network sink does.
        const bool shortened = admission_.underPressure();
        const std::optional<std::uint64_t> id = admission_.expired(Clock::now());
        if (!id) break;
        const auto it = pooled_.find(*id);
        if (it == pooled_.end()) continue;
        const int fd = it->second;
        pooled_.erase(it);  // it has left the pool already
        closeConnection(fd, shortened ? Close::Refused : Close::TimedOut);
    }
    armPoolTimer();
}

void ChannelPageServer::armPoolTimer() {
    const Clock::time_point due = admission_.nextDeadline();
    if (due == Clock::time_point::max())
        reactor_.cancel(std::exchange(poolTimer_, Reactor::kNoTimer));
    else if (!reactor_.reschedule(poolTimer_, due))
        poolTimer_ = reactor_.at(due, [this] { expirePool(); });
}

std::string ChannelPageServer::respond(const std::string &method, const std::string &target,
                                       std::string_view acceptLanguage) {
    const UiLanguage language = languageFromAcceptLanguage(acceptLanguage);
    if (method != "GET" && method != "HEAD")
        return response("GET", 405, "Method Not Allowed", "text/plain; charset=utf-8", "only GET and HEAD\n",
                        "Allow: GET, HEAD\r\n");
    // The query part changes nothing (a browser may add one to dodge caches).
    const std::string path = target.substr(0, target.find('?'));
    if (path == "/page.js")
        return response(method, 200, "OK", "text/javascript; charset=utf-8", channelPageScript(language),
                        VaryByLanguage);
    const bool page = path == "/" || path == "/index.html";
    const bool json = path == "/channels.json";
    if (path == "/metrics" && tier_.metrics)
        return response(method, 200, "OK", "text/plain; version=0.0.4; charset=utf-8", tier_.metrics());
    if (const std::string id = channelIn(path, "/origin/", ""); !id.empty() && tier_.origin) {
        const std::optional<std::string> origin = tier_.origin(id);
        if (!origin) return response(method, 403, "Forbidden", "text/plain; charset=utf-8", "not a live channel\n");
        return response(method, 200, "OK", "text/plain; charset=utf-8", "live\n", "X-Origin: " + *origin + "\r\n");
    }
    const std::string playlist = channelIn(path);
    if (!page && !json && playlist.empty()) return notFound(method, language);
    try {
        auto channels = listing_.liveChannels();
        if (tier_.relayOnly)
            for (ListedChannel &channel : channels) channel.relayOnly = tier_.relayOnly(channel.channelId);
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        if (page)
            return response(method, 200, "OK", "text/html; charset=utf-8",
                            renderChannelPage(channels, now, tier_.relayBase, language), VaryByLanguage);
        if (json)
            return response(method, 200, "OK", "application/json; charset=utf-8",
                            renderChannelJson(channels, now, tier_.relayBase));
        for (const ListedChannel &channel : channels)
            if (channel.channelId == playlist)
                return response(method, 200, "OK", "video/x-ms-asf", renderPlaylist(channel),
                                "Content-Disposition: attachment; filename=\"channel-" + playlist + ".asx\"\r\n");
        return notFound(method, language);
    } catch (const std::exception &error) {
        if (log_) log_(std::string("channel page: ") + error.what());
        return response(method, 503, "Service Unavailable", "text/plain; charset=utf-8",
                        "the directory's database is busy; try again\n", "Retry-After: 5\r\n");
    }
}

}  // namespace morlanex
