// The broadcast session without any window: time stepped by hand, the directory either the
// real morlanex-directory process or a scripted one, each on a loopback address of its own
// (ports 20 and 22; tests run as root).
#include "session/broadcast_session.h"

#include "common/qt_codepage.h"
#include "directory_link/directory_message.h"
#include "net/socket_error.h"
#include "event_waits.h"
#include "stepped_ticks.h"

#include <gtest/gtest.h>

using namespace morlanex;
using namespace morlanex::testing;

namespace {

using State = BroadcastState;

struct Status {
    QString text;
    QColor colour;
};

DirectoryMessage record(std::string_view word, std::initializer_list<std::pair<Field, std::string>> texts) {
    DirectoryMessage msg;
    msg.writeCommand(word);
    for (const auto &[field, text] : texts) msg.writeText(field, text);
    return msg;
}

class SessionTest : public ::testing::Test {
protected:
    // A session whose directory is `server`, opened, its preview running.
    void open(const std::string &server, const std::string &bindAddress = {}, int reportPort = -1,
              int servingPort = 0) {
        SessionSettings settings;
        settings.servingPort = servingPort;
        settings.directoryHost = server;
        if (reportPort >= 0) settings.reportPort = reportPort;
        settings.ownVersion = QStringLiteral("1.1.0.2");
        settings.bindAddress = bindAddress;
        session = std::make_unique<BroadcastSession>(settings, ticks);
        QObject::connect(session.get(), &BroadcastSession::statusChanged,
                         [this](const QString &text, const QColor &colour) {
                             statuses.push_back({text, colour});
                         });
        QObject::connect(session.get(), &BroadcastSession::stateChanged, [this](State s) { states.push_back(s); });
        QObject::connect(session.get(), &BroadcastSession::newVersionAnnounced,
                         [this](const QString &v) { announced.push_back(v); });
        session->setMediaSide({[this] {
                                   ++liveSwitches;
                                   if (!sinkOpens)
                                       session->setStatus(QStringLiteral("無法開啟直播連接埠"), BroadcastSession::kRed);
                                   return sinkOpens;
                               },
                               [this](bool closeDevice) {
                                   leaves.push_back(closeDevice);
                                   session->setPreviewRunning(!closeDevice);
                               }});
        session->open();
        session->setChannelTexts(QStringLiteral("夜市直播"), QStringLiteral("live from the stall"));
        session->setKeywords(QStringLiteral("food"));
        session->setPreviewRunning(true);
    }

    // A scripted directory on `server` that has not answered yet.
    void openWithScriptedDirectory(const std::string &server) {
        port20 = std::make_unique<ScriptedPeer>(server, 20);
        port22 = std::make_unique<ScriptedPeer>(server, 22);
        open(server);
    }

    // Start, the first registration at 5 s, and the scripted directory's acknowledgement.
    void goLive(const std::string &publicAddress = "203.0.113.9", const std::string &views = "42") {
        ASSERT_TRUE(session->startBroadcast());
        ticks.advanceSeconds(5);
        ASSERT_TRUE(receiveLive(*port20));
        port20->send(
            "127.0.0.1", servingPort(),
            record(
                cmd::LinkKerfOk,
                {{Field::ChannelId, "1234567"}, {Field::PublicAddress, publicAddress}, {Field::ViewerCount, views}}));
        ASSERT_TRUE(waitUntil([&] { return session->state() == State::Live; }));
        auto answer = receiveLive(*port22);  // LinkKERF_Port, from the report endpoint
        ASSERT_TRUE(answer);
        reportPort_ = answer->fromPort;
    }

    // A viewer's request as the directory forwards it, to the session's report endpoint.
    DirectoryMessage viewer(const std::string &publicAddress, const std::string &privateAddress,
                            const std::string &port) {
        return record(cmd::SendP2PData,
                      {{Field::ChannelId, "1234567"},
                       {Field::PublicAddress, publicAddress},
                       {Field::PrivateAddress, privateAddress},
                       {Field::PeerPort, port}});
    }
    // The report endpoint's port, from anything it sent to port 22 (a version query at the latest).
    std::uint16_t reportPort() {
        if (reportPort_ == 0) {
            ticks.advanceSeconds(10);
            auto seen = receiveLive(*port22);
            reportPort_ = seen ? seen->fromPort : 0;
        }
        return reportPort_;
    }
    std::uint16_t servingPort() const { return static_cast<std::uint16_t>(session->servingPort()); }
    QStringList statusTexts() const {
        QStringList texts;
        for (const Status &s : statuses) texts << s.text;
        return texts;
    }

