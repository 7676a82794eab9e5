// The broadcast session end to end: the real main window (offscreen, driven by clicks on its
// components) against the real morlanex-directory process, or against a directory that never
// answers, each on a loopback address of its own (ports 20 and 22; tests run as root).
#include "app/form1.h"
#include "app/morlanex_app.h"
#include "app/qt_codepage.h"
#include "dialogs/form2.h"
#include "directory/directory_message.h"
#include "tests/server/server_harness.h"
#include "event_waits.h"
#include "test_devices.h"
#include "widget_helpers.h"

#include <QAction>
#include <QDesktopServices>
#include <QSignalSpy>
#include <QUrl>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include <regex>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace morlanex;
using namespace morlanex::testing;

namespace {

DirectoryMessage viewerRequest(std::string_view word, const std::string &channelId)
{
    DirectoryMessage msg;
    msg.writeCommand(word);
    msg.writeText(Field::ChannelId, channelId);
    return msg; // no private address or port: the directory uses the request's source
}

class WindowSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() { useTestDevices(); }

    // Points the program at a directory on `address` and opens the windows.
    void openWindows(const std::string &address)
    {
        QDir().mkpath(config.programFolder());
        QFile conf(config.programFolder() + QStringLiteral("/Morlanex.conf"));
        ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
        conf.write("[Directory]\nAddress=" + QByteArray::fromStdString(address) + "\n");
        conf.close();

        app = std::make_unique<MorlanexApp>();
        form = app->Form1.get();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
        ASSERT_NE(form->localPort(), 0);
        // The last settings, as the wizard leaves them, start the preview.
        morlanex::SettingsRecord &settings = app->Form2->SettingsRecord;
        settings[morlanex::SettingsRecord::ChannelName] = toCp950(QStringLiteral("夜市直播"));
        settings[morlanex::SettingsRecord::ChannelDescription] = "  live from the stall ";
        settings[morlanex::SettingsRecord::VideoDeviceIndex] = "0";
        settings[morlanex::SettingsRecord::AudioDeviceIndex] = "0";
        settings[morlanex::SettingsRecord::AudioInputPin] = "0";
        settings[morlanex::SettingsRecord::CompressionLevel] = "0";
        form->Keywords = QStringLiteral("food");
        form->BeginPreview();
        ASSERT_TRUE(form->previewActive()) << label("Label7")->text().toStdString();
    }
    void TearDown() override { app.reset(); }

    QLabel *label(const char *name) { return child<QLabel>(form, name); }
    void hover(QWidget *w)
    {
        QTest::mouseMove(w, QPoint(1, 1));
        QTest::mouseMove(w, w->rect().center());
    }
    // The action button as a user meets it: hover the base, click the overlay.
    void clickAction(const char *overlay)
    {
        hover(label("Image7"));
        ASSERT_TRUE(label(overlay)->isVisible()) << overlay;
        QTest::mouseClick(label(overlay), Qt::LeftButton);
    }
    QColor statusColour() { return label("Label7")->palette().color(QPalette::WindowText); }

    IsolatedConfig config;
    std::unique_ptr<MorlanexApp> app;
    TForm1 *form = nullptr;
};

} // namespace

