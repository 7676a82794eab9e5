// The directory's own rules against the real morlanex-directory process on
// loopback addresses: channels and rows per source, restart after a crash, honest
// counts and operations. Scripted nodes carry a TCP listener on their CAM
// port, as a live node's stream. The directories listen on 127.0.5.x, this file's own.
// The timed rules (checks, takeovers, registrations a minute, pruning, the view
// window) are tested on a stepped clock in directory_schedule_test.cpp.
#include "tests/directory_server/database_query.h"
#include "tests/directory_server/server_harness.h"
#include "tests/support/poll_until.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace morlanex;
using namespace morlanex::testing;

namespace {

class DirectoryRulesTest : public ::testing::Test {
protected:
    std::unique_ptr<DirectoryProcess> start(const std::string &address, std::vector<std::string> extra = {}) {
        auto server = std::make_unique<DirectoryProcess>(address, database(), std::move(extra));
        EXPECT_TRUE(server->start()) << server->log();
        return server;
    }
    std::filesystem::path database() const { return temp_.path() / "directory.sqlite"; }
    std::string query(const std::string &sql) const { return queryDatabase(database(), sql); }
    // Whether a viewer's request reaches the node: the channel is online at this directory.
    static bool forwardsViewers(const std::string &server, ScriptedNode &node, ScriptedPeer &viewer) {
        viewer.send(server, 22, viewerRequest(cmd::WatchChannel, node.channelId, "", 0));
        const bool forwarded = node.udp.receiveCommand(cmd::SendP2PData, 500ms).has_value();
        viewer.send(server, 22, viewerRequest(cmd::LeaveChannel, node.channelId, "", 0));
        node.cam.receiveCommand(cmd::DelChannelOnline, 200ms);
        return forwarded;
    }

    TempDir temp_;
};

}  // namespace

TEST_F(DirectoryRulesTest, OneSourceHoldsALimitedNumberOfChannelsAndRows) {
    const std::string server = "127.0.5.3";
    auto directory = start(server, {"--max-channels-per-source", "3", "--stored-per-source", "5"});
    std::vector<std::unique_ptr<ScriptedNode>> nodes;
    for (int i = 0; i < 4; ++i)
        nodes.push_back(std::make_unique<ScriptedNode>("0A000000000" + std::to_string(i), "127.0.0.6"));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(nodes[static_cast<std::size_t>(i)]->registerAt(server)) << directory->log();
    EXPECT_FALSE(nodes[3]->registerAt(server, "fourth", 1s));
    EXPECT_NE(directory->log().find("3 channels already online from this address"), std::string::npos);

    // Nodes that come and go with new identities: the source keeps 5 rows at most.
    for (int i = 0; i < 8; ++i) {
        ScriptedNode passing("0B000000000" + std::to_string(i), "127.0.0.6");
        nodes[0]->cam.send(server, 20, DirectoryMessage::closeKerf(nodes[0]->channelId, nodes[0]->nodeId));
        ASSERT_TRUE(passing.registerAt(server)) << directory->log();
        passing.cam.send(server, 20, DirectoryMessage::closeKerf(passing.channelId, passing.nodeId));
    }
    ScriptedNode last("0C0000000000", "127.0.0.6");
    ASSERT_TRUE(last.registerAt(server));
    EXPECT_LE(std::stoi(query("SELECT count(*) FROM channels WHERE source = '127.0.0.6'")), 5);
    EXPECT_EQ(directory->stop(), 0);
}

TEST_F(DirectoryRulesTest, ARestartKeepsLiveChannelsAndDropsDeadOnes) {
    const std::string server = "127.0.5.5";
    auto directory = start(server);
    ScriptedNode live("0E0000000001", "127.0.0.8");
    ScriptedNode dead("0E0000000002", "127.0.0.9");
    ASSERT_TRUE(live.goLive(server));
    ASSERT_TRUE(dead.goLive(server));
    ASSERT_TRUE(live.sync(server));
    ASSERT_TRUE(dead.sync(server));
    dead.stream->stop();

    // A crash, not a clean stop: every acknowledged change is already stored.
    directory->crash();
    ASSERT_TRUE(directory->start()) << directory->log();
    ASSERT_TRUE(pollUntil(
        [&] {
            return directory->log().find("channel " + live.channelId + " is back online after the restart") !=
                std::string::npos;
        },
        5s, 50ms))
        << directory->log();

    DirectoryMessage online;
    online.answerChannelOnline(live.channelId, live.nodeId, "2");
    live.sendFromUdp(server, 22, online);
    ASSERT_TRUE(live.sync(server));
    EXPECT_NE(directory->log().find("ChannelOnline channel " + live.channelId + " current 2"), std::string::npos)
        << directory->log();
    ScriptedPeer viewer("127.0.0.10");
    EXPECT_TRUE(forwardsViewers(server, live, viewer)) << directory->log();

    ASSERT_TRUE(
        pollUntil([&] { return query("SELECT online FROM channels WHERE id = " + dead.channelId) == "0"; }, 5s, 50ms))
        << directory->log();
    DirectoryMessage deadOnline;
    deadOnline.answerChannelOnline(dead.channelId, dead.nodeId, "1");
    dead.sendFromUdp(server, 22, deadOnline);
    ASSERT_TRUE(dead.sync(server));
    EXPECT_NE(directory->log().find("ChannelOnline: no such channel online"), std::string::npos);
    EXPECT_EQ(directory->stop(), 0);
}