    SteppedTicks ticks;
    std::unique_ptr<BroadcastSession> session;
    std::unique_ptr<ScriptedPeer> port20, port22;
    std::vector<Status> statuses;
    std::vector<State> states;
    std::vector<QString> announced;
    std::vector<bool> leaves;
    int liveSwitches = 0;
    bool sinkOpens = true;
    std::uint16_t reportPort_ = 0;
};

}  // namespace

// --- registration ------------------------------------------------------------------------------

TEST_F(SessionTest, SilentDirectoryGetsRegistrationsAtTheFifthAndNinthSecondAndTheAttemptEndsAtTheTwelfth) {
    openWithScriptedDirectory("127.0.0.151");
    ASSERT_TRUE(session->startBroadcast());
    EXPECT_TRUE(session->busy());

    std::vector<int> sentAt;
    QStringList shown;
    std::vector<QColor> colours;
    for (int second = 1; second <= 12; ++second) {
        ticks.advanceSeconds(1);
        for (const Received &r : collectLive(*port20, 50)) {
            sentAt.push_back(second);
            EXPECT_EQ(r.fromPort, servingPort()) << "registration leaves from the serving port";
            ASSERT_TRUE(r.message());
            EXPECT_TRUE(r.message()->matches(cmd::LinkKerfCam));
            EXPECT_EQ(r.message()->readText(Field::ChannelName), toCp950(QStringLiteral("夜市直播")));
            EXPECT_EQ(r.message()->readText(Field::ChannelDescription), "live from the stall");
            EXPECT_EQ(r.message()->readText(Field::Keywords), "food");
        }
        shown << session->statusText();
        colours.push_back(session->statusColour());
    }
    EXPECT_EQ(sentAt, (std::vector<int>{5, 9}));
    const QString c = QStringLiteral("伺服連線中");
    EXPECT_EQ(shown,
              (QStringList{c, c + ".", c + "..", c + "...", c + "...", c + ".", c + "..", c + "...", c + "...", c + ".",
                           c + "..", QStringLiteral("伺服無法連線")}));
    std::vector<QColor> expectedColours(11, BroadcastSession::kGreen);
    expectedColours.push_back(BroadcastSession::kRed);
    EXPECT_EQ(colours, expectedColours);
    EXPECT_EQ(session->state(), State::Preview);
    EXPECT_EQ(liveSwitches, 0);

    // Nothing more goes out, and the user may start again from the first tick.
    ticks.advanceSeconds(10);
    EXPECT_TRUE(collectCommand(*port20, cmd::LinkKerfCam, 200).empty());
    ASSERT_TRUE(session->startBroadcast());
    ticks.advanceSeconds(1);
    EXPECT_EQ(session->statusText(), c);
}

TEST_F(SessionTest, AcknowledgementAtSixSecondsEndsTheSequenceWithOneRegistration) {
    openWithScriptedDirectory("127.0.0.152");
    goLive("203.0.113.9", "42");
    EXPECT_EQ(liveSwitches, 1);
    EXPECT_EQ(session->channelId(), QStringLiteral("1234567"));
    EXPECT_EQ(session->publicAddress(), QStringLiteral("203.0.113.9"));
    EXPECT_EQ(session->totalViews(), 42);
    EXPECT_EQ(session->currentViewers(), 0);
    EXPECT_EQ(states, (std::vector<State>{State::Preview, State::Registering, State::Live}));
    ticks.advanceSeconds(10);
    EXPECT_TRUE(collectCommand(*port20, cmd::LinkKerfCam, 200).empty()) << "no second registration";
}