TEST_F(WindowSession, LiveBroadcastWithViewersThroughTheDirectory)
{
    const std::string server = "127.0.0.131";
    TempDir temp;
    DirectoryProcess directory(server, temp.path() / "directory.sqlite");
    ASSERT_TRUE(directory.start()) << directory.log();
    openWindows(server);

    clickAction("Image11");
    EXPECT_TRUE(form->Timer1->isActive());
    ASSERT_TRUE(waitUntil([&] { return form->liveActive(); }, kPatienceMs)) << directory.log();
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(form->PhaseTick, 0);
    // (The status text is the live switch's; it differs when the serving port is taken.)
    EXPECT_TRUE(label("Image5")->isVisible());
    EXPECT_TRUE(label("Label8")->isVisible());
    EXPECT_TRUE(label("Label9")->isVisible());
    EXPECT_FALSE(label("Label11")->isVisible());
    EXPECT_EQ(label("Label9")->text(), QStringLiteral("0"));
    EXPECT_EQ(form->nodePublicAddress(), QStringLiteral("127.0.0.1"));
    const std::string channel = form->ChannelId.toStdString();
    ASSERT_FALSE(channel.empty());
    ASSERT_TRUE(waitUntil([&] { return directory.log().find("LinkKERF_Port") != std::string::npos; },
                          kPatienceMs));
    const std::string log = directory.log();
    EXPECT_NE(log.find("\"\\xA9]\\xA5\\xAB\\xAA\\xBD\\xBC\\xBD\""), std::string::npos)
        << "the channel name travels in CP950: " << log;

    // Forged datagrams from another address: the directory's words, all ignored.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, std::regex(R"(127\.0\.0\.1:(\d+) LinkKERF_Port)")));
    const auto udpPort = static_cast<std::uint16_t>(std::stoi(m[1]));
    ScriptedPeer forger("127.0.0.3");
    DirectoryMessage p2p;
    p2p.writeCommand(cmd::SendP2PData);
    p2p.writeText(Field::PublicAddress, "127.0.0.3");
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
    forger.send("127.0.0.1", static_cast<std::uint16_t>(form->localPort()), ok);
    DirectoryMessage gone;
    gone.writeCommand(cmd::DelChannelOnline);
    forger.send("127.0.0.1", static_cast<std::uint16_t>(form->localPort()), gone);
    EXPECT_FALSE(receiveLive(forger, 500)) << "no UCanSee for a forged viewer";
    EXPECT_EQ(form->ChannelId.toStdString(), channel);
    EXPECT_EQ(label("Label9")->text(), QStringLiteral("0"));
    EXPECT_TRUE(form->isVisible()) << "a forged version reply must not close the program";

    // Three viewers join through the directory; each gets "UCanSee" from the serving port.
    std::vector<std::unique_ptr<ScriptedPeer>> viewers;
    for (int i = 0; i < 3; ++i) {
        viewers.push_back(std::make_unique<ScriptedPeer>());
        viewers.back()->send(server, 22, viewerRequest(cmd::WatchChannel, channel));
        auto seen = receiveLive(*viewers.back());
        ASSERT_TRUE(seen) << directory.log();
        EXPECT_EQ(seen->fromPort, form->localPort());
        ASSERT_TRUE(seen->message());
        EXPECT_TRUE(seen->message()->matches(cmd::UCanSee));
        EXPECT_EQ(std::string(seen->bytes.begin() + 8, seen->bytes.begin() + 12), "Data");
    }
    ASSERT_TRUE(
        waitUntil([&] { return label("Label9")->text() == QStringLiteral("3"); }, kPatienceMs));
    EXPECT_EQ(label("Label11")->text(), QStringLiteral("3"));

    // The current count is the other pair of the same place.
    QTest::mouseClick(label("Label8"), Qt::LeftButton);
    EXPECT_FALSE(label("Label9")->isVisible());
    EXPECT_TRUE(label("Label11")->isVisible());
    EXPECT_TRUE(label("Label12")->isVisible());

    for (int i = 0; i < 2; ++i)
        viewers[static_cast<std::size_t>(i)]->send(server, 22,
                                                   viewerRequest(cmd::LeaveChannel, channel));
    ASSERT_TRUE(waitUntil([&] { return label("Label11")->text() == QStringLiteral("1"); }, kPatienceMs))
        << directory.log();
    EXPECT_EQ(label("Label9")->text(), QStringLiteral("3"));
    ASSERT_TRUE(waitUntil([&] {
        return directory.log().find("ChannelOnline channel " + channel + " current 1") !=
               std::string::npos;
    }, kPatienceMs)) << directory.log();
    // The directory counts a viewer address once per channel: three viewers on 127.0.0.1 are one view.
    EXPECT_NE(directory.log().find("CAMChannelRate channel " + channel + " views 1"),
              std::string::npos);

    // A corrected channel name reaches the directory at once while live.
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    QTest::mouseDClick(label("Label4"), Qt::LeftButton);
    auto *edit = child<QLineEdit>(form, "Edit1");
    ASSERT_TRUE(edit->isVisible());
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("Night Market"));
    QTest::keyClick(edit, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] {
        return directory.log().find("ChangeChannelText channel " + channel + " \"Night Market\"") !=
               std::string::npos;
    }, kPatienceMs)) << directory.log();

    // Reset the cumulative count from the advanced menu, confirmed.
    QTest::mouseClick(label("Label12"), Qt::LeftButton);
    EXPECT_TRUE(label("Label9")->isVisible());
    form->N10Menu->popup(form->mapToGlobal(QPoint(10, 10)));
    ASSERT_TRUE(form->N11->isEnabled());
    form->N10Menu->hide();
    QString question;
    answerMessageBox(form, QMessageBox::Yes, &question);
    form->N11->trigger();
    EXPECT_EQ(question, QStringLiteral("累計收視人次將歸零,確定要繼續嗎?"));
    EXPECT_EQ(label("Label9")->text(), QStringLiteral("0"));
    ASSERT_TRUE(waitUntil([&] { return directory.log().find("ChannelRateZero") != std::string::npos; },
                          kPatienceMs));

    // Stop, confirmed: three ticks, then the close notice and the counters gone.
    answerMessageBox(form, QMessageBox::Yes, &question);
    clickAction("Image12");
    EXPECT_EQ(question, QStringLiteral("確定要中止現場直播模式嗎?"));
    ASSERT_TRUE(form->Timer2->isActive());
    ASSERT_TRUE(waitUntil([&] { return !form->Timer2->isActive(); }, kPatienceMs));
    EXPECT_FALSE(form->liveActive());
    EXPECT_EQ(label("Label7")->text(), QStringLiteral("視訊直播已關閉"));
    EXPECT_EQ(statusColour(), QColor(255, 0, 0));
    EXPECT_FALSE(label("Image5")->isVisible());
    for (const char *counter : {"Label8", "Label9", "Label12", "Label11"})
        EXPECT_FALSE(label(counter)->isVisible()) << counter;
    EXPECT_EQ(label("Label9")->text(), QStringLiteral("0"));
    EXPECT_EQ(label("Label11")->text(), QStringLiteral("0"));
    ASSERT_TRUE(waitUntil([&] {
        return directory.log().find("CloseKERF: channel " + channel + " offline") != std::string::npos;
    }, kPatienceMs)) << directory.log();

    // The version query, every 10 s from start-up, ends with the directory's matching answer.
    ASSERT_TRUE(waitUntil([&] { return !form->Timer3->isActive(); }, kPatienceMs)) << directory.log();
    EXPECT_NE(directory.log().find("GetVersion -> 1.1.0.2"), std::string::npos);
    EXPECT_TRUE(form->isVisible());
}

