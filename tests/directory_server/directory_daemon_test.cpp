// The real morlanex-directory process on a loopback address of each test's
// own (ports 20 and 22; tests run as root), driven by scripted nodes and
// viewers. Expected records are written out by hand with literal offsets.
#include "tests/directory_server/directory_test.h"

#include <gtest/gtest.h>

using namespace morlanex;
using namespace morlanex::testing;

namespace {

using Raw = std::vector<std::uint8_t>;

void put(Raw &raw, std::size_t offset, const std::string &text) {
    raw[offset] = static_cast<std::uint8_t>(text.size());
    std::copy(text.begin(), text.end(), raw.begin() + static_cast<long>(offset) + 1);
}

// Command, ChannelId, Flag "0", AdapterAddress: how the server starts its records.
Raw head(const std::string &word, const std::string &channel, const std::string &node) {
    Raw raw(663, 0);
    put(raw, 0, word);
    put(raw, 21, channel);
    raw[29] = 0x01;
    raw[30] = '0';
    put(raw, 32, node);
    return raw;
}

Raw bytesOf(const DirectoryMessage &msg) { return Raw(msg.bytes().begin(), msg.bytes().end()); }

class DirectoryDaemon : public DirectoryTest {};

}  // namespace

TEST_F(DirectoryDaemon, RegistrationIsAnsweredAtItsSourceWithTheSeenAddressAndViews) {
    startServer("127.0.0.121");
    ScriptedNode node("00E04C1A2B3C");
    node.cam.send("127.0.0.121", 20,
                  DirectoryMessage::linkKerfCam(node.nodeId, "192.168.7.7", "Night Market", "live", "food"));
    auto got = node.cam.receive();
    ASSERT_TRUE(got) << server_->log();
    EXPECT_EQ(got->fromAddress, "127.0.0.121");
    EXPECT_EQ(got->fromPort, 20);
    auto ok = got->message();
    ASSERT_TRUE(ok);
    const std::string channel = ok->readText(Field::ChannelId);
    ASSERT_FALSE(channel.empty());
    EXPECT_LE(channel.size(), 7u);

    Raw expected = head("LinkKERF_OK", channel, "00E04C1A2B3C");
    put(expected, 48, "192.168.7.7");
    put(expected, 64, "127.0.0.1");
    put(expected, 396, "0");
    EXPECT_EQ(got->bytes, expected);
}

TEST_F(DirectoryDaemon, ViewersJoinAndLeaveThroughTheNodesTwoEndpoints) {
    startServer("127.0.0.122");
    const std::string server = "127.0.0.122";
    ScriptedNode node("0A0B0C0D0E0F");
    auto ok = node.goLive(server);
    ASSERT_TRUE(ok) << server_->log();

    ScriptedPeer viewer1, viewer2;
    viewer1.send(server, 22, viewerRequest(cmd::WatchChannel, node.channelId, "10.1.2.3", viewer1.port()));
    auto p2p = node.udp.receive();
    ASSERT_TRUE(p2p) << server_->log();
    EXPECT_EQ(p2p->fromAddress, server);
    EXPECT_EQ(p2p->fromPort, 22);
    Raw expected = head("SendP2PData", node.channelId, node.nodeId);
    put(expected, 48, "10.1.2.3");
    put(expected, 64, "127.0.0.1");
    put(expected, 80, std::to_string(viewer1.port()));
    EXPECT_EQ(p2p->bytes, expected);

    // No port in the request: the viewer is answered where it asked from.
    viewer2.send(server, 22, viewerRequest(cmd::WatchChannel, node.channelId, "", 0));
    auto second = node.udp.receiveCommand(cmd::SendP2PData);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->readText(Field::PeerPort), std::to_string(viewer2.port()));
    EXPECT_EQ(second->readText(Field::PrivateAddress), "127.0.0.1");

    // Asking twice does not make the node count the viewer twice.
    viewer1.send(server, 22, viewerRequest(cmd::WatchChannel, node.channelId, "10.1.2.3", viewer1.port()));
    EXPECT_FALSE(node.udp.receive(300ms));

    viewer1.send(server, 22, viewerRequest(cmd::LeaveChannel, node.channelId, "10.1.2.3", viewer1.port()));
    auto gone = node.cam.receive();
    ASSERT_TRUE(gone) << server_->log();
    EXPECT_EQ(gone->fromAddress, server);
    EXPECT_EQ(gone->fromPort, 20);
    ASSERT_TRUE(gone->message());
    EXPECT_TRUE(gone->message()->matches(cmd::DelChannelOnline));
    EXPECT_EQ(gone->message()->readText(Field::ChannelId), node.channelId);

    // Leaving twice, or a channel nobody registered, sends nothing.
    viewer1.send(server, 22, viewerRequest(cmd::LeaveChannel, node.channelId, "10.1.2.3", viewer1.port()));
    viewer1.send(server, 22, viewerRequest(cmd::WatchChannel, "9999999", "", 0));
    EXPECT_FALSE(node.cam.receive(300ms));
    EXPECT_FALSE(node.udp.receive(100ms));
}