TEST_F(SessionTest, AcknowledgementNobodyWaitsForIsAnsweredWithACloseNoticeAndGoesNowhere) {
    openWithScriptedDirectory("127.0.0.153");
    auto expectRefused = [&](const std::string &channel, State state) {
        port20->send("127.0.0.1", servingPort(), record(cmd::LinkKerfOk, {{Field::ChannelId, channel}}));
        auto notice = receiveCommandLive(*port20, cmd::CloseKerf);
        ASSERT_TRUE(notice) << channel;
        EXPECT_EQ(notice->readText(Field::ChannelId), channel);
        EXPECT_EQ(liveSwitches, 0);
        EXPECT_EQ(session->state(), state);
        EXPECT_TRUE(session->channelId().isEmpty());
    };
    // In preview: the camera does not become a public broadcast.
    expectRefused("4711", State::Preview);
    // After a given-up attempt.
    ASSERT_TRUE(session->startBroadcast());
    ticks.advanceSeconds(12);
    ASSERT_EQ(session->state(), State::Preview);
    expectRefused("77", State::Preview);
    // Without a device.
    session->setPreviewRunning(false);
    expectRefused("78", State::Idle);
    EXPECT_TRUE(collectCommand(*port22, cmd::LinkKerfPort, 200).empty()) << "no registration is confirmed";
}

TEST_F(SessionTest, DeviceLostBeforeTheAcknowledgementReturnsToPreviewWithACloseNotice) {
    openWithScriptedDirectory("127.0.0.173");
    session->setMediaSide({[]() -> bool { throw std::runtime_error("找不到視訊裝置"); }, [](bool) {}});
    ASSERT_TRUE(session->startBroadcast());
    ticks.advanceSeconds(5);
    ASSERT_TRUE(receiveLive(*port20));
    port20->send("127.0.0.1", servingPort(), record(cmd::LinkKerfOk, {{Field::ChannelId, "56"}}));
    auto notice = receiveCommandLive(*port20, cmd::CloseKerf);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->readText(Field::ChannelId), "56");
    EXPECT_EQ(session->state(), State::Preview);
    EXPECT_EQ(session->statusText(), QStringLiteral("找不到視訊裝置"));
    EXPECT_EQ(session->statusColour(), BroadcastSession::kRed);
    ticks.advanceSeconds(12);
    EXPECT_EQ(session->statusText(), QStringLiteral("找不到視訊裝置")) << "the attempt is over";
    EXPECT_TRUE(session->startBroadcast());
}

TEST_F(SessionTest, AFixedServingPortIsTakenSoARouterCanForwardIt) {
    open("127.0.0.177");
    const int chosen = session->servingPort();  // free on UDP and TCP a moment ago
    session.reset();
    open("127.0.0.177", {}, -1, chosen);
    EXPECT_EQ(session->servingPort(), chosen);
    // Taken by someone else: said as the endpoint's error, not another port.
    session.reset();
    ScriptedPeer squatter("0.0.0.0", uint16_t(chosen));
    EXPECT_THROW(open("127.0.0.177", {}, -1, chosen), EndpointError);
}

TEST_F(SessionTest, RegistrationThatCannotBeSentEndsTheAttemptAndCommandsWorkAgain) {
    // A name that does not resolve fails before the send; the limited broadcast address fails in
    // sendto itself (EACCES: the endpoints do not ask for SO_BROADCAST).
    for (const std::string directory : {"directory.invalid", "255.255.255.255"}) {
        open(directory);
        for (int attempt = 1; attempt <= 2; ++attempt) {
            ASSERT_TRUE(session->startBroadcast()) << directory << " attempt " << attempt;
            ticks.advanceSeconds(5);
            EXPECT_EQ(session->state(), State::Preview) << directory;
            EXPECT_FALSE(session->busy()) << directory;
            EXPECT_EQ(session->statusText(), QStringLiteral("伺服無法連線")) << directory;
            EXPECT_EQ(session->statusColour(), BroadcastSession::kRed) << directory;
        }
    }
}