TEST_F(WindowSession, SilentDirectoryGetsTwoRegistrationsThenTheAttemptEnds)
{
    const std::string server = "127.0.0.132";
    ScriptedPeer port20(server, 20);
    ScriptedPeer port22(server, 22);
    openWindows(server);

    QElapsedTimer clock;
    clickAction("Image11");
    clock.start();
    ASSERT_TRUE(waitUntil([&] { return label("Label7")->text() == QStringLiteral("伺服連線中"); },
                          kPatienceMs));
    EXPECT_EQ(statusColour(), QColor(0, 128, 0));

    std::vector<Received> registrations = collectLive(port20, 8000);
    ASSERT_TRUE(waitUntil([&] { return !form->Timer1->isActive(); }, kPatienceMs));
    const auto endedAt = clock.elapsed();
    for (auto &late : collectLive(port20, 500))
        registrations.push_back(std::move(late));

    ASSERT_EQ(registrations.size(), 2u);
    for (const Received &r : registrations) {
        EXPECT_EQ(r.fromPort, form->localPort()) << "registration leaves from the serving port";
        ASSERT_TRUE(r.message());
        EXPECT_TRUE(r.message()->matches(cmd::LinkKerfCam));
        EXPECT_EQ(r.message()->readText(Field::ChannelDescription), "live from the stall");
        EXPECT_EQ(r.message()->readText(Field::Keywords), "food");
    }
    EXPECT_GE(endedAt, 11000);
    EXPECT_EQ(label("Label7")->text(), QStringLiteral("伺服無法連線"));
    EXPECT_EQ(statusColour(), QColor(255, 0, 0));
    EXPECT_EQ(form->PhaseTick, 0);
    EXPECT_FALSE(form->liveActive());

    // The user may start again: the sequence begins from its first tick.
    clickAction("Image11");
    EXPECT_TRUE(form->Timer1->isActive());
    ASSERT_TRUE(waitUntil([&] { return label("Label7")->text() == QStringLiteral("伺服連線中"); },
                          kPatienceMs));

    // Exit: one close notice from the second endpoint, though no channel was ever given.
    form->close();
    const auto notices = collectLive(port20, 500);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].fromPort, form->localPort());
    DirectoryMessage expected = DirectoryMessage::closeKerf("", form->NodeId.toStdString());
    EXPECT_EQ(notices[0].bytes, std::vector<std::uint8_t>(expected.bytes().begin(),
                                                          expected.bytes().end()));
    EXPECT_EQ(notices[0].bytes[21], 0);
    EXPECT_EQ(notices[0].bytes[29], 0x01);
    EXPECT_EQ(notices[0].bytes[30], '0');
}

