// The broadcast session end to end: the real main window (offscreen, driven by clicks on its
// components) against the real morlanex-directory process, or against a directory that never
// answers, each on a loopback address of its own (ports 20 and 22; tests run as root).
#include "app/media_controller.h"
#include "common/qt_codepage.h"
#include "net/unique_fd.h"
#include "app/settings_store.h"
#include "app_fixture.h"
#include "test_devices.h"

#include <QAction>
#include <QDesktopServices>
#include <QSignalSpy>
#include <QUrl>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <gtest/gtest.h>

#include <regex>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace morlanex;
using namespace morlanex::testing;
using morlanex::BroadcastState;

namespace {

DirectoryMessage viewerRequest(std::string_view word, const std::string &channelId) {
    DirectoryMessage msg;
    msg.writeCommand(word);
    msg.writeText(Field::ChannelId, channelId);
    return msg;  // no private address or port: the directory uses the request's source
}

class WindowSession : public AppFixture {
protected:
    static void SetUpTestSuite() { useTestDevices(); }

    // Points the program at a directory on `address`, opens the windows and starts the preview
    // with the choices the wizard hands over.
    void openWindows(const std::string &address) {
        openApp(address);
        ASSERT_NE(session().servingPort(), 0);
        morlanex::ChannelSetup setup;
        setup.name = QStringLiteral("夜市直播");
        setup.description = QStringLiteral("live from the stall");
        setup.keywords = QStringLiteral("food");
        ASSERT_TRUE(form->wizardHost().startWithSetup(setup));
        ASSERT_TRUE(form->previewActive()) << label("statusLabel")->text().toStdString();
    }
    bool registering() { return session().state() == BroadcastState::Registering; }
};

}  // namespace