TEST_F(SessionTest, AnAcknowledgementWhoseAnswerCannotBeSentEndsTheAttemptAndCommandsWorkAgain) {
    // Nothing can be sent to port 0 (EINVAL): the registration goes out, the "LinkKERF_Port"
    // answer to the acknowledgement fails.
    port20 = std::make_unique<ScriptedPeer>("127.0.0.176", 20);
    open("127.0.0.176", {}, 0);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        ASSERT_TRUE(session->startBroadcast()) << "attempt " << attempt;
        ticks.advanceSeconds(5);
        ASSERT_TRUE(receiveLive(*port20));
        port20->send("127.0.0.1", servingPort(), record(cmd::LinkKerfOk, {{Field::ChannelId, "1234567"}}));
        ASSERT_TRUE(waitUntil([&] { return session->state() == State::Preview; })) << "attempt " << attempt;
        EXPECT_FALSE(session->busy());
        EXPECT_EQ(session->statusText(), QStringLiteral("伺服無法連線"));
        EXPECT_EQ(liveSwitches, 0) << "nothing went live";
    }
}

TEST_F(SessionTest, UnreachableDirectoryIsSaidOnceOnTheStatusLineWhileTheVersionQueryGoesOn) {
    open("directory.invalid");
    ticks.advanceSeconds(10);
    EXPECT_EQ(session->statusText(), QStringLiteral("伺服無法連線"));
    EXPECT_EQ(session->statusColour(), BroadcastSession::kRed);
    session->setStatus(QStringLiteral("視訊直播已關閉"), BroadcastSession::kRed);
    ticks.advanceSeconds(30);
    EXPECT_EQ(session->statusText(), QStringLiteral("視訊直播已關閉")) << "said once, not every 10 s";
    EXPECT_TRUE(session->versionQueryRunning());
}

TEST_F(SessionTest, StartActsOnlyInPreviewAndStopOnlyWhileLive) {
    openWithScriptedDirectory("127.0.0.154");
    EXPECT_FALSE(session->stopBroadcast()) << "nothing to stop in preview";
    session->setPreviewRunning(false);
    EXPECT_FALSE(session->startBroadcast()) << "no device, no broadcast";
    session->setPreviewRunning(true);
    goLive();
    EXPECT_FALSE(session->startBroadcast()) << "a live channel is not registered again";
    ticks.advanceSeconds(12);
    EXPECT_TRUE(collectCommand(*port20, cmd::LinkKerfCam, 200).empty());

    // A second acknowledgement does not rebuild the live channel either.
    port20->send("127.0.0.1", servingPort(), record(cmd::LinkKerfOk, {{Field::ChannelId, "1"}}));
    spinFor(300);
    EXPECT_EQ(liveSwitches, 1);
    EXPECT_EQ(session->channelId(), QStringLiteral("1234567"));

    ASSERT_TRUE(session->stopBroadcast());
    EXPECT_FALSE(session->stopBroadcast()) << "already stopping";
    EXPECT_FALSE(session->startBroadcast()) << "busy";
}

// --- stop --------------------------------------------------------------------------------------

TEST_F(SessionTest, StopRunsThreeTicksThenTheCloseNoticeAndPreviewAgain) {
    openWithScriptedDirectory("127.0.0.155");
    goLive();
    statuses.clear();
    ASSERT_TRUE(session->stopBroadcast());
    ticks.advanceSeconds(1);
    EXPECT_EQ(session->statusText(), QStringLiteral("伺服中斷中."));
    EXPECT_EQ(session->statusColour(), BroadcastSession::kGreen);
    ticks.advanceSeconds(1);
    EXPECT_EQ(session->statusText(), QStringLiteral("伺服中斷中.."));
    EXPECT_TRUE(collectCommand(*port20, cmd::CloseKerf, 100).empty());
    EXPECT_TRUE(leaves.empty());
    ticks.advanceSeconds(1);
    EXPECT_TRUE(statusTexts().contains(QStringLiteral("伺服中斷中...")));
    EXPECT_EQ(session->statusText(), QStringLiteral("視訊直播已關閉"));
    EXPECT_EQ(session->statusColour(), BroadcastSession::kRed);
    EXPECT_EQ(leaves, std::vector<bool>{false});
    EXPECT_EQ(session->state(), State::Preview);
    EXPECT_EQ(session->totalViews(), 0);
    EXPECT_EQ(session->currentViewers(), 0);
    const auto notices = collectCommand(*port20, cmd::CloseKerf, 500);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].message()->readText(Field::ChannelId), "1234567");
    EXPECT_NE(notices[0].fromPort, servingPort()) << "the close notice leaves from the report endpoint";
}