TEST_F(WindowSession, CaptionNoticeGoesOutOnlyWhileLiveAndByteExact)
{
    const std::string server = "127.0.0.133";
    ScriptedPeer port20(server, 20);
    ScriptedPeer port22(server, 22);
    openWindows(server);
    form->activateWindow(); // editing happens in the window the user works in
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    auto noticesOn22 = [&](int ms) {
        std::vector<Received> notices;
        for (Received &r : collectLive(port22, ms))
            if (r.message() && r.message()->matches("ChangeChannelText"))
                notices.push_back(std::move(r));
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
    correct("Label4", "Edit1", QStringLiteral("離線改名"));
    EXPECT_TRUE(noticesOn22(700).empty());
    EXPECT_EQ(app->Form2->SettingsRecord[morlanex::SettingsRecord::ChannelName], toCp950(QStringLiteral("離線改名")));

    // Live: the scripted directory accepts the registration.
    clickAction("Image11");
    auto registration = receiveLive(port20);
    ASSERT_TRUE(registration);
    DirectoryMessage ok;
    ok.writeCommand(cmd::LinkKerfOk);
    ok.writeText(Field::ChannelId, "1234567");
    ok.writeText(Field::PublicAddress, "203.0.113.9");
    ok.writeText(Field::ViewerCount, "42");
    port20.send("127.0.0.1", registration->fromPort, ok);
    ASSERT_TRUE(waitUntil([&] { return form->liveActive(); }, kPatienceMs));
    EXPECT_EQ(label("Label9")->text(), QStringLiteral("42"));

    // 60 double-byte characters (120 bytes) and 210 ASCII bytes: cut at 100 and 200.
    const QString longName = QString(60, QChar(0x983B)); // 頻
    const std::string longDescription(210, 'd');
    correct("Label4", "Edit1", longName);
    correct("Label5", "Edit2", QString::fromStdString(longDescription));
    EXPECT_EQ(label("Label4")->text(), longName) << "the label keeps the whole name";
    const std::vector<Received> notices = noticesOn22(3000);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[1].fromPort, form->localPort()) << "the notice leaves from the serving port";

    std::vector<std::uint8_t> expected(663, 0);
    auto put = [&](std::size_t at, const std::string &text) {
        expected[at] = static_cast<std::uint8_t>(text.size());
        std::copy(text.begin(), text.end(), expected.begin() + std::ptrdiff_t(at) + 1);
    };
    put(0, "ChangeChannelText");
    put(21, "1234567");
    put(29, "0");
    put(32, form->NodeId.toStdString());
    put(94, std::string(toCp950(longName)).substr(0, 100));
    put(195, longDescription.substr(0, 200));
    EXPECT_EQ(notices[1].bytes, expected);
}

