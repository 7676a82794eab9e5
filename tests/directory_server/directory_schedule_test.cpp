// The directory's timed rules in process, on a stepped clock: when channels are checked, when
// a dead stream takes its channel offline, takeovers, the limits per source, pruning and the
// view window. Datagrams go straight into the DirectoryServer; the database is a real file.
#include "directory_server/directory_server.h"
#include "tests/directory_server/database_query.h"
#include "tests/directory_server/server_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace morlanex;
using namespace morlanex::testing;

namespace {

using Reply = std::vector<Outgoing>;

class SteppedDirectory : public ::testing::Test {
protected:
    static constexpr std::int64_t WallStart = 1'767'225'600;  // 2026-01-01

    void start(DirectoryRules rules = {}) {
        const DirectoryClock stepped{
            [this] { return now_; },
            [this] {
                return WallStart + std::chrono::duration_cast<std::chrono::seconds>(now_ - SteadyStart).count();
            }};
        store_.emplace(database().string());
        server_.emplace(
            *store_, "1.1.0.2", [this](const std::string &line) { log_ += line + "\n"; }, rules, stepped);
    }
    void step(std::chrono::milliseconds by) { now_ += by; }

    Reply send(const Peer &from, DirectoryPort at, const DirectoryMessage &msg) {
        return server_->handle({at, from, "127.0.0.5", msg.span()});
    }
    Reply registerFrom(const Peer &cam, const std::string &nodeId) {
        return send(cam, DirectoryPort::First, DirectoryMessage::linkKerfCam(nodeId, "192.168.1.2", "n", "", ""));
    }
    // Registration and second endpoint (cam's address, port + 1); the channel's id.
    std::string goLive(const Peer &cam, const std::string &nodeId) {
        const Reply ok = registerFrom(cam, nodeId);
        if (ok.size() != 1 || !ok[0].message.matches(cmd::LinkKerfOk)) return {};
        DirectoryMessage port = ok[0].message;
        const std::string id = port.readText(Field::ChannelId);
        port.answerLinkKerfPort(id, nodeId);
        send({cam.address, static_cast<std::uint16_t>(cam.port + 1)}, DirectoryPort::Second, port);
        return id;
    }
    // The checks due now, each ended as `answered` says; their targets' ports.
    std::vector<std::uint16_t> runChecks(bool answered, Reply *replies = nullptr) {
        std::vector<std::uint16_t> ports;
        for (const LivenessCheck &check : server_->dueChecks()) {
            ports.push_back(check.target.port);
            Reply more = server_->checkDone(check.id, answered, answered ? "" : "Connection refused");
            if (replies) replies->insert(replies->end(), more.begin(), more.end());
        }
        return ports;
    }
    std::filesystem::path database() const { return temp_.path() / "directory.sqlite"; }
    std::string query(const std::string &sql) const { return queryDatabase(database(), sql); }
    bool online(const std::string &id) const { return query("SELECT online FROM channels WHERE id = " + id) == "1"; }

    static inline const std::chrono::steady_clock::time_point SteadyStart{std::chrono::hours(1000)};
    TempDir temp_;
    std::chrono::steady_clock::time_point now_ = SteadyStart;
    std::optional<ChannelStore> store_;
    std::optional<DirectoryServer> server_;
    std::string log_;
};

}  // namespace