TEST_F(SessionTest, ClosingTheDeviceWhileLiveEndsIdle) {
    openWithScriptedDirectory("127.0.0.156");
    goLive();
    ASSERT_TRUE(session->stopBroadcast(true));
    ticks.advanceSeconds(3);
    EXPECT_EQ(leaves, std::vector<bool>{true});
    EXPECT_EQ(session->state(), State::Idle);
    EXPECT_EQ(session->statusText(), QStringLiteral("視訊直播已關閉"));
    EXPECT_EQ(collectCommand(*port20, cmd::CloseKerf, 500).size(), 1u);
    EXPECT_FALSE(session->startBroadcast());
}

TEST_F(SessionTest, PortThatCannotOpenEndsTheBroadcastAsAStopDoes) {
    openWithScriptedDirectory("127.0.0.157");
    sinkOpens = false;
    ASSERT_TRUE(session->startBroadcast());
    ticks.advanceSeconds(5);
    ASSERT_TRUE(receiveLive(*port20));
    port20->send("127.0.0.1", servingPort(), record(cmd::LinkKerfOk, {{Field::ChannelId, "55"}}));
    ASSERT_TRUE(waitUntil([&] { return liveSwitches == 1; }));
    EXPECT_EQ(session->state(), State::Preview);
    EXPECT_EQ(std::count(states.begin(), states.end(), State::Live), 0) << "never reported live";
    EXPECT_EQ(leaves, std::vector<bool>{false});
    EXPECT_EQ(session->statusText(), QStringLiteral("無法開啟直播連接埠")) << "the red message stays";
    EXPECT_EQ(session->statusColour(), BroadcastSession::kRed);
    const auto notices = collectCommand(*port20, cmd::CloseKerf, 500);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].message()->readText(Field::ChannelId), "55");

    // Nobody is invited to a channel that is not live.
    ScriptedPeer watcher("127.0.0.158");
    port22->send("127.0.0.1", reportPort(), viewer("127.0.0.158", "", std::to_string(watcher.port())));
    EXPECT_FALSE(receiveLive(watcher, 500));
    EXPECT_TRUE(session->startBroadcast()) << "the user may try again";
}

// --- viewers -----------------------------------------------------------------------------------

TEST_F(SessionTest, ViewerOnTheNodesOwnNetworkIsAnsweredAtItsPrivateAddress) {
    openWithScriptedDirectory("127.0.0.159");
    goLive("203.0.113.9");
    ScriptedPeer nearby("127.0.0.160"), far("127.0.0.161");
    const std::uint16_t report = reportPort();

    // Same public address as the node: its private address is used.
    port22->send("127.0.0.1", report, viewer("203.0.113.9", "127.0.0.160", std::to_string(nearby.port())));
    auto seen = receiveLive(nearby);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->fromPort, servingPort()) << "UCanSee leaves from the serving port";
    EXPECT_TRUE(seen->message()->matches(cmd::UCanSee));

    // Any other public address is used as it is, the private one ignored.
    port22->send("127.0.0.1", report, viewer("127.0.0.161", "127.0.0.160", std::to_string(far.port())));
    EXPECT_TRUE(receiveLive(far));
    EXPECT_FALSE(receiveLive(nearby, 300));
    ASSERT_TRUE(waitUntil([&] { return session->currentViewers() == 2; }));
    EXPECT_EQ(session->totalViews(), 44);

    // Each viewer is counted to the directory: the rate, then the current count.
    const auto rates = collectCommand(*port22, cmd::CamChannelRate, 500);
    EXPECT_EQ(rates.size(), 2u);
}

TEST_F(SessionTest, CurrentCountStopsAtZeroAndIsStillReported) {
    openWithScriptedDirectory("127.0.0.162");
    goLive();
    port20->send("127.0.0.1", servingPort(), record(cmd::DelChannelOnline, {{Field::ChannelId, "1234567"}}));
    std::vector<Received> online;
    waitUntil([&] {
        online = collectCommand(*port22, cmd::ChannelOnline, 0);
        return !online.empty();
    });
    ASSERT_EQ(online.size(), 1u);
    EXPECT_EQ(online[0].message()->readText(Field::ViewerCount), "0");
    EXPECT_EQ(session->currentViewers(), 0);
}

