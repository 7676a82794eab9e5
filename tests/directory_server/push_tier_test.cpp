// Pushing to the cache tier: the real directory (--push-ingest) and the shipped shield file as it
// is (nginx's dav module takes the PUTs, auth_request asks the directory); scripted nodes on
// loopback addresses of their own ask for their credentials and push with our HTTP client. Only
// a channel's own node pushes, only its own pieces, only while its broadcast lasts; what it
// pushed is served as a pulled channel's pieces are. The directories listen on 127.0.14.x, the
// nodes on 127.0.15.x, this file's own.
#include "media/push/broadcast_pusher.h"
#include "net/http_client.h"
#include "tests/netsink/webm_test_stream.h"
#include "tests/browser/nginx_relay.h"
#include "tests/directory_server/directory_test.h"
#include "tests/support/event_waits.h"
#include "tests/support/metrics_parse.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>

using namespace morlanex;
using namespace morlanex::testing;

namespace {

constexpr std::uint16_t PagePort = 8080;

std::uint16_t freePort() { return test::NginxRelay::freePort(); }

std::span<const uint8_t> bytesOf(const std::string &text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

struct Credential {
    int status = 0;
    std::string channelId, token, ingest;
};

class PushTierTest : public DirectoryTest {
protected:
    // The directory on `address` with the tier's shield in front of it, taking pushes.
    void start(const std::string &address, std::vector<std::string> extra = {}, bool withShield = true) {
        directory_ = address;
        ingestPort_ = freePort();
        std::vector<std::string> args = {"--http-port",   std::to_string(PagePort),
                                         "--relay-base",  "http://relay.example",
                                         "--push-ingest", "http://127.0.0.1:" + std::to_string(ingestPort_)};
        args.insert(args.end(), extra.begin(), extra.end());
        startServer(address, args);
        if (withShield) startShield();
    }
    void startShield() {
        std::string error;
        ASSERT_TRUE(shield_.startShipped("morlanex-shield.conf", freePort(),
                                         {{"@DIRECTORY@", directory_ + ":" + std::to_string(PagePort)},
                                          {"@INGEST_LISTEN@", "127.0.0.1:" + std::to_string(ingestPort_)}},
                                         &error))
            << error;
    }

    // The node's ask for its credential, from its own address.
    Credential ask(const ScriptedNode &node, const std::string &nodeId) {
        HttpClient::Options options;
        options.localAddress = node.cam.address();
        HttpClient client(directory_, PagePort, options);
        const HttpResult r =
            client.request("GET", "/node/push?port=" + std::to_string(node.cam.port()), {{"X-Morlanex-Node", nodeId}});
        Credential c;
        if (!r.ok()) return c;
        c.status = r.answer.status;
        const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(r.answer.body)).object();
        c.channelId = json.value("channelId").toString().toStdString();
        c.token = json.value("token").toString().toStdString();
        c.ingest = json.value("ingest").toString().toStdString();
        return c;
    }

    // PUT `body` at `target` on the shield's ingest port; the status (0: no answer).
    int put(const std::string &target, const std::string &body, const std::string &token) {
        HttpHeaders headers;
        if (!token.empty()) headers.push_back({"Authorization", "Bearer " + token});
        const HttpResult r = ingest_->request("PUT", target, headers, bytesOf(body));
        return r.ok() ? r.answer.status : 0;
    }

    HttpAnswer fromShield(const std::string &target) {
        HttpClient client("127.0.0.1", shield_.port());
        return client.request("GET", target).answer;
    }

    // Every file pushed so far, relative to the pushed pieces' folder.
    std::vector<std::string> pushedFiles() const {
        std::vector<std::string> files;
        const std::filesystem::path root = shield_.folder() + "/cache/pushed";
        std::error_code ignored;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
            if (it->is_regular_file()) files.push_back(std::filesystem::relative(it->path(), root).string());
        return files;
    }
    // Files anywhere in the shield's folder but its cache, temporary bodies and the pushed pieces.
    std::vector<std::string> strayFiles() const {
        std::vector<std::string> files;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(shield_.folder())) {
            const std::string name = std::filesystem::relative(entry.path(), shield_.folder()).string();
            if (entry.is_regular_file() && !name.starts_with("cache/") && name.find(".conf") == std::string::npos &&
                name != "error.log" && name != "nginx.pid")
                files.push_back(name);
        }
        return files;
    }