TEST_F(SteppedDirectory, NewChannelsAreFirstCheckedThirtyToSixtySecondsLaterThenEveryInterval) {
    start();
    for (std::uint16_t port = 5000; port < 5020; port += 2)
        ASSERT_FALSE(goLive({"127.0.0.1", port}, "0A000000" + std::to_string(port)).empty()) << log_;
    std::map<std::uint16_t, std::vector<int>> checkedAt;  // by stream port: seconds after registering
    for (int second = 0; second <= 130; ++second, step(1s))
        for (const std::uint16_t port : runChecks(true)) checkedAt[port].push_back(second);
    ASSERT_EQ(checkedAt.size(), 10u);
    std::set<int> firsts;
    for (const auto &[port, seconds] : checkedAt) {
        ASSERT_EQ(seconds.size(), 2u) << port;
        EXPECT_GE(seconds[0], 30) << port;
        EXPECT_LE(seconds[0], 60) << port;
        EXPECT_EQ(seconds[1], seconds[0] + 60) << port;
        firsts.insert(seconds[0]);
    }
    EXPECT_GT(firsts.size(), 3u) << "first checks are spread, not a wave";
}

TEST_F(SteppedDirectory, AStreamThatStopsAnsweringGoesOfflineAfterThreeFailedChecksInARow) {
    start();
    const Peer cam{"127.0.0.1", 5000};
    const std::string id = goLive(cam, "0B0000000001");
    step(60s);
    ASSERT_EQ(runChecks(true).size(), 1u);
    step(60s - 1ms);
    EXPECT_TRUE(runChecks(false).empty()) << "not before the interval";
    step(1ms);
    ASSERT_EQ(runChecks(false).size(), 1u);
    step(10s);
    ASSERT_EQ(runChecks(true).size(), 1u) << "a retry after the retry time; its answer starts the count again";

    // From the last answer: interval + 2 x retry (each check's own timeout comes on top).
    step(60s);
    ASSERT_EQ(runChecks(false).size(), 1u);
    step(10s - 1ms);
    EXPECT_TRUE(runChecks(false).empty());
    step(1ms);
    ASSERT_EQ(runChecks(false).size(), 1u);
    EXPECT_TRUE(online(id));
    step(10s);
    ASSERT_EQ(runChecks(false).size(), 1u);
    EXPECT_FALSE(online(id));
    EXPECT_NE(log_.find("did not answer 3 checks"), std::string::npos) << log_;
    EXPECT_TRUE(send({"127.0.0.9", 7000}, DirectoryPort::Second, viewerRequest(cmd::WatchChannel, id, "", 0)).empty());
}

TEST_F(SteppedDirectory, ATakeoverIsRefusedWhileTheOwnersStreamAnswersAndServedWhenItDoesNot) {
    start();
    const Peer owner{"127.0.0.1", 5000}, thief{"127.0.0.2", 6000};
    const std::string id = goLive(owner, "0C0000000001");
    EXPECT_TRUE(registerFrom(thief, "0C0000000001").empty());
    EXPECT_TRUE(registerFrom(thief, "0C0000000001").empty()) << "one attempt at a time is checked";
    EXPECT_EQ(runChecks(true), std::vector<std::uint16_t>{owner.port}) << "the owner's stream, at once";

    step(9999ms);
    EXPECT_TRUE(registerFrom(thief, "0C0000000001").empty());
    EXPECT_TRUE(runChecks(true).empty()) << "within the retry time of an answer: refused without a check";
    EXPECT_NE(log_.find("from another address refused: its stream answers"), std::string::npos) << log_;

    step(1ms);
    EXPECT_TRUE(registerFrom(thief, "0C0000000001").empty());
    Reply replies;
    EXPECT_EQ(runChecks(false, &replies), std::vector<std::uint16_t>{owner.port});
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_TRUE(replies[0].message.matches(cmd::LinkKerfOk));
    EXPECT_EQ(replies[0].to, thief);
    EXPECT_EQ(replies[0].message.readText(Field::ChannelId), id);
    EXPECT_EQ(query("SELECT first_address FROM channels WHERE id = " + id), "127.0.0.2");
}