TEST_F(DirectoryDaemon, ViewerBeforeTheSecondEndpointIsKnownIsNotForwarded) {
    startServer("127.0.0.123");
    ScriptedNode node("111111111111");
    ASSERT_TRUE(node.registerAt("127.0.0.123"));
    ScriptedPeer viewer;
    viewer.send("127.0.0.123", 22, viewerRequest(cmd::WatchChannel, node.channelId, "", 0));
    EXPECT_FALSE(node.udp.receive(300ms));
    EXPECT_FALSE(node.cam.receive(100ms));
}

TEST_F(DirectoryDaemon, VersionQueryIsAnsweredWithTheConfiguredText) {
    startServer("127.0.0.124", {"--version-text", "2.0.0.1"});
    ScriptedNode node("222222222222");
    node.sendFromUdp("127.0.0.124", 22, DirectoryMessage::getVersion());
    auto reply = node.udp.receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->fromPort, 22);
    Raw expected(663, 0);
    put(expected, 0, "GetVersion");
    put(expected, 21, "2.0.0.1");
    EXPECT_EQ(reply->bytes, expected);
}

TEST_F(DirectoryDaemon, ViewsAndChannelSurviveARestart) {
    const std::string server = "127.0.0.125";
    startServer(server);
    ScriptedNode node("333333333333");
    auto ok = node.goLive(server);
    ASSERT_TRUE(ok);
    const std::string channel = node.channelId;

    // Three viewers on three addresses, each counted by the node.
    for (int i = 0; i < 3; ++i) {
        ScriptedPeer viewer("127.0.3." + std::to_string(i + 1));
        viewer.send(server, 22, viewerRequest(cmd::WatchChannel, channel, "", 0));
        ASSERT_TRUE(node.countNextViewer(server)) << server_->log();
    }
    // A count the directory did not ask for is not taken.
    DirectoryMessage unasked;
    unasked.answerCamChannelRate(channel, node.nodeId);
    node.sendFromUdp(server, 22, unasked);
    // Ports 20 and 22 are separate queues: let port 22 catch up before closing.
    ASSERT_TRUE(node.sync(server));
    node.sendFromUdp(server, 20, DirectoryMessage::closeKerf(channel, node.nodeId));
    ASSERT_EQ(server_->stop(), 0) << server_->log();

    ASSERT_TRUE(server_->start()) << server_->log();
    auto again = node.registerAt(server);
    ASSERT_TRUE(again) << server_->log();
    EXPECT_EQ(again->readText(Field::ChannelId), channel);
    EXPECT_EQ(again->readText(Field::ViewerCount), "3");

    // A reset is remembered too.
    node.showSecondEndpoint(server, *again);
    node.sendFromUdp(server, 22, DirectoryMessage::channelRateZero(channel, node.nodeId));
    ASSERT_TRUE(node.sync(server));
    auto third = node.registerAt(server);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->readText(Field::ViewerCount), "0");

    ScriptedNode other("444444444444");
    auto otherOk = other.registerAt(server);
    ASSERT_TRUE(otherOk);
    EXPECT_NE(other.channelId, channel);
}