    std::string directory_;
    std::uint16_t ingestPort_ = 0;
    test::NginxRelay shield_;
    std::optional<HttpClient> ingest_;

    void live(ScriptedNode &node) { ASSERT_TRUE(node.goLive(directory_)) << server_->log(); }
    // A pusher for the node's broadcast, as the program makes one, retrying fast.
    BroadcastPusher::Config pusherFor(const ScriptedNode &node) {
        BroadcastPusher::Config config;
        config.settings.mode = PushMode::Always;
        config.settings.directoryAddress = directory_;
        config.settings.directoryHttpPort = PagePort;
        config.settings.nodeId = node.nodeId;
        config.settings.localAddress = node.cam.address();
        config.streamPort = node.cam.port();
        config.playerPage = "<!DOCTYPE html><title>player</title>";
        config.lastRetry = 200ms;
        return config;
    }
    // The node live with its credential, and a connection to the ingest port.
    Credential liveWithCredential(ScriptedNode &node) {
        live(node);
        const Credential c = ask(node, node.nodeId);
        EXPECT_EQ(c.status, 200);
        connectIngest();
        return c;
    }
    // A new connection to the ingest port (nginx closes one after an error).
    void connectIngest() { ingest_.emplace("127.0.0.1", ingestPort_); }
};

}  // namespace

TEST_F(PushTierTest, TheOwnersPushIsServedAsAPulledChannelsPiecesAndKeepsItsChannelAlive) {
    start("127.0.14.1", {"--check-interval", "0.2", "--check-retry", "0.2", "--failed-checks", "1"});
    ScriptedNode node("4E0000000001", "127.0.15.1");
    live(node);
    const Credential c = ask(node, node.nodeId);
    ASSERT_EQ(c.status, 200);
    EXPECT_EQ(c.channelId, node.channelId);
    EXPECT_EQ(c.token.size(), 32u);
    EXPECT_EQ(c.ingest, "http://127.0.0.1:" + std::to_string(ingestPort_) + "/channel/" + node.channelId + "/live/");
    // Once per broadcast, and only to its node.
    EXPECT_EQ(ask(node, node.nodeId).status, 409);
    ScriptedNode stranger("4E0000000002", "127.0.15.2");
    EXPECT_EQ(ask(stranger, node.nodeId).status, 404);

    HttpClient ingest("127.0.0.1", ingestPort_);
    const std::string base = "/channel/" + node.channelId + "/live/";
    const auto push = [&](const std::string &piece, const std::string &body) {
        const HttpResult r =
            ingest.request("PUT", base + piece, {{"Authorization", "Bearer " + c.token}}, bytesOf(body));
        return r.ok() ? r.answer.status : 0;
    };
    for (const auto &[piece, body] :
         std::vector<std::pair<std::string, std::string>>{{"1a2b3c4d/header", "webm header"},
                                                          {"1a2b3c4d/7", "segment 7"},
                                                          {"1a2b3c4d/t1/21000", "track 1 from 21 s"},
                                                          {"manifest.mpd", "<MPD/>"},
                                                          {"latest", "{\"session\":\"1a2b3c4d\",\"segment\":7}"}}) {
        const int status = push(piece, body);
        EXPECT_TRUE(status == 201 || status == 204) << piece << " " << status;
    }
    EXPECT_EQ(ingest.connectionsOpened(), 1u) << "one kept-alive connection for every push";

    // The shield serves them as a broadcaster answers for its own: same paths, types, lifetimes.
    const HttpAnswer latest = fromShield(base + "latest"), segment = fromShield(base + "1a2b3c4d/7"),
                     manifest = fromShield(base + "manifest.mpd");
    EXPECT_EQ(latest.body, "{\"session\":\"1a2b3c4d\",\"segment\":7}");
    EXPECT_EQ(latest.header("Content-Type"), "application/json");
    EXPECT_EQ(latest.header("Cache-Control"), "max-age=1");
    EXPECT_EQ(segment.body, "segment 7");
    EXPECT_EQ(segment.header("Content-Type"), "video/webm");
    EXPECT_EQ(segment.header("Cache-Control"), "max-age=60");
    EXPECT_EQ(manifest.header("Content-Type"), "application/dash+xml");
    EXPECT_EQ(fromShield(base + "1a2b3c4d/t1/21000").body, "track 1 from 21 s");
    EXPECT_EQ(fromShield(base + "1a2b3c4d/8").status, 404);

    const auto page = [&](const std::string &target) {
        return HttpClient(directory_, PagePort).request("GET", target).answer;
    };
    EXPECT_EQ(page("/origin/" + node.channelId).header("X-Origin"), "pushed");
    const auto checks = [&](const char *outcome) {
        const auto metrics = test::parseMetrics(page("/metrics").body);
        const auto it =
            metrics.find("morlanex_directory_liveness_checks_total{outcome=\"" + std::string(outcome) + "\"}");
        return it == metrics.end() ? 0.0 : it->second;
    };
    ASSERT_TRUE(waitUntil([&] { return checks("answered") >= 1; }));
    EXPECT_EQ(page("/channels.json").body.find("relayOnly"), std::string::npos) << "its stream still answers";

    // Nobody connects to its stream any more; one failed check would take it offline, but while
    // it pushes the failing checks leave it online, and the page says that Windows Media players
    // cannot watch it.
    node.stream->stop();
    auto lastPush = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitUntil([&] {
        // At a pusher's pace (a few pieces a second), not as fast as the loop runs.
        if (std::chrono::steady_clock::now() - lastPush > 100ms) {
            EXPECT_EQ(push("latest", "{\"session\":\"1a2b3c4d\",\"segment\":7}"), 204);
            lastPush = std::chrono::steady_clock::now();
        }
        return checks("failed") >= 3;
    }));
    EXPECT_EQ(page("/origin/" + node.channelId).status, 200) << server_->log();
    EXPECT_NE(page("/channels.json").body.find("\"relayOnly\":true"), std::string::npos);
    EXPECT_NE(page("/").body.find("Windows Media 播放器無法觀看此頻道"), std::string::npos);
}

