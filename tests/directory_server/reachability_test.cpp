// A node's reachability question, in process: the directory's loop, its channel page port and
// the route on a thread of their own; nodes (scripted UDP peers with a TCP listener on their
// CAM port) and their questions over real sockets from their own loopback addresses. The
// directories listen on 127.0.11.x, this file's own.
#include "directory_server/channel_page_server.h"
#include "directory_server/reachability_route.h"
#include "tests/directory_server/server_harness.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <thread>

using namespace morlanex;
using namespace morlanex::testing;

namespace {

constexpr auto CheckTimeout = 1000ms;

struct Answer {
    int status = 0;
    std::string head;
    QJsonObject json;
    std::chrono::steady_clock::duration took{};
};

class ReachabilityTest : public ::testing::Test {
protected:
    // The daemon's parts as main() wires them, on `address`.
    void start(const std::string &address) {
        server_ = address;
        DirectoryRules rules;
        rules.checkTimeout = CheckTimeout;
        rules.failedChecksOffline = 1;  // a failed liveness check would end the channel at once
        const std::string database = (temp_.path() / "directory.sqlite").string();
        const auto quiet = [](const std::string &) {};
        store_.emplace(database);
        directory_.emplace(*store_, "1.1.0.2", quiet, rules);
        loop_.emplace(*directory_, quiet);
        loop_->bind(address, 20, 22);
        listing_.emplace(database);
        page_.emplace(loop_->reactor(), *listing_, quiet);
        route_.emplace(*directory_, *loop_);
        ChannelPageServer::Tier tier;
        tier.nodeQuestion = [this](const std::string &peer, const std::string &target,
                                   ChannelPageServer::JsonReply reply) { route_->ask(peer, target, std::move(reply)); };
        page_->serveTier(std::move(tier));
        page_->bind(address, 0);
        thread_ = std::thread([this] { loop_->run(stop_.get()); });
    }
    void TearDown() override {
        const std::uint64_t one = 1;
        ASSERT_EQ(::write(stop_.get(), &one, sizeof one), 8);
        if (thread_.joinable()) thread_.join();
    }

    // GET /node/reachability?<query> from `from`, read to the end (the server closes).
    Answer ask(const std::string &from, const std::string &query) const {
        Answer answer;
        const UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const timeval wait{10, 0};
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &at.sin_addr);
        if (::bind(socket.get(), reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) return answer;
        ::inet_pton(AF_INET, server_.c_str(), &at.sin_addr);
        at.sin_port = htons(page_->port());
        const auto started = std::chrono::steady_clock::now();
        if (::connect(socket.get(), reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) return answer;
        const std::string request = "GET /node/reachability?" + query + " HTTP/1.1\r\nHost: directory\r\n\r\n";
        ::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL);
        std::string all;
        char buffer[4096];
        for (ssize_t size; (size = ::recv(socket.get(), buffer, sizeof buffer, 0)) > 0;)
            all.append(buffer, static_cast<std::size_t>(size));
        answer.took = std::chrono::steady_clock::now() - started;
        const auto split = all.find("\r\n\r\n");
        answer.head = all.substr(0, split);
        if (all.starts_with("HTTP/1.1 ")) answer.status = std::atoi(all.c_str() + 9);
        if (split != std::string::npos)
            answer.json = QJsonDocument::fromJson(QByteArray::fromStdString(all.substr(split + 4))).object();
        return answer;
    }
    static std::string portOf(const ScriptedNode &node) { return "port=" + std::to_string(node.cam.port()); }

    TempDir temp_;
    std::string server_;
    std::optional<ChannelStore> store_;
    std::optional<DirectoryServer> directory_;
    std::optional<ServerLoop> loop_;
    std::optional<ChannelListing> listing_;
    std::optional<ChannelPageServer> page_;
    std::optional<ReachabilityRoute> route_;
    UniqueFd stop_{::eventfd(0, EFD_CLOEXEC)};
    std::thread thread_;
};

}  // namespace