TEST_F(SessionTest, ViewerPortThatIsNoNumberEndsThatRequestOnly) {
    openWithScriptedDirectory("127.0.0.163");
    goLive();
    ScriptedPeer watcher("127.0.0.164");
    for (const std::string bad : {"abc", "", "70000", "12x"})
        port22->send("127.0.0.1", reportPort(), viewer("127.0.0.164", "", bad));
    spinFor(300);
    EXPECT_EQ(session->currentViewers(), 0);
    EXPECT_EQ(session->totalViews(), 42);
    EXPECT_TRUE(collectCommand(*port22, cmd::CamChannelRate, 200).empty());

    port22->send("127.0.0.1", reportPort(), viewer("127.0.0.164", "", std::to_string(watcher.port())));
    EXPECT_TRUE(receiveLive(watcher)) << "the endpoint goes on receiving";
    EXPECT_TRUE(waitUntil([&] { return session->currentViewers() == 1; }));
}

TEST_F(SessionTest, DatagramsNotFromTheDirectorysPortsAreIgnored) {
    openWithScriptedDirectory("127.0.0.165");
    ScriptedPeer watcher("127.0.0.166");
    // Before registration, even from the directory: no "UCanSee".
    port22->send("127.0.0.1", reportPort(), viewer("127.0.0.166", "", std::to_string(watcher.port())));
    EXPECT_FALSE(receiveLive(watcher, 300));
    goLive();

    // The directory's address from another port, and another address on port 22.
    ScriptedPeer otherPort("127.0.0.165"), otherHost("127.0.0.167", 22);
    for (ScriptedPeer *forger : {&otherPort, &otherHost}) {
        forger->send("127.0.0.1", reportPort(), viewer("127.0.0.166", "", std::to_string(watcher.port())));
        forger->send("127.0.0.1", reportPort(), record(cmd::GetVersion, {{Field::ChannelId, "9.9.9.9"}}));
        forger->send("127.0.0.1", servingPort(), record(cmd::LinkKerfOk, {{Field::ChannelId, "666"}}));
        forger->send("127.0.0.1", servingPort(), record(cmd::DelChannelOnline, {}));
    }
    EXPECT_FALSE(receiveLive(watcher, 500)) << "no UCanSee for a forged viewer";
    EXPECT_TRUE(announced.empty());
    EXPECT_EQ(session->channelId(), QStringLiteral("1234567"));
    EXPECT_TRUE(collectCommand(*port22, cmd::ChannelOnline, 200).empty());
}

// --- version -----------------------------------------------------------------------------------

TEST_F(SessionTest, VersionIsAskedEveryTenSecondsUntilTheFirstReply) {
    openWithScriptedDirectory("127.0.0.168");
    ticks.advance(9999ms);
    EXPECT_TRUE(collectCommand(*port22, cmd::GetVersion, 100).empty());
    ticks.advance(1ms);
    ticks.advanceSeconds(10);
    const auto queries = collectCommand(*port22, cmd::GetVersion, 300);
    ASSERT_EQ(queries.size(), 2u);

    // The same version, blanks around it: the check ends silently.
    port22->send("127.0.0.1", queries[0].fromPort, record(cmd::GetVersion, {{Field::ChannelId, "1.1.0.2  "}}));
    ASSERT_TRUE(waitUntil([&] { return !session->versionQueryRunning(); }));
    EXPECT_TRUE(announced.empty());
    ticks.advanceSeconds(30);
    EXPECT_TRUE(collectCommand(*port22, cmd::GetVersion, 200).empty());
}

TEST_F(SessionTest, AnotherVersionIsAnnouncedOlderOrNewer) {
    openWithScriptedDirectory("127.0.0.169");
    port22->send("127.0.0.1", reportPort(), record(cmd::GetVersion, {{Field::ChannelId, "1.0.9.9"}}));
    ASSERT_TRUE(waitUntil([&] { return !announced.empty(); }));
    EXPECT_EQ(announced, std::vector<QString>{QStringLiteral("1.0.9.9")});
    EXPECT_FALSE(session->versionQueryRunning());
}