TEST_F(DirectoryRulesTest, ManyWatchCyclesFromOneAddressCountOnce) {
    const std::string server = "127.0.5.7";
    auto directory = start(server);
    ScriptedNode node("101010101010", "127.0.0.13");
    ASSERT_TRUE(node.goLive(server));
    ScriptedPeer viewer("127.0.0.14");
    for (int i = 0; i < 300; ++i) {
        viewer.send(server, 22, viewerRequest(cmd::WatchChannel, node.channelId, "", 0));
        ASSERT_TRUE(node.countNextViewer(server)) << "cycle " << i << "\n" << directory->log();
        viewer.send(server, 22, viewerRequest(cmd::LeaveChannel, node.channelId, "", 0));
        ASSERT_TRUE(node.cam.receiveCommand(cmd::DelChannelOnline)) << "cycle " << i;
    }
    ScriptedPeer another("127.0.0.15");
    another.send(server, 22, viewerRequest(cmd::WatchChannel, node.channelId, "", 0));
    ASSERT_TRUE(node.countNextViewer(server));
    ASSERT_TRUE(node.sync(server));
    EXPECT_EQ(query("SELECT views FROM channels WHERE id = " + node.channelId), "2");
    EXPECT_EQ(directory->stop(), 0);
}

TEST_F(DirectoryRulesTest, TwoDaemonsOnOneDatabaseLoseNoIncrement) {
    const std::string first = "127.0.5.8", second = "127.0.5.9";
    auto one = start(first);
    auto two = start(second);
    ScriptedNode node("202020202020", "127.0.0.16");
    ASSERT_TRUE(node.goLive(first)) << one->log();
    const std::string channel = node.channelId;
    ASSERT_TRUE(node.goLive(second)) << two->log();
    ASSERT_EQ(node.channelId, channel);

    // Fifteen viewers on fifteen addresses, alternately through each daemon;
    // the node answers all at once, so both daemons count at the same time.
    std::vector<std::unique_ptr<ScriptedPeer>> viewers;
    std::vector<DirectoryMessage> asked;
    for (int i = 0; i < 15; ++i) {
        viewers.push_back(std::make_unique<ScriptedPeer>("127.0.4." + std::to_string(i + 1)));
        viewers.back()->send(i % 2 ? second : first, 22, viewerRequest(cmd::WatchChannel, channel, "", 0));
    }
    for (int i = 0; i < 15; ++i) {
        auto received = node.udp.receive();
        ASSERT_TRUE(received) << i;
        auto p2p = received->message();
        ASSERT_TRUE(p2p && p2p->matches(cmd::SendP2PData));
        p2p->answerCamChannelRate(channel, node.nodeId);
        node.udp.send(received->fromAddress, 22, *p2p);
    }
    ASSERT_TRUE(node.sync(first));
    ASSERT_TRUE(node.sync(second));
    EXPECT_EQ(query("SELECT views FROM channels WHERE id = " + channel), "15") << one->log() << two->log();
    EXPECT_EQ(one->stop(), 0);
    EXPECT_EQ(two->stop(), 0);
}

TEST(DirectoryOperations, HelpGoesToStandardOutputAndExitsZero) {
    const CommandResult help = runDirectory({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: morlanex-directory"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--check-interval"), std::string::npos);
    EXPECT_EQ(help.err, "");

    const CommandResult wrong = runDirectory({"--no-such-option", "1"});
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_NE(wrong.err.find("unknown option --no-such-option"), std::string::npos) << wrong.err;
}

TEST(DirectoryOperations, ADatabaseThatCannotBeWrittenStopsTheStart) {
    TempDir temp;
    const auto database = temp.path() / "directory.sqlite";
    {
        // A database the daemon made before, then made read-only.
        DirectoryProcess first("127.0.5.10", database);
        ASSERT_TRUE(first.start()) << first.log();
        ASSERT_EQ(first.stop(), 0);
    }
    ::chmod(temp.path().c_str(), 0755);
    for (const char *file : {"directory.sqlite", "directory.sqlite-wal", "directory.sqlite-shm"})
        ::chmod((temp.path() / file).c_str(), 0444);
    // Root writes any file: the daemon then runs as nobody (any user would do).
    const std::vector<std::string> asAnotherUser = ::geteuid() == 0
        ? std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}
        : std::vector<std::string>{};
    const CommandResult result = runDirectory(
        {"--address", "127.0.5.10", "--port1", "40020", "--port2", "40022", "--database", database.string()},
        asAnotherUser);
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_NE(result.err.find("cannot start: database " + database.string()), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("listening"), std::string::npos) << result.err;
}