TEST_F(PushTierTest, APushWithoutTheCredentialIsRefusedAndNothingIsWritten) {
    start("127.0.14.2");
    ScriptedNode node("4E0000000003", "127.0.15.3");
    const Credential c = liveWithCredential(node);
    const std::string latest = "/channel/" + node.channelId + "/live/latest";
    EXPECT_EQ(put(latest, "forged", ""), 403);
    EXPECT_EQ(put(latest, "forged", std::string(32, '0')), 403);
    EXPECT_EQ(put(latest, "forged", c.token.substr(0, 31)), 403);
    HttpClient basic("127.0.0.1", ingestPort_);
    EXPECT_EQ(basic.request("PUT", latest, {{"Authorization", "Basic " + c.token}}, bytesOf("forged")).answer.status,
              403);
    // Not a PUT.
    EXPECT_EQ(ingest_->request("DELETE", latest, {{"Authorization", "Bearer " + c.token}}).answer.status, 403);
    EXPECT_TRUE(pushedFiles().empty());
    // Asked with another node's id, a credential is not given.
    ScriptedNode other("4E0000000004", "127.0.15.4");
    live(other);
    EXPECT_EQ(ask(other, node.nodeId).status, 403);
    EXPECT_EQ(put(latest, "mine", c.token), 201);
    EXPECT_EQ(pushedFiles(), std::vector<std::string>{"channel/" + node.channelId + "/live/latest"});
}

TEST_F(PushTierTest, AnotherChannelsCredentialIsRefused) {
    start("127.0.14.3");
    ScriptedNode mine("4E0000000005", "127.0.15.5"), theirs("4E0000000006", "127.0.15.6");
    live(mine);
    live(theirs);
    const Credential own = ask(mine, mine.nodeId);
    ASSERT_EQ(own.status, 200);
    ASSERT_EQ(ask(theirs, theirs.nodeId).status, 200);
    connectIngest();
    EXPECT_EQ(put("/channel/" + theirs.channelId + "/live/latest", "taken over", own.token), 403);
    EXPECT_EQ(put("/channel/" + theirs.channelId + "/live/1a2b3c4d/3", "taken over", own.token), 403);
    EXPECT_TRUE(pushedFiles().empty());
}