// --- start-up ----------------------------------------------------------------------------------

TEST_F(SessionTest, EndpointThatCannotBindFailsTheStartUp) {
    // An address this host does not have.
    try {
        open("127.0.0.170", "192.0.2.77");
        FAIL() << "open() should have thrown";
    } catch (const EndpointError &e) {
        EXPECT_STREQ(e.what(), "Socket Error # 10049\r\nCannot assign requested address.");
    }
    EXPECT_EQ(session->servingPort(), 0);
    EXPECT_FALSE(session->versionQueryRunning()) << "the steps after the endpoints do not run";
}

// --- with the real directory -------------------------------------------------------------------

TEST_F(SessionTest, LiveBroadcastWithViewersThroughTheRealDirectory) {
    const std::string server = "127.0.0.171";
    TempDir temp;
    DirectoryProcess directory(server, temp.path() / "directory.sqlite");
    ASSERT_TRUE(directory.start()) << directory.log();
    open(server);

    ASSERT_TRUE(session->startBroadcast());
    ticks.advanceSeconds(5);
    ASSERT_TRUE(waitUntil([&] { return session->live(); })) << directory.log();
    EXPECT_EQ(session->publicAddress(), QStringLiteral("127.0.0.1"));
    const std::string channel = session->channelId().toStdString();
    ASSERT_FALSE(channel.empty());
    ASSERT_TRUE(waitUntil([&] { return directory.log().find("LinkKERF_Port") != std::string::npos; }));
    EXPECT_NE(directory.log().find("\"\\xA9]\\xA5\\xAB\\xAA\\xBD\\xBC\\xBD\""), std::string::npos)
        << "the channel name travels in CP950: " << directory.log();

    std::vector<std::unique_ptr<ScriptedPeer>> viewers;
    for (int i = 0; i < 3; ++i) {
        viewers.push_back(std::make_unique<ScriptedPeer>());
        viewers.back()->send(server, 22, record(cmd::WatchChannel, {{Field::ChannelId, channel}}));
        auto seen = receiveLive(*viewers.back());
        ASSERT_TRUE(seen) << directory.log();
        EXPECT_EQ(seen->fromPort, servingPort());
        EXPECT_TRUE(seen->message()->matches(cmd::UCanSee));
    }
    ASSERT_TRUE(waitUntil([&] { return session->totalViews() == 3; }));
    EXPECT_EQ(session->currentViewers(), 3);
    for (int i = 0; i < 2; ++i)
        viewers[std::size_t(i)]->send(server, 22, record(cmd::LeaveChannel, {{Field::ChannelId, channel}}));
    ASSERT_TRUE(waitUntil([&] { return session->currentViewers() == 1; })) << directory.log();
    EXPECT_EQ(session->totalViews(), 3);
    ASSERT_TRUE(waitUntil([&] {
        return directory.log().find("ChannelOnline channel " + channel + " current 1") != std::string::npos;
    })) << directory.log();
    // The directory counts a viewer address once per channel: three viewers on 127.0.0.1 are one view.
    EXPECT_NE(directory.log().find("CAMChannelRate channel " + channel + " views 1"), std::string::npos);

    session->correctChannelTexts(QStringLiteral("Night Market"), QStringLiteral("live from the stall"));
    ASSERT_TRUE(waitUntil([&] {
        return directory.log().find("ChangeChannelText channel " + channel + " \"Night Market\"") != std::string::npos;
    })) << directory.log();
    session->resetViews();
    EXPECT_EQ(session->totalViews(), 0);
    ASSERT_TRUE(waitUntil([&] { return directory.log().find("ChannelRateZero") != std::string::npos; }));

    ASSERT_TRUE(session->stopBroadcast());
    ticks.advanceSeconds(3);
    ASSERT_TRUE(waitUntil([&] {
        return directory.log().find("CloseKERF: channel " + channel + " offline") != std::string::npos;
    })) << directory.log();

    ticks.advanceSeconds(10);
    ASSERT_TRUE(waitUntil([&] { return !session->versionQueryRunning(); })) << directory.log();
    EXPECT_NE(directory.log().find("GetVersion -> 1.1.0.2"), std::string::npos);
    EXPECT_TRUE(announced.empty());
}