TEST_F(WindowSession, LiveBroadcastWithViewersThroughTheDirectory) {
    const std::string server = "127.0.0.201";
    TempDir temp;
    DirectoryProcess directory(server, temp.path() / "directory.sqlite");
    ASSERT_TRUE(directory.start()) << directory.log();
    openWindows(server);

    clickAction("startOverlay");
    EXPECT_TRUE(registering());
    ticks.advanceSeconds(5);
    ASSERT_TRUE(waitUntil([&] { return form->liveActive(); }, kPatienceMs)) << directory.log();
    // (The status text is the live switch's; it differs when the serving port is taken.)
    EXPECT_TRUE(label("liveLampBlinking")->isVisible());
    EXPECT_TRUE(label("totalViewsCaption")->isVisible());
    EXPECT_TRUE(label("totalViewsLabel")->isVisible());
    EXPECT_FALSE(label("currentViewersLabel")->isVisible());
    EXPECT_EQ(label("totalViewsLabel")->text(), QStringLiteral("0"));
    EXPECT_EQ(session().publicAddress(), QStringLiteral("127.0.0.1"));
    const std::string channel = session().channelId().toStdString();
    ASSERT_FALSE(channel.empty());
    ASSERT_TRUE(waitUntil([&] { return directory.log().find("LinkKERF_Port") != std::string::npos; }, kPatienceMs));
    const std::string log = directory.log();
    EXPECT_NE(log.find("\"\\xA9]\\xA5\\xAB\\xAA\\xBD\\xBC\\xBD\""), std::string::npos)
        << "the channel name travels in CP950: " << log;

    // Forged datagrams from another address: the directory's words, all ignored.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, std::regex(R"(127\.0\.0\.1:(\d+) LinkKERF_Port)")));
    const auto udpPort = static_cast<std::uint16_t>(std::stoi(m[1]));
    ScriptedPeer forger("127.0.0.209");
    DirectoryMessage p2p;
    p2p.writeCommand(cmd::SendP2PData);
    p2p.writeText(Field::PublicAddress, "127.0.0.209");
    p2p.writeText(Field::PeerPort, std::to_string(forger.port()));
    forger.send("127.0.0.1", udpPort, p2p);
    DirectoryMessage version;
    version.writeCommand(cmd::GetVersion);
    version.writeText(Field::ChannelId, "9.9.9.9");
    forger.send("127.0.0.1", udpPort, version);
    DirectoryMessage ok;
    ok.writeCommand(cmd::LinkKerfOk);
    ok.writeText(Field::ChannelId, "666");
    ok.writeText(Field::ViewerCount, "5000");
    forger.send("127.0.0.1", static_cast<std::uint16_t>(session().servingPort()), ok);
    DirectoryMessage gone;
    gone.writeCommand(cmd::DelChannelOnline);
    forger.send("127.0.0.1", static_cast<std::uint16_t>(session().servingPort()), gone);
    EXPECT_FALSE(receiveLive(forger, 500)) << "no UCanSee for a forged viewer";
    EXPECT_EQ(session().channelId().toStdString(), channel);
    EXPECT_EQ(label("totalViewsLabel")->text(), QStringLiteral("0"));
    EXPECT_TRUE(form->isVisible()) << "a forged version reply must not close the program";

    // Three viewers join through the directory; each gets "UCanSee" from the serving port.
    std::vector<std::unique_ptr<ScriptedPeer>> viewers;
    for (int i = 0; i < 3; ++i) {
        viewers.push_back(std::make_unique<ScriptedPeer>());
        viewers.back()->send(server, 22, viewerRequest(cmd::WatchChannel, channel));
        auto seen = receiveLive(*viewers.back());
        ASSERT_TRUE(seen) << directory.log();
        EXPECT_EQ(seen->fromPort, session().servingPort());
        ASSERT_TRUE(seen->message());
        EXPECT_TRUE(seen->message()->matches(cmd::UCanSee));
        EXPECT_EQ(std::string(seen->bytes.begin() + 8, seen->bytes.begin() + 12), "Data");
    }
    ASSERT_TRUE(waitUntil([&] { return label("totalViewsLabel")->text() == QStringLiteral("3"); }, kPatienceMs));
    EXPECT_EQ(label("currentViewersLabel")->text(), QStringLiteral("3"));

    // The current count is the other pair of the same place.
    QTest::mouseClick(label("totalViewsCaption"), Qt::LeftButton);
    EXPECT_FALSE(label("totalViewsLabel")->isVisible());
    EXPECT_TRUE(label("currentViewersLabel")->isVisible());
    EXPECT_TRUE(label("currentViewersCaption")->isVisible());

    for (int i = 0; i < 2; ++i)
        viewers[static_cast<std::size_t>(i)]->send(server, 22, viewerRequest(cmd::LeaveChannel, channel));
    ASSERT_TRUE(waitUntil([&] { return label("currentViewersLabel")->text() == QStringLiteral("1"); }, kPatienceMs))
        << directory.log();
    EXPECT_EQ(label("totalViewsLabel")->text(), QStringLiteral("3"));
    ASSERT_TRUE(waitUntil(
        [&] { return directory.log().find("ChannelOnline channel " + channel + " current 1") != std::string::npos; },
        kPatienceMs))
        << directory.log();
    // The directory counts a viewer address once per channel: three viewers on 127.0.0.1 are one view.
    EXPECT_NE(directory.log().find("CAMChannelRate channel " + channel + " views 1"), std::string::npos);

    // A corrected channel name reaches the directory at once while live.
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    QTest::mouseDClick(label("channelNameLabel"), Qt::LeftButton);
    auto *edit = child<QLineEdit>(form, "channelNameEdit");
    ASSERT_TRUE(edit->isVisible());
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("Night Market"));
    QTest::keyClick(edit, Qt::Key_Return);
    ASSERT_TRUE(waitUntil(
        [&] {
            return directory.log().find("ChangeChannelText channel " + channel + " \"Night Market\"") !=
                std::string::npos;
        },
        kPatienceMs))
        << directory.log();

    // Reset the cumulative count from the advanced menu, confirmed.
    QTest::mouseClick(label("currentViewersCaption"), Qt::LeftButton);
    EXPECT_TRUE(label("totalViewsLabel")->isVisible());
    auto *advanced = child<QMenu>(form, "advancedMenu");
    auto *resetViews = child<QAction>(form, "resetViewsAction");
    advanced->popup(form->mapToGlobal(QPoint(10, 10)));
    ASSERT_TRUE(resetViews->isEnabled());
    advanced->hide();
    QString question;
    answerMessageBox(form, QMessageBox::Yes, &question);
    resetViews->trigger();
    EXPECT_EQ(question, QStringLiteral("累計收視人次將歸零,確定要繼續嗎?"));
    EXPECT_EQ(label("totalViewsLabel")->text(), QStringLiteral("0"));
    ASSERT_TRUE(waitUntil([&] { return directory.log().find("ChannelRateZero") != std::string::npos; }, kPatienceMs));

    // Stop, confirmed: three ticks, then the close notice and the counters gone.
    answerMessageBox(form, QMessageBox::Yes, &question);
    clickAction("stopOverlay");
    EXPECT_EQ(question, QStringLiteral("確定要中止現場直播模式嗎?"));
    ASSERT_EQ(session().state(), BroadcastState::Stopping);
    ticks.advanceSeconds(3);
    ASSERT_EQ(session().state(), BroadcastState::Preview);
    EXPECT_FALSE(form->liveActive());
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("視訊直播已關閉"));
    EXPECT_EQ(statusColour(), QColor(255, 0, 0));
    EXPECT_FALSE(label("liveLampBlinking")->isVisible());
    for (const char *counter : {"totalViewsCaption", "totalViewsLabel", "currentViewersCaption", "currentViewersLabel"})
        EXPECT_FALSE(label(counter)->isVisible()) << counter;
    EXPECT_EQ(label("totalViewsLabel")->text(), QStringLiteral("0"));
    EXPECT_EQ(label("currentViewersLabel")->text(), QStringLiteral("0"));
    ASSERT_TRUE(waitUntil(
        [&] { return directory.log().find("CloseKERF: channel " + channel + " offline") != std::string::npos; },
        kPatienceMs))
        << directory.log();

    // The version query, every 10 s from start-up, ends with the directory's matching answer.
    ticks.advanceSeconds(10);
    ASSERT_TRUE(waitUntil([&] { return !session().versionQueryRunning(); }, kPatienceMs)) << directory.log();
    EXPECT_NE(directory.log().find("GetVersion -> 1.1.0.2"), std::string::npos);
    EXPECT_TRUE(form->isVisible());
}