TEST_F(ReachabilityTest, AnAnsweringStreamIsReportedWithTheEndpointViewersAreSentTo) {
    start("127.0.11.10");
    ScriptedNode node("1B0000000001", "127.0.11.11");
    ASSERT_TRUE(node.goLive(server_));
    const Answer answer = ask(node.cam.address(), portOf(node));
    ASSERT_EQ(answer.status, 200) << answer.head;
    EXPECT_NE(answer.head.find("Content-Type: application/json"), std::string::npos);
    EXPECT_EQ(answer.json.value("channelId").toString().toStdString(), node.channelId);
    EXPECT_EQ(answer.json.value("address").toString(), "127.0.11.11");
    EXPECT_EQ(answer.json.value("port").toInt(), node.cam.port());
    EXPECT_TRUE(answer.json.value("reachable").toBool());
    EXPECT_EQ(answer.json.value("error").toString(), "");
    EXPECT_LE(std::abs(answer.json.value("checkedAt").toInteger() - std::time(nullptr)), 5);

    // Two channels from one address: the port names the node's own; no such port, neither.
    ScriptedNode neighbour("1B0000000002", "127.0.11.11");
    ASSERT_TRUE(neighbour.goLive(server_));
    const Answer own = ask(neighbour.cam.address(), portOf(neighbour));
    EXPECT_EQ(own.json.value("channelId").toString().toStdString(), neighbour.channelId);
    EXPECT_EQ(ask(node.cam.address(), "port=1").status, 409);
}

TEST_F(ReachabilityTest, ARefusedConnectIsReportedAndLeavesTheChannelOnline) {
    start("127.0.11.20");
    ScriptedNode node("1B0000000003", "127.0.11.21");
    ASSERT_TRUE(node.goLive(server_));
    node.stream->stop();
    const Answer refused = ask(node.cam.address(), portOf(node));
    ASSERT_EQ(refused.status, 200) << refused.head;
    EXPECT_FALSE(refused.json.value("reachable").toBool());
    EXPECT_EQ(refused.json.value("error").toString(), "Connection refused");

    // Not a liveness failure (one would end it here): still online. An outcome younger than
    // 10 s is told again without a new connect, though the stream is back by now.
    StreamStandIn back(node.cam.address(), node.cam.port());
    const Answer again = ask(node.cam.address(), portOf(node));
    ASSERT_EQ(again.status, 200) << again.head;
    EXPECT_FALSE(again.json.value("reachable").toBool());
    EXPECT_EQ(again.json.value("checkedAt"), refused.json.value("checkedAt"));
    ScriptedPeer viewer("127.0.11.22");
    viewer.send(server_, 22, viewerRequest(cmd::WatchChannel, node.channelId, "", 0));
    EXPECT_TRUE(node.udp.receiveCommand(cmd::SendP2PData));
}

TEST_F(ReachabilityTest, AnUnansweredConnectIsReportedWithinTheCheckTimeout) {
    start("127.0.11.30");
    ScriptedNode node("1B0000000004", "127.0.11.31");
    ASSERT_TRUE(node.goLive(server_));
    // A listener whose backlog is full: further SYNs are dropped, as by a router that lets
    // nothing in.
    node.stream->stop();
    const UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const UniqueFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(node.cam.port());
    ::inet_pton(AF_INET, "127.0.11.31", &at.sin_addr);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener.get(), 0), 0);
    ASSERT_EQ(::connect(filler.get(), reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    const Answer answer = ask(node.cam.address(), portOf(node));
    ASSERT_EQ(answer.status, 200) << answer.head;
    EXPECT_FALSE(answer.json.value("reachable").toBool());
    EXPECT_EQ(answer.json.value("error").toString(), "no answer within 1 s");
    EXPECT_GE(answer.took, CheckTimeout - 100ms);
    EXPECT_LT(answer.took, CheckTimeout + 3s) << "the answer waits for the check timeout, no longer";
}

TEST_F(ReachabilityTest, AnAddressWithoutAChannelIsToldSoAndAskingIsLimited) {
    start("127.0.11.40");
    ScriptedNode node("1B0000000005", "127.0.11.41");
    ASSERT_TRUE(node.goLive(server_));
    const std::string stranger = "127.0.11.42";
    const Answer none = ask(stranger, portOf(node));
    EXPECT_EQ(none.status, 404) << none.head;
    EXPECT_EQ(none.json.value("error").toString(), "no channel is online from 127.0.11.42");
    EXPECT_EQ(ask(stranger, "port=70000").status, 400);
    for (int i = 2; i < ReachabilityRoute::RequestsPerWindow; ++i) EXPECT_EQ(ask(stranger, portOf(node)).status, 404);
    const Answer limited = ask(stranger, portOf(node));
    EXPECT_EQ(limited.status, 429) << limited.head;
    EXPECT_NE(limited.head.find("Retry-After: 10"), std::string::npos);
    // Per address: the node itself still asks.
    EXPECT_EQ(ask(node.cam.address(), portOf(node)).status, 200);
}