TEST_F(DirectoryDaemon, NodeMessagesFromAnotherAddressChangeNothing) {
    const std::string server = "127.0.0.126";
    startServer(server);
    ScriptedNode node("555555555555");
    auto ok = node.goLive(server);
    ASSERT_TRUE(ok);

    // A forger knows the channel and the node identity but not the address.
    ScriptedPeer forger("127.0.0.2");
    forger.send(server, 20, DirectoryMessage::closeKerf(node.channelId, node.nodeId));
    DirectoryMessage port = *ok;
    port.answerLinkKerfPort(node.channelId, node.nodeId);
    forger.send(server, 22, port);

    ScriptedPeer viewer;
    viewer.send(server, 22, viewerRequest(cmd::WatchChannel, node.channelId, "", 0));
    auto p2p = node.udp.receiveCommand(cmd::SendP2PData);
    ASSERT_TRUE(p2p) << server_->log();  // still online, still the real second endpoint
    EXPECT_FALSE(forger.receive(200ms));
}

TEST_F(DirectoryDaemon, MalformedDatagramsAreIgnoredAndTheServerRunsOn) {
    const std::string server = "127.0.0.127";
    startServer(server);
    ScriptedNode node("666666666666");
    auto ok = node.goLive(server);
    ASSERT_TRUE(ok);

    ScriptedPeer junk;
    Raw record = bytesOf(DirectoryMessage::linkKerfCam("777777777777", "", "x", "", ""));
    junk.send(server, 20, Raw(record.begin(), record.end() - 1));  // 662 bytes
    Raw longer = record;
    longer.push_back(0);
    junk.send(server, 20, longer);  // 664 bytes
    junk.send(server, 22, record);  // wrong port
    junk.send(server, 20, Raw{});  // empty
    junk.send(server, 22, Raw(9000, 0xFF));  // oversized
    Raw unknown = head("LinkKERF_Hello", "", "");
    junk.send(server, 22, unknown);
    Raw lengthy = record;
    lengthy[94] = 200;  // a name longer than its field
    junk.send(server, 20, lengthy);
    Raw badCount = head("ChannelOnline", node.channelId, node.nodeId);
    put(badCount, 396, "12a");
    node.udp.send(server, 22, badCount);
    ScriptedPeer viewer;
    Raw badPort = bytesOf(viewerRequest(cmd::WatchChannel, node.channelId, "", 0));
    put(badPort, 80, "70000");
    viewer.send(server, 22, badPort);
    Raw badAddress = bytesOf(viewerRequest(cmd::WatchChannel, node.channelId, "10.1.2", 4000));
    viewer.send(server, 22, badAddress);

    EXPECT_FALSE(junk.receive(300ms));
    EXPECT_FALSE(node.udp.receive(100ms));
    ASSERT_TRUE(server_->running());
    node.sendFromUdp(server, 22, DirectoryMessage::getVersion());
    EXPECT_TRUE(node.udp.receiveCommand(cmd::GetVersion)) << server_->log();

    const std::string log = server_->log();
    EXPECT_NE(log.find("datagram of 662 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("datagram of 664 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("LinkKERF_CAM on the wrong port"), std::string::npos) << log;
    EXPECT_NE(log.find("ChannelOnline with a bad count"), std::string::npos) << log;
    EXPECT_NE(log.find("bad peer port"), std::string::npos) << log;
}

TEST(DirectoryDaemonStart, AUsedPortIsReportedAndTheProcessFails) {
    TempDir temp;
    ScriptedPeer squatter("127.0.0.128", 22);
    DirectoryProcess server("127.0.0.128", temp.path() / "d.sqlite");
    EXPECT_FALSE(server.start());
    EXPECT_EQ(server.stop(), 1);
    EXPECT_NE(server.log().find("Could not bind socket. Address and port are already in use."), std::string::npos)
        << server.log();
}