TEST_F(WindowSession, SilentDirectoryGetsTwoRegistrationsThenTheAttemptEnds) {
    const std::string server = "127.0.0.202";
    ScriptedPeer port20(server, 20);
    ScriptedPeer port22(server, 22);
    openWindows(server);

    clickAction("startOverlay");
    ticks.advanceSeconds(1);
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("伺服連線中"));
    EXPECT_EQ(statusColour(), QColor(0, 128, 0));

    ticks.advanceSeconds(10);
    EXPECT_TRUE(registering()) << "still trying at the eleventh second";
    ticks.advanceSeconds(1);
    EXPECT_FALSE(registering());
    std::vector<Received> registrations = collectLive(port20, 500);

    ASSERT_EQ(registrations.size(), 2u);
    for (const Received &r : registrations) {
        EXPECT_EQ(r.fromPort, session().servingPort()) << "registration leaves from the serving port";
        ASSERT_TRUE(r.message());
        EXPECT_TRUE(r.message()->matches(cmd::LinkKerfCam));
        EXPECT_EQ(r.message()->readText(Field::ChannelDescription), "live from the stall");
        EXPECT_EQ(r.message()->readText(Field::Keywords), "food");
    }
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("伺服無法連線"));
    EXPECT_EQ(statusColour(), QColor(255, 0, 0));
    EXPECT_FALSE(form->liveActive());

    // The user may start again: the sequence begins from its first tick.
    clickAction("startOverlay");
    EXPECT_TRUE(registering());
    ticks.advanceSeconds(1);
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("伺服連線中"));

    // Exit: one close notice from the second endpoint, though no channel was ever given.
    form->close();
    const auto notices = collectLive(port20, 500);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].fromPort, session().servingPort());
    DirectoryMessage expected = DirectoryMessage::closeKerf("", session().nodeId().toStdString());
    EXPECT_EQ(notices[0].bytes, std::vector<std::uint8_t>(expected.bytes().begin(), expected.bytes().end()));
    EXPECT_EQ(notices[0].bytes[21], 0);
    EXPECT_EQ(notices[0].bytes[29], 0x01);
    EXPECT_EQ(notices[0].bytes[30], '0');
}

