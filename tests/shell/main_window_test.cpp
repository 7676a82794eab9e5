// The main window as a user meets it: hover overlays, dragging, menus, confirmations, tray,
// closing, in-place caption editing and the application-wide right-click filter.
#include "app/main_window.h"
#include "app/morlanex_app.h"
#include "app/mouse_hook.h"
#include "app/settings_file.h"
#include "dialogs/setup_wizard.h"
#include "app/media_controller.h"
#include "app/settings_store.h"
#include "session/channel_setup.h"
#include "app_fixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace morlanex;
using namespace morlanex::testing;
using morlanex::BroadcastState;

namespace {

class MainWindowTest : public AppFixture {
protected:
    void SetUp() override {
        openApp(directoryAddress());
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    }
    // A test that goes live names a directory address of its own.
    virtual std::string directoryAddress() const { return {}; }
    // Busy: a registration runs (and stays running until time moves on).
    void enterRegistration() {
        enterPreview();
        ASSERT_TRUE(session().startBroadcast());
    }
    // Lets a running registration give up.
    void endRegistration() { ticks.advanceSeconds(12); }
};

// The same window with a scripted directory on ports 20 and 22 of a loopback address that
// the test names.
class LiveWindowTest : public MainWindowTest {
protected:
    void SetUp() override {}
    void openOn(const std::string &directory) {
        address = directory;
        port20 = std::make_unique<ScriptedPeer>(address, 20);
        port22 = std::make_unique<ScriptedPeer>(address, 22);
        MainWindowTest::SetUp();
    }
    std::string directoryAddress() const override { return address; }
    void goLive(const std::string &views = "0") {
        enterPreview();
        goLiveThrough(*port20, "4321", views);
    }