TEST_F(PushTierTest, ACredentialEndsWithItsBroadcast) {
    start("127.0.14.4");
    ScriptedNode node("4E0000000007", "127.0.15.7");
    const Credential first = liveWithCredential(node);
    const std::string latest = "/channel/" + node.channelId + "/live/latest";
    ASSERT_EQ(put(latest, "first broadcast", first.token), 201);

    // Registered again: a new broadcast, a new credential; the old one is stale.
    ASSERT_TRUE(node.goLive(directory_));
    EXPECT_EQ(put(latest, "stale", first.token), 403);
    const Credential second = ask(node, node.nodeId);
    ASSERT_EQ(second.status, 200);
    EXPECT_NE(second.token, first.token);
    EXPECT_EQ(put(latest, "second broadcast", second.token), 204);

    // Closed: refused at once, the shield keeps no answer.
    node.cam.send(directory_, 20, DirectoryMessage::closeKerf(node.channelId, node.nodeId));
    ASSERT_TRUE(node.sync(directory_));
    EXPECT_EQ(put(latest, "after the end", second.token), 403);
    std::ifstream file(shield_.folder() + "/cache/pushed" + latest);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "second broadcast");
}

TEST_F(PushTierTest, PathsOutsideTheChannelsFolderAreRefused) {
    start("127.0.14.5");
    ScriptedNode node("4E0000000008", "127.0.15.8");
    const Credential c = liveWithCredential(node);
    const std::string id = node.channelId;
    const std::vector<std::string> targets = {
        "/channel/" + id + "/live/../../" + id + "0/live/latest",
        "/channel/" + id + "/live/%2e%2e/%2e%2e/%2e%2e/escaped",
        "/channel/" + id + "/live/1a2b3c4d/../../../../../tmp/escaped",
        "/channel/" + id + "/live/..%2f..%2f..%2fescaped",
        "/channel/" + id + "/live/.htaccess",
        "/channel/" + id + "/live/1a2b3c4d/header.html",
        "/channel/" + id + "/escaped",
        "/channel/" + id + "/live/",
        "/channel/" + id + "/live/1a2b3c4d/7/../../../../../../../etc/passwd",
        "/../../etc/escaped",
        "/escaped",
    };
    for (const std::string &target : targets) {
        connectIngest();
        const int status = put(target, "escaped", c.token);
        EXPECT_TRUE(status == 400 || status == 403 || status == 404) << target << " " << status;
    }
    EXPECT_TRUE(pushedFiles().empty());
    EXPECT_TRUE(strayFiles().empty());
}