TEST_F(WindowSession, CaptionNoticeGoesOutOnlyWhileLiveAndByteExact) {
    const std::string server = "127.0.0.203";
    ScriptedPeer port20(server, 20);
    ScriptedPeer port22(server, 22);
    openWindows(server);
    form->activateWindow();  // editing happens in the window the user works in
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    auto noticesOn22 = [&](int ms) {
        std::vector<Received> notices;
        for (Received &r : collectLive(port22, ms))
            if (r.message() && r.message()->matches("ChangeChannelText")) notices.push_back(std::move(r));
        return notices;
    };
    auto correct = [&](const char *labelName, const char *editName, const QString &text) {
        QTest::mouseDClick(label(labelName), Qt::LeftButton);
        auto *edit = child<QLineEdit>(form, editName);
        ASSERT_TRUE(edit->isVisible()) << labelName;
        edit->setText(text);
        QTest::keyClick(edit, Qt::Key_Return);
    };

    // Not live: the correction is saved and nothing is sent.
    correct("channelNameLabel", "channelNameEdit", QStringLiteral("離線改名"));
    EXPECT_TRUE(noticesOn22(700).empty());
    EXPECT_EQ(app->settings->record()[morlanex::SettingsRecord::ChannelName], toCp950(QStringLiteral("離線改名")));

    // Live: the scripted directory accepts the registration.
    clickAction("startOverlay");
    ticks.advanceSeconds(5);
    auto registration = receiveLive(port20);
    ASSERT_TRUE(registration);
    DirectoryMessage ok;
    ok.writeCommand(cmd::LinkKerfOk);
    ok.writeText(Field::ChannelId, "1234567");
    ok.writeText(Field::PublicAddress, "203.0.113.9");
    ok.writeText(Field::ViewerCount, "42");
    port20.send("127.0.0.1", registration->fromPort, ok);
    ASSERT_TRUE(waitUntil([&] { return form->liveActive(); }, kPatienceMs));
    EXPECT_EQ(label("totalViewsLabel")->text(), QStringLiteral("42"));

    // 60 double-byte characters (120 bytes) and 210 ASCII bytes: cut at 100 and 200.
    const QString longName = QString(60, QChar(0x983B));  // 頻
    const std::string longDescription(210, 'd');
    correct("channelNameLabel", "channelNameEdit", longName);
    correct("channelDescriptionLabel", "channelDescriptionEdit", QString::fromStdString(longDescription));
    EXPECT_EQ(label("channelNameLabel")->text(), longName) << "the label keeps the whole name";
    const std::vector<Received> notices = noticesOn22(3000);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[1].fromPort, session().servingPort()) << "the notice leaves from the serving port";

    std::vector<std::uint8_t> expected(663, 0);
    auto put = [&](std::size_t at, const std::string &text) {
        expected[at] = static_cast<std::uint8_t>(text.size());
        std::copy(text.begin(), text.end(), expected.begin() + std::ptrdiff_t(at) + 1);
    };
    put(0, "ChangeChannelText");
    put(21, "1234567");
    put(29, "0");
    put(32, session().nodeId().toStdString());
    put(94, std::string(toCp950(longName)).substr(0, 100));
    put(195, longDescription.substr(0, 200));
    EXPECT_EQ(notices[1].bytes, expected);
}

namespace {
// The directory's acknowledgement of a registration, from its port 20.
void acknowledge(ScriptedPeer &port20, const Received &registration, const std::string &channel) {
    DirectoryMessage ok;
    ok.writeCommand(cmd::LinkKerfOk);
    ok.writeText(Field::ChannelId, channel);
    ok.writeText(Field::PublicAddress, "203.0.113.9");
    port20.send("127.0.0.1", registration.fromPort, ok);
}

// Collects the web addresses the program asks the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    UrlCatcher() { QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }
    QStringList opened;
public slots:
    void open(const QUrl &url) { opened << url.toString(); }
};
}  // namespace

TEST_F(WindowSession, ActionButtonShowsAndObeysTheStateUnderAStillPointer) {
    const std::string server = "127.0.0.204";
    ScriptedPeer port20(server, 20);
    ScriptedPeer port22(server, 22);
    openWindows(server);

    // Start, and the pointer stays where it clicked.
    clickAction("startOverlay");
    ticks.advanceSeconds(5);
    auto registration = receiveLive(port20);
    ASSERT_TRUE(registration);
    acknowledge(port20, *registration, "4321");
    ASSERT_TRUE(waitUntil([&] { return form->liveActive(); }));
    EXPECT_TRUE(label("stopOverlay")->isVisible()) << "live: the button under the pointer offers stop";
    EXPECT_FALSE(label("startOverlay")->isVisible());

    // A start overlay left showing (as before the mend) does not register a live channel again.
    label("stopOverlay")->hide();
    label("startOverlay")->show();
    QTest::mouseClick(label("startOverlay"), Qt::LeftButton);
    EXPECT_FALSE(form->busy());
    EXPECT_TRUE(form->liveActive());

    // Stop answered No: the broadcast runs on and nothing is sent.
    hover(label("actionButton"));
    ASSERT_TRUE(label("stopOverlay")->isVisible());
    QString question;
    answerMessageBox(form, QMessageBox::No, &question);
    QTest::mouseClick(label("stopOverlay"), Qt::LeftButton);
    EXPECT_EQ(question, QStringLiteral("確定要中止現場直播模式嗎?"));
    EXPECT_FALSE(form->busy());
    EXPECT_TRUE(form->liveActive());
    EXPECT_TRUE(collectCommand(port20, cmd::CloseKerf, 500).empty());

    // Stop answered Yes; once stopped, the still pointer is offered start again.
    answerMessageBox(form, QMessageBox::Yes);
    QTest::mouseClick(label("stopOverlay"), Qt::LeftButton);
    ASSERT_TRUE(form->busy());
    ticks.advanceSeconds(3);
    ASSERT_FALSE(form->busy());
    EXPECT_FALSE(form->liveActive());
    EXPECT_EQ(collectCommand(port20, cmd::CloseKerf, 500).size(), 1u);
    EXPECT_TRUE(label("startOverlay")->isVisible());
    EXPECT_FALSE(label("stopOverlay")->isVisible());

    // A stop overlay left showing asks nothing of a broadcast that is not running.
    label("startOverlay")->hide();
    label("stopOverlay")->show();
    bool asked = false;
    rejectNextDialog(form, &asked, nullptr);
    QTest::mouseClick(label("stopOverlay"), Qt::LeftButton);
    spinFor(300);
    EXPECT_FALSE(asked);
    EXPECT_FALSE(form->busy());
}