    std::string address;
    std::unique_ptr<ScriptedPeer> port20, port22;
};

TEST_F(MainWindowTest, ComponentsStartAsDesigned) {
    EXPECT_EQ(form->size(), QSize(357, 458));
    EXPECT_TRUE(form->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_FALSE(form->mask().isEmpty());
    EXPECT_FALSE(form->mask().contains(QPoint(0, 0))) << "the colour key cuts the corners";
    EXPECT_TRUE(form->mask().contains(QPoint(178, 229)));
    for (const char *hidden : {"menuIconHot", "setupOverlay", "startOverlay", "stopOverlay", "liveLampBlinking",
                               "nameHelpIcon", "descriptionHelpIcon", "totalViewsCaption", "totalViewsLabel",
                               "currentViewersCaption", "currentViewersLabel"})
        EXPECT_FALSE(label(hidden)->isVisible()) << hidden;
    EXPECT_FALSE(child(form, "videoArea")->isVisible());
    EXPECT_FALSE(child(form, "modeBadge")->isVisible());
    EXPECT_FALSE(child(form, "channelNameEdit")->isVisible());
    EXPECT_TRUE(label("videoPlaceholder")->isVisible());
    EXPECT_EQ(label("channelNameCaption")->text(), QStringLiteral("頻道名稱"));
    EXPECT_EQ(label("totalViewsCaption")->text(), QStringLiteral("累計收視人次"));
    EXPECT_EQ(child<QToolButton>(form, "aboutButton")->toolTip(), QStringLiteral("關於Morlanex!"));
    EXPECT_EQ(session().ownVersion(), QStringLiteral("1.1.0.2"));
    EXPECT_TRUE(session().versionQueryRunning());
    EXPECT_FALSE(child<QAction>(form, "resetViewsAction")->isEnabled());
    EXPECT_TRUE(child<QAction>(form, "levelAutomaticAction")->isChecked());
    EXPECT_FALSE(child<QAction>(form, "productAction")->isVisible());
}

TEST_F(MainWindowTest, StartupCreatesTheSettingsFile) {
    QFile file(config.programFolder() + QStringLiteral("/DefData.ini"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("\r\n\r\n\r\n\r\n\r\n\r\n\r\n"));
}

TEST_F(LiveWindowTest, HoverShowsTheOverlayOfTheCurrentState) {
    openOn("127.0.0.141");
    QLabel *base = label("actionButton");
    hover(base);
    EXPECT_TRUE(label("setupOverlay")->isVisible());
    EXPECT_EQ(label("setupOverlay")->toolTip(), QStringLiteral("初始設定"));

    hover(label("videoPlaceholder"));  // the background resets the hover state
    EXPECT_FALSE(label("setupOverlay")->isVisible());

    enterPreview();
    hover(base);
    EXPECT_TRUE(label("startOverlay")->isVisible());
    EXPECT_FALSE(label("setupOverlay")->isVisible());
    hover(child(form, "statusFrame"));

    goLive();
    hover(base);
    EXPECT_TRUE(label("stopOverlay")->isVisible());
    EXPECT_FALSE(label("startOverlay")->isVisible());
}

TEST_F(MainWindowTest, BusyKeepsOverlaysAndRefusesCommands) {
    enterPreview();
    hover(label("actionButton"));
    ASSERT_TRUE(label("startOverlay")->isVisible());
    ASSERT_TRUE(session().startBroadcast());
    hover(label("videoPlaceholder"));
    EXPECT_TRUE(label("startOverlay")->isVisible()) << "busy: the hover reset does nothing";
    hover(label("closeButton"));
    EXPECT_TRUE(label("closeButton")->pixmap().isNull()) << "busy: no close highlight";

    bool dialogShowed = false;
    rejectNextDialog(form, &dialogShowed, nullptr);
    QTest::mouseClick(child(form, "wizardButton"), Qt::LeftButton);
    QTest::mouseClick(child(form, "closeDeviceButton"), Qt::LeftButton);
    QTest::mouseClick(child(form, "aboutButton"), Qt::LeftButton);
    // Each would open inside its click (a modal loop, which the watch above closes).
    EXPECT_FALSE(dialogShowed);
    EXPECT_TRUE(form->previewActive());
    endRegistration();

    hover(label("closeButton"));
    EXPECT_FALSE(label("closeButton")->pixmap().isNull());
    QTest::mouseRelease(label("closeButton"), Qt::RightButton);
    EXPECT_TRUE(label("closeButton")->pixmap().isNull());
}

TEST_F(MainWindowTest, OnlyTheLeftButtonDragsTheWindow) {
    QWidget *title = child(form, "titleLabel");
    const QPoint start = form->pos();
    const QPoint grab = title->rect().center();

    QTest::mousePress(title, Qt::RightButton, {}, grab);
    QTest::mouseMove(title, grab + QPoint(40, 30));
    QTest::mouseRelease(title, Qt::RightButton, {}, grab + QPoint(40, 30));
    EXPECT_EQ(form->pos(), start);

    QTest::mousePress(title, Qt::LeftButton, {}, grab);
    QTest::mouseMove(title, grab + QPoint(40, 30));
    QTest::mouseRelease(title, Qt::LeftButton, {}, grab + QPoint(40, 30));
    EXPECT_EQ(form->pos(), start + QPoint(40, 30));

    // A press on the status line is not a drag of the frame around it.
    QWidget *status = child(form, "statusLabel");
    const QPoint before = form->pos();
    QTest::mousePress(status, Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseMove(status, QPoint(40, 40));
    QTest::mouseRelease(status, Qt::LeftButton, {}, QPoint(40, 40));
    EXPECT_EQ(form->pos(), before);
}

// The commands follow the session as it changes, with no menu open.
TEST_F(LiveWindowTest, FunctionMenuEnablingFollowsTheState) {
    openOn("127.0.0.142");
    auto *advanced = child<QMenu>(form, "advancedMenu");
    auto enabled = [&](const char *action) { return child<QAction>(form, action)->isEnabled(); };
    EXPECT_FALSE(advanced->menuAction()->isEnabled()) << "idle";

    enterPreview();
    EXPECT_TRUE(advanced->menuAction()->isEnabled());
    EXPECT_TRUE(enabled("levelMenuAction"));
    EXPECT_FALSE(enabled("resetViewsAction"));

    ASSERT_TRUE(session().startBroadcast());
    EXPECT_FALSE(advanced->menuAction()->isEnabled()) << "busy disables the advanced functions";
    ticks.advanceSeconds(12);

    goLive();
    EXPECT_FALSE(enabled("levelMenuAction"));
    EXPECT_FALSE(enabled("resetViewsAction")) << "cumulative count is 0";
    label("totalViewsLabel")->setText(QStringLiteral("5"));
    child<QMenu>(form, "functionMenu")->popup(QPoint(10, 10));
    advanced->popup(QPoint(20, 20));
    EXPECT_FALSE(enabled("resetViewsAction")) << "the count is the session's, not the label's";
    advanced->close();
    child<QMenu>(form, "functionMenu")->close();
    // A viewer joins through the directory: the count is no longer 0.
    DirectoryMessage viewer;
    viewer.writeCommand(cmd::SendP2PData);
    viewer.writeText(Field::PublicAddress, "127.0.0.142");
    viewer.writeText(Field::PeerPort, std::to_string(port22->port()));
    auto fromReportEndpoint = receiveLive(*port22);
    ASSERT_TRUE(fromReportEndpoint);
    port22->send("127.0.0.1", fromReportEndpoint->fromPort, viewer);
    ASSERT_TRUE(waitUntil([&] { return session().totalViews() == 1; }));
    EXPECT_TRUE(enabled("resetViewsAction"));
    session().resetViews();
    EXPECT_FALSE(enabled("resetViewsAction"));
}

TEST_F(MainWindowTest, ReplacingARunningPreviewAsksFirst) {
    enterPreview();
    QString asked;
    answerMessageBox(form, QMessageBox::No, &asked);
    QTest::mouseClick(child(form, "wizardButton"), Qt::LeftButton);
    EXPECT_EQ(asked, QStringLiteral("視訊正在運作中,這樣做將會關閉先前的設定,確定要繼續嗎?"));
    EXPECT_FALSE(app->wizard->isVisible());

    // Yes opens the wizard.
    answerMessageBox(form, QMessageBox::Yes);
    QString opened;
    QTimer::singleShot(300, [&] { rejectNextDialog(form, nullptr, &opened); });
    QTest::mouseClick(child(form, "wizardButton"), Qt::LeftButton);
    EXPECT_EQ(opened, QStringLiteral("setupWizard"));
}

TEST_F(MainWindowTest, IdleOverlayOpensTheWizardWithoutAsking) {
    hover(label("actionButton"));
    QString opened;
    rejectNextDialog(form, nullptr, &opened);
    QTest::mouseClick(label("setupOverlay"), Qt::LeftButton);
    EXPECT_EQ(opened, QStringLiteral("setupWizard"));
}

TEST_F(LiveWindowTest, ClosingTheDeviceWhileLiveStopsTheBroadcastFirstAndEndsIdle) {
    openOn("127.0.0.143");
    goLive();
    answerMessageBox(form, QMessageBox::No);
    QTest::mouseClick(child(form, "closeDeviceButton"), Qt::LeftButton);
    EXPECT_EQ(session().state(), BroadcastState::Live);

    answerMessageBox(form, QMessageBox::Yes);
    QTest::mouseClick(child(form, "closeDeviceButton"), Qt::LeftButton);
    EXPECT_EQ(session().state(), BroadcastState::Stopping);
    ticks.advanceSeconds(3);
    EXPECT_EQ(session().state(), BroadcastState::Idle);
    EXPECT_FALSE(form->previewActive());
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("視訊直播已關閉"));
    EXPECT_EQ(collectCommand(*port20, cmd::CloseKerf, 500).size(), 1u);
}

class TrayDesktop : public MainWindow {
public:
    using MainWindow::MainWindow;

protected:
    bool trayAvailable() const override { return true; }
};

TEST(Tray, HideToTrayAndShowBack) {
    IsolatedConfig config;
    SettingsStore settings;
    SteppedTicks ticks;
    TrayDesktop form(settings, ticks);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(child(&form, "closeButton"), Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    form.showFromTray();
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());
}

TEST_F(MainWindowTest, WithoutANotificationAreaHidingMinimises) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    child<QAction>(form, "hideWindowAction")->trigger();
    EXPECT_TRUE(form->isMinimized());
    EXPECT_TRUE(form->isVisible()) << "the window must stay reachable";
    child<QAction>(form, "showWindowAction")->trigger();
    EXPECT_FALSE(form->isMinimized());
}

TEST_F(MainWindowTest, SystemCloseRunsTheShutdownLikeTheExitItem) {
    QSignalSpy closedSpy(form, &MainWindow::closed);
    form->close();  // what the window manager's close does
    EXPECT_EQ(closedSpy.count(), 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(child<QSystemTrayIcon>(form, "trayIcon"), nullptr) << "the tray icon is removed";
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MainWindowTest, ExitItemClosesTheWindow) {
    QSignalSpy closedSpy(form, &MainWindow::closed);
    child<QAction>(form, "exitAction")->trigger();
    EXPECT_EQ(closedSpy.count(), 1);
    EXPECT_FALSE(form->isVisible());
}

// --- in-place caption editing ------------------------------------------------------------------

class CaptionEditing : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        form->channelSetup().setTexts(QStringLiteral("老頻道"), QStringLiteral("舊簡介"));
        form->channelSetup().setKeywords(QStringLiteral("自拍"));
        app->settings->setRecord(morlanex::SettingsRecord{});
    }
    QByteArray settingsBytes() {
        QFile f(config.programFolder() + QStringLiteral("/DefData.ini"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QLineEdit *edit(const char *name) { return child<QLineEdit>(form, name); }
    void startEditingName() {
        QTest::mouseDClick(label("channelNameLabel"), Qt::LeftButton);
        ASSERT_TRUE(edit("channelNameEdit")->isVisible());
        ASSERT_EQ(edit("channelNameEdit")->text(), QStringLiteral("老頻道"));
    }
};

TEST_F(CaptionEditing, EnterAcceptsATrimmedNewNameAndSavesIt) {
    startEditingName();
    // A pasted second line is not kept: the file has seven lines whatever comes in.
    edit("channelNameEdit")->setText(QStringLiteral("  新頻道 \r\n第二行\n"));
    QTest::keyClick(edit("channelNameEdit"), Qt::Key_Return);
    EXPECT_EQ(label("channelNameLabel")->text(), QStringLiteral("新頻道"));
    EXPECT_EQ(label("channelNameLabel")->toolTip(), QStringLiteral("新頻道"));
    EXPECT_FALSE(edit("channelNameEdit")->isVisible());
    EXPECT_EQ(settingsBytes(),
              QByteArray("\xb7\x73\xc0\x57\xb9\x44\r\n\xc2\xc2\xc2\xb2\xa4\xb6\r\n0\r\n0\r\n0\r\n0\r\n"
                         "\xa6\xdb\xa9\xe7\r\n"));
}

TEST_F(CaptionEditing, EscapeAndBlanksKeepTheOldText) {
    const QByteArray before = settingsBytes();
    startEditingName();
    edit("channelNameEdit")->setText(QStringLiteral("不要"));
    QTest::keyClick(edit("channelNameEdit"), Qt::Key_Escape);
    EXPECT_EQ(label("channelNameLabel")->text(), QStringLiteral("老頻道"));
    EXPECT_FALSE(edit("channelNameEdit")->isVisible());

    startEditingName();
    edit("channelNameEdit")->setText(QStringLiteral("    "));
    QTest::keyClick(edit("channelNameEdit"), Qt::Key_Return);
    EXPECT_EQ(label("channelNameLabel")->text(), QStringLiteral("老頻道"));
    EXPECT_EQ(settingsBytes(), before) << "a refused edit saves nothing";
}

TEST_F(CaptionEditing, CharactersOutsideBig5AreRefusedAndNothingIsSaved) {
    const QByteArray before = settingsBytes();
    startEditingName();
    edit("channelNameEdit")->setText(QStringLiteral("新頻道\U0001F600"));
    QString said;
    answerMessageBox(form, QMessageBox::Ok, &said);
    QTest::keyClick(edit("channelNameEdit"), Qt::Key_Return);
    EXPECT_EQ(said, QStringLiteral("無法儲存這些字元: \U0001F600"));
    EXPECT_TRUE(edit("channelNameEdit")->isVisible()) << "the user may correct it";
    EXPECT_EQ(label("channelNameLabel")->text(), QStringLiteral("老頻道"));
    EXPECT_EQ(settingsBytes(), before);
}

TEST_F(CaptionEditing, ASettingsFileThatCannotBeWrittenIsReportedAndTheCaptionStaysAsTyped) {
    const QString file = config.programFolder() + QStringLiteral("/DefData.ini");
    ASSERT_TRUE(QFile::remove(file));
    ASSERT_TRUE(QDir().mkdir(file));  // not even root can replace a folder with a file
    startEditingName();
    edit("channelNameEdit")->setText(QStringLiteral("新頻道"));
    QString said;
    answerMessageBox(form, QMessageBox::Ok, &said);
    QTest::keyClick(edit("channelNameEdit"), Qt::Key_Return);
    EXPECT_EQ(said, QStringLiteral("無法儲存設定檔 %1\nIs a directory").arg(file));
    EXPECT_EQ(label("channelNameLabel")->text(), QStringLiteral("新頻道"));
}

TEST_F(CaptionEditing, PressOnTheOtherLabelAcceptsTheOpenEdit) {
    startEditingName();
    edit("channelNameEdit")->setText(QStringLiteral("改名"));
    QTest::mousePress(label("channelDescriptionLabel"), Qt::LeftButton);
    QTest::mouseRelease(label("channelDescriptionLabel"), Qt::LeftButton);
    EXPECT_EQ(label("channelNameLabel")->text(), QStringLiteral("改名"));
    EXPECT_FALSE(edit("channelNameEdit")->isVisible());
}

TEST_F(CaptionEditing, NoEditingWhileBusyOrWithoutAName) {
    enterRegistration();
    QTest::mouseDClick(label("channelNameLabel"), Qt::LeftButton);
    EXPECT_FALSE(edit("channelNameEdit")->isVisible());
    endRegistration();

    form->channelSetup().setTexts(QString(), QStringLiteral("只有簡介"));
    QTest::mouseDClick(label("channelDescriptionLabel"), Qt::LeftButton);
    EXPECT_FALSE(edit("channelDescriptionEdit")->isVisible()) << "the description needs a channel name";
}

TEST_F(LiveWindowTest, HelpIconsFollowTheMouseWithTheirOwnBusyTests) {
    openOn("127.0.0.144");
    form->channelSetup().setTexts(QStringLiteral("老頻道"), QStringLiteral("舊簡介"));
    hover(label("channelDescriptionLabel"));
    EXPECT_TRUE(label("descriptionHelpIcon")->isVisible());
    hover(label("channelNameLabel"));
    EXPECT_TRUE(label("nameHelpIcon")->isVisible());
    EXPECT_FALSE(label("descriptionHelpIcon")->isVisible());

    // Registering: neither icon shows.
    label("nameHelpIcon")->hide();
    enterPreview();
    ASSERT_TRUE(session().startBroadcast());
    hover(label("channelNameLabel"));
    EXPECT_FALSE(label("nameHelpIcon")->isVisible());
    ticks.advanceSeconds(12);

    // Stopping: the name tests only the registration, the description both sequences.
    goLive();
    ASSERT_TRUE(session().stopBroadcast());
    hover(label("channelNameLabel"));
    EXPECT_TRUE(label("nameHelpIcon")->isVisible());
    hover(label("channelDescriptionLabel"));
    EXPECT_FALSE(label("descriptionHelpIcon")->isVisible());
    // Each tick of a sequence hides both.
    ticks.advanceSeconds(1);
    EXPECT_FALSE(label("nameHelpIcon")->isVisible());
}

TEST_F(CaptionEditing, LevelWriterKeepsTheRecordNotTheWorkingCopies) {
    app->settings->setRecord(morlanex::parseSettings("rec name\r\nrec desc\r\n1\r\n2\r\n1\r\n0\r\nkw\r\n"));
    form->channelSetup().setTexts(QStringLiteral("window name"), QStringLiteral("window desc"));
    morlanex::DeviceChoice devices = form->channelSetup().setup().devices;
    devices.camera = 7;
    form->channelSetup().setDevices(devices);
    form->chooseLevel(3);
    EXPECT_TRUE(child<QAction>(form, "levelLowAction")->isChecked());
    EXPECT_EQ(settingsBytes(), QByteArray("rec name\r\nrec desc\r\n1\r\n2\r\n1\r\n3\r\nkw\r\n"));
}

TEST_F(CaptionEditing, ApplyingARecordTrimsCaptionsAndRejectsNonNumbers) {
    app->settings->setRecord(morlanex::parseSettings("  padded name \r\n desc\r\n0\r\n1\r\n-1\r\n2\r\nkw\r\n"));
    form->applyStoredSettings();
    EXPECT_EQ(label("channelNameLabel")->text(), QStringLiteral("padded name"));
    EXPECT_EQ(form->channelSetup().setup().devices.microphone, 1);
    EXPECT_EQ(form->channelSetup().setup().devices.recordingLine, -1);
    EXPECT_EQ(form->channelSetup().setup().compressionLevel, 2);

    app->settings->setRecord(morlanex::parseSettings("other\r\nd\r\n0\r\nx1\r\n0\r\n0\r\n"));
    try {
        form->applyStoredSettings();
        ADD_FAILURE() << "a non-numeric line was accepted";
    } catch (const morlanex::ConversionError &e) {
        EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
    }
    EXPECT_EQ(label("channelNameLabel")->text(), QStringLiteral("other")) << "captions are applied first";
    EXPECT_EQ(form->channelSetup().setup().devices.microphone, 1);
}

// --- the application-wide right-click filter ---------------------------------------------------

class ClickCounter : public QWidget {
public:
    int presses = 0;

protected:
    void mousePressEvent(QMouseEvent *) override { ++presses; }
};

TEST(MouseHook, SwallowsRightClicksOfTheHtmlViewOnly) {
    MouseHook hook;
    qApp->installEventFilter(&hook);
    ClickCounter html, plain;
    html.setProperty("windowClass", QString::fromLatin1(MouseHook::kBlockedClass));
    html.resize(50, 50);
    plain.resize(50, 50);
    html.show();
    plain.show();
    QTest::mouseClick(&html, Qt::RightButton);
    QTest::mouseClick(&html, Qt::LeftButton);
    QTest::mouseClick(&plain, Qt::RightButton);
    qApp->removeEventFilter(&hook);
    EXPECT_EQ(html.presses, 1);
    EXPECT_EQ(plain.presses, 1);
}

}  // namespace

// --- the recording input control -----------------------------------------------------------------

TEST_F(MainWindowTest, RecordingControlOpensTheMixerUnlessBusy) {
    // A stand-in mixer on PATH that notes how it was started.
    QTemporaryDir bin;
    const QString launched = bin.path() + QStringLiteral("/launched");
    QFile mixer(bin.path() + QStringLiteral("/pavucontrol"));
    ASSERT_TRUE(mixer.open(QIODevice::WriteOnly));
    mixer.write("#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/launched\"\n");
    mixer.close();
    mixer.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ":" + path);
    auto lines = [&] {
        QFile f(launched);
        return f.open(QIODevice::ReadOnly) ? f.readAll().count('\n') : 0;
    };

    enterRegistration();
    QTest::mouseClick(child(form, "recordingButton"), Qt::LeftButton);
    child<QAction>(form, "recordingAction")->trigger();
    // Real time: a mixer started anyway would write its line from a process of its own, some
    // time later; that none does takes waiting.
    QTest::qWait(500);
    EXPECT_EQ(lines(), 0) << "nothing opens while busy";
    endRegistration();

    label("statusLabel")->setText(QStringLiteral("舊訊息"));
    child<QAction>(form, "recordingAction")->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return lines() == 1; }, 5000));
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("舊訊息")) << "the menu item leaves the status line";
    QTest::mouseClick(child(form, "recordingButton"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return lines() == 2; }, 5000));
    EXPECT_EQ(label("statusLabel")->text(), QString()) << "a press in the tool row empties the status line";
    QFile f(launched);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("--tab=4\n--tab=4\n")) << "opened on its input devices";
    qputenv("PATH", path);
}
