// The directory's channel page against the real daemon: hostile channel texts
// come out escaped in the page, the JSON and the playlist; nothing but its own
// pages is served; and a headless Chromium shows the live channels. The
// directories listen on 127.0.7.x, this file's own.
#include "common/codepage.h"
#include "net/socket.h"
#include "slowloris_load.h"
#include "tests/directory_server/directory_test.h"
#include "tests/browser/nginx_relay.h"
#include "tests/support/event_waits.h"
#include "tests/support/metrics_parse.h"
#include "tests/support/poll_until.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <regex>
#include <sstream>
#include <thread>

using namespace morlanex;
using namespace morlanex::testing;

namespace {

constexpr std::uint16_t PagePort = 8080;

struct HttpReply {
    int status = 0;
    std::string head;
    std::string body;
};

// One request on a fresh connection, read to the end (the server closes).
HttpReply httpExchange(const std::string &address, const std::string &request, std::uint16_t port = PagePort) {
    HttpReply reply;
    const UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int fd = socket.get();
    const timeval wait{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) return reply;
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string all;
    char buffer[8192];
    ssize_t size;
    while ((size = ::recv(fd, buffer, sizeof buffer, 0)) > 0) all.append(buffer, static_cast<std::size_t>(size));
    const auto split = all.find("\r\n\r\n");
    reply.head = all.substr(0, split);
    reply.body = split == std::string::npos ? "" : all.substr(split + 4);
    if (all.starts_with("HTTP/1.1 ")) reply.status = std::atoi(all.c_str() + 9);
    return reply;
}

HttpReply get(const std::string &address, const std::string &target, const std::string &method = "GET",
              std::uint16_t port = PagePort) {
    return httpExchange(address, method + " " + target + " HTTP/1.1\r\nHost: directory\r\nConnection: close\r\n\r\n",
                        port);
}

// A broadcaster's HTTP port as a cache sees it: every GET answered with its path, cacheable.
class PieceOrigin {
public:
    PieceOrigin(const std::string &address, std::uint16_t port)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const int on = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
        listening_ =
            ::bind(fd_.get(), reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 && ::listen(fd_.get(), 16) == 0;
        if (listening_) thread_ = std::thread([this] { serve(); });
    }
    ~PieceOrigin() {
        ::shutdown(fd_.get(), SHUT_RDWR);  // ends accept()
        if (thread_.joinable()) thread_.join();
    }
    bool listening() const { return listening_; }
    int requests() const { return requests_; }

private:
    void serve() {
        for (;;) {
            const UniqueFd client(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) return;
            std::string request;
            char buffer[4096];
            ssize_t size;
            while (request.find("\r\n\r\n") == std::string::npos &&
                   (size = ::recv(client.get(), buffer, sizeof buffer, 0)) > 0)
                request.append(buffer, static_cast<std::size_t>(size));
            if (!request.starts_with("GET ")) continue;  // a liveness check's connect
            ++requests_;
            const std::string path = request.substr(4, request.find(' ', 4) - 4);
            // "latest" changes and lives a second, as the broadcaster's does.
            const bool latest = path.ends_with("/latest");
            const std::string body = "piece " + path + (latest ? " " + std::to_string(requests_) : "");
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                      "Cache-Control: max-age=" +
                std::string(latest ? "1" : "60") +
                "\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
            ::send(client.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
        }
    }

    UniqueFd fd_;
    bool listening_ = false;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

using test::NginxRelay;
std::uint16_t freePort() { return NginxRelay::freePort(); }

// A node whose texts are chosen by the test (CP950 bytes as given).
std::optional<DirectoryMessage> registerWithTexts(ScriptedNode &node, const std::string &server,
                                                  const std::string &name, const std::string &description,
                                                  const std::string &keywords) {
    node.cam.send(server, 20, DirectoryMessage::linkKerfCam(node.nodeId, "", name, description, keywords));
    auto ok = node.cam.receiveCommand(cmd::LinkKerfOk);
    if (ok) node.channelId = ok->readText(Field::ChannelId);
    return ok;
}

class ChannelPageTest : public DirectoryTest {
protected:
    void startWithPage(const std::string &address) { startServer(address, {"--http-port", std::to_string(PagePort)}); }
};

const std::string HostileName = "<script>alert(1)</script>" + utf8ToCp950("夜市");
// A quote, an ampersand, bytes that are no CP950 and a lead byte cut off at the end.
const std::string HostileDescription = "\"quoted\" & 'single' \xFF\xFF cut \xA4";
const std::string HostileKeywords = "</td><img src=x onerror=alert(2)>";

}  // namespace

TEST_F(ChannelPageTest, HostileChannelTextsAreEscapedInPageJsonAndPlaylist) {
    const std::string server = "127.0.7.1";
    startWithPage(server);
    ScriptedNode node("3A3A3A3A3A3A", "127.0.0.21");
    ASSERT_TRUE(registerWithTexts(node, server, HostileName, HostileDescription, HostileKeywords)) << server_->log();

    const HttpReply page = get(server, "/");
    ASSERT_EQ(page.status, 200) << page.head;
    EXPECT_NE(page.head.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
    EXPECT_NE(page.head.find("Content-Security-Policy: default-src 'none'"), std::string::npos);
    EXPECT_EQ(page.body.find("<script>alert"), std::string::npos);
    EXPECT_EQ(page.body.find("<img"), std::string::npos);
    EXPECT_NE(page.body.find("&lt;script&gt;alert(1)&lt;/script&gt;夜市"), std::string::npos) << page.body;
    EXPECT_NE(page.body.find("&quot;quoted&quot; &amp; &#39;single&#39; \xEF\xBF\xBD\xEF\xBF\xBD cut \xEF\xBF\xBD"),
              std::string::npos)
        << page.body;
    EXPECT_NE(page.body.find("&lt;/td&gt;&lt;img src=x onerror=alert(2)&gt;"), std::string::npos);
    const std::string stream = "http://127.0.0.21:" + std::to_string(node.cam.port()) + "/";
    EXPECT_NE(page.body.find("href=\"" + stream + "watch\""), std::string::npos) << page.body;
    EXPECT_NE(page.body.find("<code>" + stream + "</code>"), std::string::npos);
    EXPECT_NE(page.body.find("href=\"/channel/" + node.channelId + ".asx\""), std::string::npos);
    EXPECT_EQ(page.body.find("{{"), std::string::npos) << "a placeholder of the page left unfilled";

    const HttpReply json = get(server, "/channels.json");
    ASSERT_EQ(json.status, 200);
    EXPECT_NE(json.head.find("application/json"), std::string::npos);
    EXPECT_EQ(json.body.find('<'), std::string::npos) << json.body;
    QJsonParseError error;
    const auto document = QJsonDocument::fromJson(QByteArray::fromStdString(json.body), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.body;
    const QJsonArray channels = document.object().value("channels").toArray();
    ASSERT_EQ(channels.size(), 1);
    const QJsonObject channel = channels[0].toObject();
    EXPECT_EQ(channel.value("id").toString().toStdString(), node.channelId);
    EXPECT_EQ(channel.value("name").toString(), QStringLiteral("<script>alert(1)</script>夜市"));
    EXPECT_EQ(channel.value("description").toString(), QStringLiteral("\"quoted\" & 'single' \uFFFD\uFFFD cut \uFFFD"));
    EXPECT_EQ(channel.value("keywords").toString().toStdString(), HostileKeywords);
    EXPECT_EQ(channel.value("stream").toString().toStdString(), stream);
    EXPECT_EQ(channel.value("viewersNow").toInt(), 0);

    const HttpReply playlist = get(server, "/channel/" + node.channelId + ".asx");
    ASSERT_EQ(playlist.status, 200);
    EXPECT_NE(playlist.head.find("Content-Type: video/x-ms-asf"), std::string::npos);
    EXPECT_NE(playlist.head.find("attachment; filename=\"channel-" + node.channelId + ".asx\""), std::string::npos);
    EXPECT_NE(playlist.body.find("<REF HREF=\"" + stream + "\" />"), std::string::npos) << playlist.body;
    EXPECT_NE(playlist.body.find("<TITLE>&lt;script&gt;alert(1)&lt;/script&gt;夜市</TITLE>"), std::string::npos);
}

TEST_F(ChannelPageTest, OnlyItsOwnPagesAreServed) {
    const std::string server = "127.0.7.2";
    startWithPage(server);
    ScriptedNode node("3B3B3B3B3B3B", "127.0.0.22");
    ASSERT_TRUE(node.registerAt(server));

    for (const std::string &target : std::vector<std::string>{
             "/../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "//etc/passwd", "/directory.sqlite", "/channels.json/..",
             "/page.js/../../etc/passwd", "/channel/../page.js", "/channel/abc.asx", "/channel/9999999.asx",
             "/channel/" + node.channelId + ".asx/..", "/index.htm", "/.."}) {
        const HttpReply reply = get(server, target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.body.find("root:"), std::string::npos) << target;
    }
    EXPECT_EQ(get(server, "/", "POST").status, 405);
    EXPECT_EQ(get(server, "/", "DELETE").status, 405);
    EXPECT_EQ(httpExchange(server, "nonsense\r\n\r\n").status, 400);
    EXPECT_EQ(httpExchange(server, "GET / HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n").status, 431);
    // HEAD: the headers alone.
    const HttpReply head = get(server, "/channels.json", "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");

    // The list follows the channels: closed, the channel and its playlist are gone.
    EXPECT_EQ(get(server, "/channel/" + node.channelId + ".asx").status, 200);
    node.cam.send(server, 20, DirectoryMessage::closeKerf(node.channelId, node.nodeId));
    // Port 20's queue is apart from port 22's: wait for the close itself.
    EXPECT_TRUE(waitUntil([&] { return get(server, "/channel/" + node.channelId + ".asx").status == 404; }));
    EXPECT_NE(get(server, "/channels.json").body.find("\"channels\":[]"), std::string::npos);
    EXPECT_NE(get(server, "/").body.find("目前沒有頻道直播。"), std::string::npos);
    EXPECT_TRUE(server_->running());
}

TEST_F(ChannelPageTest, SlowlorisConnectionsFromFortyHostsLockNoNewcomerOut) {
    // 2,500 connections here and as many at the daemon, which inherits the limit.
    ASSERT_TRUE(test::raiseOpenFileLimit(8192));
    const std::string server = "127.0.7.6";
    startWithPage(server);
    test::SlowlorisLoad attack(
        {.server = server, .port = PagePort, .connections = 2500, .hosts = 40, .firstHost = 100});
    // Steady: every attacker has been cut off and come back once, on average.
    pollUntil([&] { return attack.connected() >= 400 && attack.closedByServer() >= 2500; }, 30s, 20ms);
    ASSERT_GE(attack.closedByServer(), 2500u) << "the attack is under way";
    const std::size_t served =
        test::countServed(server, PagePort, "GET / HTTP/1.1\r\nHost: directory\r\n\r\n", 100, 150, 10s);
    RecordProperty("served", int(served));
    EXPECT_GE(served, 95u) << "with " << attack.connected() << " slowloris connections open";
    EXPECT_TRUE(server_->running());
}

TEST_F(ChannelPageTest, HeadlessChromiumShowsBothLiveChannelsInItsLanguage) {
    const std::string server = "127.0.7.3";
    startWithPage(server);
    ScriptedNode market("3C3C3C3C3C3C", "127.0.0.23");
    ScriptedNode harbour("3D3D3D3D3D3D", "127.0.0.24");
    ASSERT_TRUE(registerWithTexts(market, server, utf8ToCp950("夜市直播"), "", "food"));
    ASSERT_TRUE(registerWithTexts(harbour, server, "Harbour Lights", "", "sea"));

    // The browser's language (--accept-lang: what a person sets in it) picks the page's; the
    // channels' own texts stay as their broadcasters wrote them.
    struct Language {
        const char *browser, *summary, *watchLink;
    };
    for (const Language &l : {Language{"zh-TW", "目前有 2 個頻道直播中。", "在瀏覽器觀看"},
                              Language{"en", "Channels live now: 2.", "Watch in the browser"},
                              Language{"zh-CN", "目前有 2 个频道直播中。", "在浏览器观看"}}) {
        TempDir profile;
        const std::string dom = (temp_.path() / "dom.html").string();
        const std::string command = "chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                                    " --disable-background-networking --disable-component-update --disable-sync"
                                    " --accept-lang=" +
            std::string(l.browser) + " --user-data-dir='" + profile.path().string() +
            "' --virtual-time-budget=5000"
            " --dump-dom http://" +
            server + ":" + std::to_string(PagePort) + "/ >'" + dom + "' 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << "chromium (scripts/setup installs it) failed: " << command;
        std::ifstream in(dom);
        std::stringstream text;
        text << in.rdbuf();
        const std::string shown = text.str();
        EXPECT_NE(shown.find("夜市直播"), std::string::npos) << shown;
        EXPECT_NE(shown.find("Harbour Lights"), std::string::npos) << shown;
        // The script ran and drew the list again from the JSON, in the page's language.
        EXPECT_NE(shown.find("data-updated="), std::string::npos) << shown;
        EXPECT_NE(shown.find(l.summary), std::string::npos) << l.browser << shown;
        EXPECT_NE(shown.find(l.watchLink), std::string::npos) << l.browser << shown;
    }
    // A cache keeps one copy per language; a language it does not know gets Traditional Chinese.
    const HttpReply english =
        httpExchange(server, "GET / HTTP/1.1\r\nAccept-Language: fr, zh-CN;q=0.5, en;q=0.8\r\n\r\n");
    EXPECT_NE(english.body.find("<html lang=\"en\">"), std::string::npos);
    EXPECT_NE(english.head.find("Vary: Accept-Language"), std::string::npos) << english.head;
    EXPECT_NE(
        httpExchange(server, "GET / HTTP/1.1\r\nAccept-Language: fr\r\n\r\n").body.find("<html lang=\"zh-Hant\">"),
        std::string::npos);
    EXPECT_NE(httpExchange(server, "GET /nothing HTTP/1.1\r\nAccept-Language: en\r\n\r\n").body.find("Page not found"),
              std::string::npos);
}

TEST_F(ChannelPageTest, ThePageIsOffUnlessAPortIsGivenAndATakenPortStopsTheStart) {
    const std::string server = "127.0.7.4";
    startServer(server);
    EXPECT_EQ(get(server, "/").status, 0) << "nothing answers HTTP";
    EXPECT_EQ(server_->log().find("channel page"), std::string::npos);

    StreamStandIn squatter("127.0.7.5", PagePort);
    const CommandResult taken =
        runDirectory({"--address", "127.0.7.5", "--database", (temp_.path() / "other.sqlite").string(), "--http-port",
                      std::to_string(PagePort)});
    EXPECT_EQ(taken.exitCode, 1);
    EXPECT_NE(taken.err.find("cannot start: Could not bind socket. Address and port are already in use."),
              std::string::npos)
        << taken.err;
    EXPECT_EQ(taken.err.find("listening"), std::string::npos) << taken.err;
}

TEST_F(ChannelPageTest, CachesAreToldTheOriginOfLiveChannelsOnlyAndOperatorsTheCounters) {
    const std::string server = "127.0.7.6";
    startServer(server,
                {"--http-port", std::to_string(PagePort), "--relay-base", "http://relay.example/", "--check-interval",
                 "0.2", "--check-retry", "0.2", "--failed-checks", "100"});
    ScriptedNode node("3C3C3C3C3C3C", "127.0.0.26");
    ASSERT_TRUE(node.registerAt(server)) << server_->log();
    node.udp.send(server, 22, std::vector<std::uint8_t>(40, 'x'));  // no datagram of ours
    ASSERT_TRUE(node.sync(server));

    const std::string relay = "http://relay.example/channel/" + node.channelId + "/live/watch";
    EXPECT_NE(get(server, "/").body.find("class=\"relay\" href=\"" + relay + "\""), std::string::npos);
    EXPECT_NE(get(server, "/channels.json").body.find("\"relay\":\"" + relay + "\""), std::string::npos);

    const HttpReply live = get(server, "/origin/" + node.channelId);
    EXPECT_EQ(live.status, 200);
    EXPECT_NE((live.head + "\r\n").find("X-Origin: 127.0.0.26:" + std::to_string(node.cam.port()) + "\r\n"),
              std::string::npos)
        << live.head;
    for (const std::string &target :
         {std::string("/origin/9999999"), std::string("/origin/abc"), std::string("/origin/127.0.0.1:22")}) {
        const HttpReply refused = get(server, target);
        EXPECT_TRUE(refused.status == 403 || refused.status == 404) << target;
        EXPECT_EQ(refused.head.find("X-Origin"), std::string::npos) << target;
    }

    const std::map<std::string, double> metrics = test::parseMetrics(get(server, "/metrics").body);
    ASSERT_FALSE(metrics.empty()) << get(server, "/metrics").body;
    EXPECT_EQ(metrics.at("morlanex_directory_channels_online"), 1);
    EXPECT_EQ(metrics.at("morlanex_directory_datagrams_total{kind=\"LinkKERF_CAM\"}"), 1);
    EXPECT_GE(metrics.at("morlanex_directory_refusals_total{reason=\"malformed\"}"), 1);

    // A stream that stops answering is no origin, though the channel stays listed for now.
    node.stream->stop();
    EXPECT_TRUE(waitUntil([&] { return get(server, "/origin/" + node.channelId).status == 403; }));
    EXPECT_NE(get(server, "/channels.json").body.find(relay), std::string::npos);
    const std::map<std::string, double> later = test::parseMetrics(get(server, "/metrics").body);
    EXPECT_GE(later.at("morlanex_directory_liveness_checks_total{outcome=\"failed\"}"), 1);
    EXPECT_GT(later.at("morlanex_directory_liveness_check_seconds_total"), 0);
}

TEST_F(ChannelPageTest, TheShippedTierProxiesLiveChannelsOnlyAndFetchesEachPieceOnce) {
    const std::string server = "127.0.7.8";
    startWithPage(server);
    ScriptedNode node("3D3D3D3D3D3D", "127.0.0.28");
    ASSERT_TRUE(node.registerAt(server)) << server_->log();
    node.stream->stop();
    PieceOrigin origin("127.0.0.28", node.cam.port());  // the channel's stream port, now with pieces
    ASSERT_TRUE(origin.listening());

    const std::string directory = server + ":" + std::to_string(PagePort);
    test::NginxRelay shield, edge;
    std::string error;
    const std::uint16_t shieldPort = freePort();
    ASSERT_TRUE(shield.startShipped("morlanex-shield.conf", shieldPort, {{"@DIRECTORY@", directory}}, &error)) << error;
    const std::uint16_t edgePort = freePort();
    ASSERT_TRUE(edge.startShipped("morlanex-edge.conf", edgePort,
                                  {{"@DIRECTORY@", directory}, {"@SHIELD@", "127.0.0.1:" + std::to_string(shieldPort)}},
                                  &error))
        << error;

    // A segment, the DASH manifest and a track's segment alone.
    const std::vector<std::string> pieces = {"/live/1a2b3c4d/7", "/live/manifest.mpd", "/live/1a2b3c4d/t1/12297"};
    for (const std::string &piece : pieces) {
        for (int viewer = 0; viewer < 3; ++viewer) {
            const HttpReply reply = get("127.0.0.1", "/channel/" + node.channelId + piece, "GET", edgePort);
            ASSERT_EQ(reply.status, 200) << piece << " " << reply.head;
            EXPECT_EQ(reply.body, "piece " + piece);
        }
    }
    EXPECT_EQ(origin.requests(), int(pieces.size())) << "the tier asks the broadcaster once per piece";

    // Not a live channel (unknown, or a node's address that is not registered): refused.
    for (const std::string &target :
         {std::string("/channel/9999999/live/latest"), "/channel/" + node.channelId + "0/live/latest",
          std::string("/channel/127.0.0.28:22/live/latest"), std::string("/live/latest")}) {
        const HttpReply refused = get("127.0.0.1", target, "GET", edgePort);
        EXPECT_TRUE(refused.status == 403 || refused.status == 404) << target << " " << refused.status;
        EXPECT_EQ(refused.body.find("piece"), std::string::npos) << target;
    }
    EXPECT_EQ(get("127.0.0.1", "/channel/9999999/live/latest", "GET", edgePort).status, 403);
    EXPECT_EQ(get("127.0.0.1", "/channel/9999999/live/latest", "GET", shieldPort).status, 403);
    EXPECT_EQ(origin.requests(), int(pieces.size()));

    // Once "latest" has expired, the request that finds it so waits for the new one at each
    // layer rather than getting the old one while the cache updates behind it.
    const std::string latest = "/channel/" + node.channelId + "/live/latest";
    bool stale = false;
    EXPECT_TRUE(waitUntil([&] {
        const HttpReply reply = get("127.0.0.1", latest, "GET", edgePort);
        stale = stale || reply.head.find("X-Cache: STALE") != std::string::npos ||
            reply.head.find("X-Cache: UPDATING") != std::string::npos;
        return origin.requests() >= int(pieces.size()) + 3;
    }));
    EXPECT_FALSE(stale);
}