namespace {
// The directory's acknowledgement of a registration, from its port 20.
void acknowledge(ScriptedPeer &port20, const Received &registration, const std::string &channel)
{
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
} // namespace

TEST_F(WindowSession, ActionButtonShowsAndObeysTheStateUnderAStillPointer)
{
    const std::string server = "127.0.0.134";
    ScriptedPeer port20(server, 20);
    ScriptedPeer port22(server, 22);
    openWindows(server);

    // Start, and the pointer stays where it clicked.
    clickAction("Image11");
    auto registration = receiveLive(port20);
    ASSERT_TRUE(registration);
    acknowledge(port20, *registration, "4321");
    ASSERT_TRUE(waitUntil([&] { return form->liveActive(); }));
    EXPECT_TRUE(label("Image12")->isVisible()) << "live: the button under the pointer offers stop";
    EXPECT_FALSE(label("Image11")->isVisible());

    // A start overlay left showing (as before the mend) does not register a live channel again.
    label("Image12")->hide();
    label("Image11")->show();
    QTest::mouseClick(label("Image11"), Qt::LeftButton);
    EXPECT_FALSE(form->busy());
    EXPECT_TRUE(form->liveActive());

    // Stop answered No: the broadcast runs on and nothing is sent.
    hover(label("Image7"));
    ASSERT_TRUE(label("Image12")->isVisible());
    QString question;
    answerMessageBox(form, QMessageBox::No, &question);
    QTest::mouseClick(label("Image12"), Qt::LeftButton);
    EXPECT_EQ(question, QStringLiteral("確定要中止現場直播模式嗎?"));
    EXPECT_FALSE(form->busy());
    EXPECT_TRUE(form->liveActive());
    EXPECT_TRUE(collectCommand(port20, cmd::CloseKerf, 500).empty());

    // Stop answered Yes; once stopped, the still pointer is offered start again.
    answerMessageBox(form, QMessageBox::Yes);
    QTest::mouseClick(label("Image12"), Qt::LeftButton);
    ASSERT_TRUE(form->busy());
    ASSERT_TRUE(waitUntil([&] { return !form->busy(); }));
    EXPECT_FALSE(form->liveActive());
    EXPECT_EQ(collectCommand(port20, cmd::CloseKerf, 500).size(), 1u);
    EXPECT_TRUE(label("Image11")->isVisible());
    EXPECT_FALSE(label("Image12")->isVisible());

    // A stop overlay left showing asks nothing of a broadcast that is not running.
    label("Image11")->hide();
    label("Image12")->show();
    bool asked = false;
    rejectNextDialog(form, &asked, nullptr);
    QTest::mouseClick(label("Image12"), Qt::LeftButton);
    spinFor(300);
    EXPECT_FALSE(asked);
    EXPECT_FALSE(form->busy());
}

TEST_F(WindowSession, PortThatCannotOpenEndsTheBroadcastBackInPreview)
{
    const std::string server = "127.0.0.135";
    ScriptedPeer port20(server, 20);
    ScriptedPeer port22(server, 22);
    openWindows(server);
    // Something else already listens on the serving port.
    const int squatter = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    socklen_t length = sizeof a;
    ASSERT_EQ(bind(squatter, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(squatter, 1), 0);
    ASSERT_EQ(getsockname(squatter, reinterpret_cast<sockaddr *>(&a), &length), 0);
    const int port = ntohs(a.sin_port);
    form->setWriterPort(port);

    clickAction("Image11");
    auto registration = receiveLive(port20);
    ASSERT_TRUE(registration);
    acknowledge(port20, *registration, "9876");
    std::vector<Received> notices;
    ASSERT_TRUE(waitUntil([&] {
        for (Received &r : collectCommand(port20, cmd::CloseKerf, 0))
            notices.push_back(std::move(r));
        return !notices.empty();
    }));
    close(squatter);
    EXPECT_EQ(notices[0].message()->readText(Field::ChannelId), "9876");
    EXPECT_FALSE(form->liveActive());
    EXPECT_TRUE(form->previewActive());
    EXPECT_EQ(label("Label7")->text(), QStringLiteral("無法開啟直播連接埠 %1").arg(port));
    EXPECT_EQ(statusColour(), QColor(255, 0, 0));
    EXPECT_EQ(label("Label10")->text(), QStringLiteral("預覽模式"));
    for (const char *hidden : {"Image5", "Label8", "Label9", "Label11", "Label12"})
        EXPECT_FALSE(label(hidden)->isVisible()) << hidden;

    // Not live: a viewer forwarded by the directory is not invited.
    ScriptedPeer watcher("127.0.0.136");
    DirectoryMessage p2p;
    p2p.writeCommand(cmd::SendP2PData);
    p2p.writeText(Field::PublicAddress, "127.0.0.136");
    p2p.writeText(Field::PeerPort, std::to_string(watcher.port()));
    port22.send("127.0.0.1", notices[0].fromPort, p2p);
    EXPECT_FALSE(receiveLive(watcher, 500));
}

TEST_F(WindowSession, AnotherVersionShowsTheNoticeOpensThePortalAndCloses)
{
    const std::string server = "127.0.0.137";
    ScriptedPeer port20(server, 20);
    ScriptedPeer port22(server, 22);
    UrlCatcher urls;
    openWindows(server);
    QSignalSpy closed(form, &TForm1::closed);

    auto query = receiveLive(port22); // the first version query, 10 s after start-up
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