TEST_F(PushTierTest, OversizedAndEndlessBodiesAreCutOff) {
    start("127.0.14.6");
    ScriptedNode node("4E0000000009", "127.0.15.9");
    const Credential c = liveWithCredential(node);
    const std::string target = "/channel/" + node.channelId + "/live/1a2b3c4d/1";
    EXPECT_EQ(put(target, std::string(9 * 1024 * 1024, 'x'), c.token), 413);
    // A chunked body that never ends: cut off at the limit.
    const UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(ingestPort_);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ASSERT_EQ(::connect(socket.get(), reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    const std::string head = "PUT " + target + " HTTP/1.1\r\nHost: shield\r\nAuthorization: Bearer " + c.token +
        "\r\nTransfer-Encoding: chunked\r\n\r\n";
    ::send(socket.get(), head.data(), head.size(), MSG_NOSIGNAL);
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'y') + "\r\n";
    // nginx answers 413 at the limit, reads on for its lingering time (2 s), then closes.
    const auto started = std::chrono::steady_clock::now();
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - started < 20s)
        closed = ::send(socket.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0;
    EXPECT_TRUE(closed) << "nginx kept reading";
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(socket.get(), buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, size_t(n));
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 413")) << answer.substr(0, 80);
    EXPECT_TRUE(pushedFiles().empty());
}

// The program's pusher against the same tier: each segment's pieces go up before the manifest
// and "latest" name it, and the tier serves them; once its broadcast ends it is refused and stops.
TEST_F(PushTierTest, ThePusherPutsASegmentsPiecesUpBeforeNamingItAndStopsWithItsBroadcast) {
    namespace w = webmtest;
    start("127.0.14.7");
    ScriptedNode node("4E000000000A", "127.0.15.10");
    live(node);
    BroadcastPusher pusher(pusherFor(node));
    pusher.start();
    pusher.activate();
    pusher.header(w::liveHeader());
    pusher.chunk(w::liveCluster(0), true);
    // At a live stream's pace: each segment complete once the one before is up.
    for (uint64_t n = 1; n <= 3; ++n) {
        pusher.chunk(w::liveCluster(n * 3000), true);
        ASSERT_TRUE(waitUntil([&] { return pusher.report().segmentsPushed == n; })) << toString(pusher.report().state);
    }
    EXPECT_EQ(pusher.report().segmentsSkipped, 0u);
    EXPECT_EQ(pusher.report().channelId, node.channelId);

    const std::string base = "/channel/" + node.channelId + "/live/";
    const std::string latest = fromShield(base + "latest").body;
    const std::string session = latest.substr(12, 8);
    EXPECT_EQ(latest, "{\"session\":\"" + session + "\",\"segment\":2}");
    const auto bytes = [](const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); };
    EXPECT_EQ(fromShield(base + session + "/header").body, bytes(w::liveHeader()));
    EXPECT_EQ(fromShield(base + session + "/1").body, bytes(w::liveCluster(3000)));
    std::vector<uint8_t> video;
    ASSERT_TRUE(appendWebmTrackClusters(w::liveCluster(6000), 1, &video));
    EXPECT_EQ(fromShield(base + session + "/t1/6000").body, bytes(video));
    EXPECT_EQ(fromShield(base + session + "/t2/header").body, bytes(webmTrackHeader(w::liveHeader(), 2)));
    const std::string manifest = fromShield(base + "manifest.mpd").body;
    for (const char *s : {"<S t=\"0\" d=\"3000\"/>", "<S t=\"3000\" d=\"3000\"/>", "<S t=\"6000\" d=\"3000\"/>"})
        EXPECT_NE(manifest.find(s), std::string::npos) << manifest;
    EXPECT_EQ(manifest.find("t=\"9000\""), std::string::npos) << "the segment being made is not named";
    EXPECT_EQ(fromShield(base + "watch").body, "<!DOCTYPE html><title>player</title>");

    node.cam.send(directory_, 20, DirectoryMessage::closeKerf(node.channelId, node.nodeId));
    ASSERT_TRUE(node.sync(directory_));
    pusher.chunk(w::liveCluster(12000), true);
    EXPECT_TRUE(waitUntil([&] { return pusher.report().state == PushState::Refused; }));
    EXPECT_EQ(pusher.report().segmentsPushed, 3u);
}

// The tier out of reach (not started yet): the pusher keeps sending again and holds only the
// newest segments meanwhile, dropping older ones whole; once the tier is there it pushes on
// with the newest.
TEST_F(PushTierTest, APusherThatCannotReachTheTierHoldsOnlyItsNewestSegments) {
    namespace w = webmtest;
    start("127.0.14.8", {}, false);
    ScriptedNode node("4E000000000B", "127.0.15.11");
    live(node);
    BroadcastPusher pusher(pusherFor(node));
    pusher.start();
    pusher.activate();
    ASSERT_TRUE(waitUntil([&] { return pusher.report().state == PushState::Pushing; }));
    pusher.header(w::liveHeader());
    constexpr uint64_t kSegments = 20;
    for (uint64_t n = 0; n <= kSegments; ++n) pusher.chunk(w::liveCluster(n * 3000), true);
    const PushReport held = pusher.report();
    EXPECT_EQ(held.segmentsPushed, 0u);
    EXPECT_EQ(held.segmentsSkipped, kSegments - 2);
    EXPECT_LE(held.mostQueuedBytes, w::liveCluster(54000).size() + w::liveCluster(57000).size())
        << "two segments waiting, never more";

    startShield();
    ASSERT_TRUE(waitUntil([&] { return pusher.report().segmentsPushed == 2; }));
    EXPECT_NE(fromShield("/channel/" + node.channelId + "/live/latest")
                  .body.find("\"segment\":" + std::to_string(kSegments - 1)),
              std::string::npos);
}