TEST_F(SteppedDirectory, OneSourceRegistersTwentyTimesAMinuteAndLocksNobodyOut) {
    start();
    const Peer flood{"127.0.0.4", 40000};
    int accepted = 0;
    for (int i = 0; i < 10000; ++i) {
        char nodeId[13];
        std::snprintf(nodeId, sizeof nodeId, "02%010X", i);
        accepted += static_cast<int>(registerFrom(flood, nodeId).size());
    }
    EXPECT_EQ(accepted, 20);
    EXPECT_EQ(query("SELECT count(*) FROM channels WHERE source = '127.0.0.4'"), "20");
    EXPECT_FALSE(goLive({"127.0.0.5", 5000}, "00E04C111111").empty()) << "another address registers at once";
    EXPECT_LT(std::count(log_.begin(), log_.end(), '\n'), 120) << "the flood's log lines are held back";

    step(3100ms);  // one registration's worth
    EXPECT_EQ(registerFrom(flood, "030000000001").size(), 1u);
    EXPECT_TRUE(registerFrom(flood, "030000000002").empty());
    step(10s);
    server_->dueChecks();
    EXPECT_NE(log_.find("log lines held back from"), std::string::npos) << log_;
}

TEST_F(SteppedDirectory, ASourceAtItsLimitHasItsChannelsCheckedNoMoreOftenThanTheRetryTime) {
    DirectoryRules rules;
    rules.maxOnlinePerSource = 2;
    start(rules);
    ASSERT_FALSE(goLive({"127.0.0.6", 5000}, "0D0000000001").empty());
    ASSERT_FALSE(goLive({"127.0.0.6", 5002}, "0D0000000002").empty());
    EXPECT_TRUE(registerFrom({"127.0.0.6", 5004}, "0D0000000003").empty());
    EXPECT_EQ(runChecks(true).size(), 2u) << "its channels are checked at once";
    step(5s);
    EXPECT_TRUE(registerFrom({"127.0.0.6", 5004}, "0D0000000003").empty());
    EXPECT_TRUE(runChecks(true).empty());
    step(5s);
    EXPECT_EQ(runChecks(false).size(), 2u);
}

TEST_F(SteppedDirectory, ChannelsOfflineLongerThanThePruneTimeAreForgotten) {
    start();
    server_->dueChecks();  // the first pruning, at the start
    const Peer cam{"127.0.0.7", 5000};
    const std::string id = goLive(cam, "0E0000000001");
    send({cam.address, 5001}, DirectoryPort::First, DirectoryMessage::closeKerf(id, "0E0000000001"));
    ASSERT_FALSE(online(id));
    step(std::chrono::hours(30 * 24 - 1));
    server_->dueChecks();
    EXPECT_EQ(query("SELECT count(*) FROM channels WHERE id = " + id), "1");
    step(std::chrono::hours(2));  // pruning runs at least hourly
    server_->dueChecks();
    EXPECT_EQ(query("SELECT count(*) FROM channels WHERE id = " + id), "0");
    EXPECT_NE(log_.find("pruned 1 channels"), std::string::npos) << log_;
}

TEST_F(SteppedDirectory, AViewerAddressCountsOncePerViewWindow) {
    start();
    const Peer cam{"127.0.0.8", 5000}, udp{"127.0.0.8", 5001}, viewer{"127.0.0.9", 7000};
    const std::string nodeId = "0F0000000001", id = goLive(cam, nodeId);
    const auto watchAndCount = [&] {
        Reply p2p = send(viewer, DirectoryPort::Second, viewerRequest(cmd::WatchChannel, id, "", 0));
        ASSERT_EQ(p2p.size(), 1u);
        p2p[0].message.answerCamChannelRate(id, nodeId);
        send(udp, DirectoryPort::Second, p2p[0].message);
        send(viewer, DirectoryPort::Second, viewerRequest(cmd::LeaveChannel, id, "", 0));
    };
    watchAndCount();
    watchAndCount();
    EXPECT_EQ(query("SELECT views FROM channels WHERE id = " + id), "1");
    step(3600s);
    watchAndCount();
    EXPECT_EQ(query("SELECT views FROM channels WHERE id = " + id), "2");
}