TEST_F(WindowSession, PortThatCannotOpenEndsTheBroadcastBackInPreview) {
    const std::string server = "127.0.0.205";
    ScriptedPeer port20(server, 20);
    ScriptedPeer port22(server, 22);
    openWindows(server);
    // Something else already listens on the serving port.
    morlanex::UniqueFd squatter(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    socklen_t length = sizeof a;
    ASSERT_EQ(bind(squatter.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(squatter.get(), 1), 0);
    ASSERT_EQ(getsockname(squatter.get(), reinterpret_cast<sockaddr *>(&a), &length), 0);
    const int port = ntohs(a.sin_port);
    form->media().setServingPort(port);

    clickAction("startOverlay");
    ticks.advanceSeconds(5);
    auto registration = receiveLive(port20);
    ASSERT_TRUE(registration);
    acknowledge(port20, *registration, "9876");
    std::vector<Received> notices;
    ASSERT_TRUE(waitUntil([&] {
        for (Received &r : collectCommand(port20, cmd::CloseKerf, 0)) notices.push_back(std::move(r));
        return !notices.empty();
    }));
    squatter.reset();
    EXPECT_EQ(notices[0].message()->readText(Field::ChannelId), "9876");
    EXPECT_FALSE(form->liveActive());
    EXPECT_TRUE(form->previewActive());
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("無法開啟直播連接埠 %1").arg(port));
    EXPECT_EQ(statusColour(), QColor(255, 0, 0));
    EXPECT_EQ(label("modeLabel")->text(), QStringLiteral("預覽模式"));
    for (const char *hidden :
         {"liveLampBlinking", "totalViewsCaption", "totalViewsLabel", "currentViewersLabel", "currentViewersCaption"})
        EXPECT_FALSE(label(hidden)->isVisible()) << hidden;

    // Not live: a viewer forwarded by the directory is not invited.
    ScriptedPeer watcher("127.0.0.206");
    DirectoryMessage p2p;
    p2p.writeCommand(cmd::SendP2PData);
    p2p.writeText(Field::PublicAddress, "127.0.0.206");
    p2p.writeText(Field::PeerPort, std::to_string(watcher.port()));
    port22.send("127.0.0.1", notices[0].fromPort, p2p);
    EXPECT_FALSE(receiveLive(watcher, 500));
}

TEST_F(WindowSession, AnotherVersionShowsTheNoticeOpensThePortalAndCloses) {
    const std::string server = "127.0.0.207";
    ScriptedPeer port20(server, 20);
    ScriptedPeer port22(server, 22);
    UrlCatcher urls;
    openWindows(server);
    QSignalSpy closed(form, &MainWindow::closed);

    ticks.advanceSeconds(10);
    auto query = receiveLive(port22);  // the first version query, 10 s after start-up
    ASSERT_TRUE(query);
    ASSERT_TRUE(query->message()->matches(cmd::GetVersion));
    QString notice;
    answerMessageBox(form, QMessageBox::Ok, &notice);
    DirectoryMessage reply;
    reply.writeCommand(cmd::GetVersion);
    reply.writeText(Field::ChannelId, "1.2.0.0");
    port22.send("127.0.0.1", query->fromPort, reply);

    ASSERT_TRUE(waitUntil([&] { return closed.count() == 1; }));
    EXPECT_EQ(notice, QStringLiteral("檢查到新版本(1.2.0.0),請下載更新."));
    EXPECT_EQ(urls.opened, QStringList{QStringLiteral("https://www.zanvu.example/")});
    EXPECT_EQ(collectCommand(port20, cmd::CloseKerf, 500).size(), 1u);
}

#include "window_session_test.moc"
