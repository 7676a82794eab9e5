// The main window as a user meets it: hover overlays, dragging, menus, confirmations, tray,
// closing, in-place caption editing and the application-wide right-click filter.
#include "app/form1.h"
#include "app/morlanex_app.h"
#include "app/mouse_hook.h"
#include "app/settings_file.h"
#include "dialogs/form2.h"
#include "widget_helpers.h"

#include <QFile>
#include <QTemporaryDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<MorlanexApp>();
        form = app->Form1.get();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    }
    void TearDown() override { app.reset(); }

    QLabel *label(const char *name) { return child<QLabel>(form, name); }
    // Two moves, so the widget sees motion even when the pointer already rests on its centre.
    void hover(QWidget *w)
    {
        QTest::mouseMove(w, QPoint(1, 1));
        QTest::mouseMove(w, w->rect().center());
    }
    void enterState(bool preview, bool live)
    {
        form->PreviewActive = preview;
        form->LiveActive = live;
    }

    IsolatedConfig config;
    std::unique_ptr<MorlanexApp> app;
    TForm1 *form = nullptr;
};

TEST_F(MainWindow, ComponentsStartAsDesigned)
{
    EXPECT_EQ(form->size(), QSize(357, 458));
    EXPECT_TRUE(form->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_FALSE(form->mask().isEmpty());
    EXPECT_FALSE(form->mask().contains(QPoint(0, 0))) << "the colour key cuts the corners";
    EXPECT_TRUE(form->mask().contains(QPoint(178, 229)));
    for (const char *hidden : {"Image14", "Image1", "Image11", "Image12", "Image5", "Image10", "Image9",
                               "Label8", "Label9", "Label12", "Label11"})
        EXPECT_FALSE(label(hidden)->isVisible()) << hidden;
    EXPECT_FALSE(child(form, "VideoWindow1")->isVisible());
    EXPECT_FALSE(child(form, "Panel1")->isVisible());
    EXPECT_FALSE(child(form, "Edit1")->isVisible());
    EXPECT_TRUE(label("Image8")->isVisible());
    EXPECT_EQ(label("Label2")->text(), QStringLiteral("頻道名稱"));
    EXPECT_EQ(label("Label8")->text(), QStringLiteral("累計收視人次"));
    EXPECT_EQ(child<QToolButton>(form, "SpeedButton3")->toolTip(), QStringLiteral("關於Morlanex!"));
    EXPECT_EQ(form->ownVersion(), QStringLiteral("1.1.0.2"));
    EXPECT_TRUE(form->Timer3->isActive());
    EXPECT_EQ(form->Timer3->interval(), 10000);
    EXPECT_FALSE(form->N11->isEnabled());
    EXPECT_TRUE(form->N19->isChecked());
    EXPECT_FALSE(form->ProductItem->isVisible());
}

TEST_F(MainWindow, StartupCreatesTheSettingsFile)
{
    QFile file(config.programFolder() + QStringLiteral("/DefData.ini"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("\r\n\r\n\r\n\r\n\r\n\r\n\r\n"));
}

TEST_F(MainWindow, HoverShowsTheOverlayOfTheCurrentState)
{
    QLabel *base = label("Image7");
    hover(base);
    EXPECT_TRUE(label("Image1")->isVisible());
    EXPECT_EQ(label("Image1")->toolTip(), QStringLiteral("初始設定"));

    hover(label("Image8")); // the background resets the hover state
    EXPECT_FALSE(label("Image1")->isVisible());

    enterState(true, false);
    hover(base);
    EXPECT_TRUE(label("Image11")->isVisible());
    EXPECT_FALSE(label("Image1")->isVisible());
    hover(child(form, "GroupBox1"));

    enterState(true, true);
    hover(base);
    EXPECT_TRUE(label("Image12")->isVisible());
    EXPECT_FALSE(label("Image11")->isVisible());
}

TEST_F(MainWindow, BusyKeepsOverlaysAndRefusesCommands)
{
    enterState(true, false);
    hover(label("Image7"));
    ASSERT_TRUE(label("Image11")->isVisible());
    form->Timer1->start();
    hover(label("Image8"));
    EXPECT_TRUE(label("Image11")->isVisible()) << "busy: the hover reset does nothing";
    hover(label("Image2"));
    EXPECT_TRUE(label("Image2")->pixmap().isNull()) << "busy: no close highlight";

    bool dialogShowed = false;
    rejectNextDialog(form, &dialogShowed, nullptr);
    QTest::mouseClick(child(form, "SpeedButton2"), Qt::LeftButton);
    QTest::mouseClick(child(form, "SpeedButton1"), Qt::LeftButton);
    QTest::mouseClick(child(form, "SpeedButton3"), Qt::LeftButton);
    QTest::qWait(200);
    EXPECT_FALSE(dialogShowed);
    EXPECT_TRUE(form->previewActive());
    form->Timer1->stop();

    hover(label("Image2"));
    EXPECT_FALSE(label("Image2")->pixmap().isNull());
    QTest::mouseRelease(label("Image2"), Qt::RightButton);
    EXPECT_TRUE(label("Image2")->pixmap().isNull());
}

TEST_F(MainWindow, OnlyTheLeftButtonDragsTheWindow)
{
    QWidget *title = child(form, "Label6");
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
    QWidget *status = child(form, "Label7");
    const QPoint before = form->pos();
    QTest::mousePress(status, Qt::LeftButton, {}, QPoint(3, 3));
    QTest::mouseMove(status, QPoint(40, 40));
    QTest::mouseRelease(status, Qt::LeftButton, {}, QPoint(40, 40));
    EXPECT_EQ(form->pos(), before);
}

TEST_F(MainWindow, FunctionMenuEnablingFollowsTheState)
{
    auto openMenus = [&] {
        form->PopupMenu3->popup(QPoint(10, 10));
        form->N10Menu->popup(QPoint(20, 20));
        form->N10Menu->close();
        form->PopupMenu3->close();
    };
    openMenus(); // idle
    EXPECT_FALSE(form->N10->isEnabled());

    enterState(true, false);
    openMenus();
    EXPECT_TRUE(form->N10->isEnabled());
    EXPECT_TRUE(form->N14->isEnabled());
    EXPECT_FALSE(form->N11->isEnabled());

    form->Timer2->start();
    openMenus();
    EXPECT_FALSE(form->N10->isEnabled()) << "busy disables the advanced functions";
    form->Timer2->stop();

    enterState(true, true);
    openMenus();
    EXPECT_FALSE(form->N14->isEnabled());
    EXPECT_FALSE(form->N11->isEnabled()) << "cumulative count is 0";
    label("Label9")->setText(QStringLiteral("5"));
    openMenus();
    EXPECT_TRUE(form->N11->isEnabled());
}

TEST_F(MainWindow, ReplacingARunningPreviewAsksFirst)
{
    enterState(true, false);
    QString asked;
    answerMessageBox(form, QMessageBox::No, &asked);
    QTest::mouseClick(child(form, "SpeedButton2"), Qt::LeftButton);
    EXPECT_EQ(asked, QStringLiteral("視訊正在運作中,這樣做將會關閉先前的設定,確定要繼續嗎?"));
    EXPECT_FALSE(app->Form2->isVisible());

    // Yes opens the wizard.
    answerMessageBox(form, QMessageBox::Yes);
    QString opened;
    QTimer::singleShot(300, [&] { rejectNextDialog(form, nullptr, &opened); });
    QTest::mouseClick(child(form, "SpeedButton2"), Qt::LeftButton);
    EXPECT_EQ(opened, QStringLiteral("Form2"));
}

TEST_F(MainWindow, IdleOverlayOpensTheWizardWithoutAsking)
{
    hover(label("Image7"));
    QString opened;
    rejectNextDialog(form, nullptr, &opened);
    QTest::mouseClick(label("Image1"), Qt::LeftButton);
    EXPECT_EQ(opened, QStringLiteral("Form2"));
}

TEST_F(MainWindow, ClosingTheDeviceWhileLiveStopsTheBroadcastFirst)
{
    enterState(true, true);
    answerMessageBox(form, QMessageBox::No);
    QTest::mouseClick(child(form, "SpeedButton1"), Qt::LeftButton);
    EXPECT_FALSE(form->Timer2->isActive());
    EXPECT_FALSE(form->CloseDeviceAfterStop);

    answerMessageBox(form, QMessageBox::Yes);
    QTest::mouseClick(child(form, "SpeedButton1"), Qt::LeftButton);
    EXPECT_TRUE(form->Timer2->isActive());
    EXPECT_TRUE(form->CloseDeviceAfterStop);
    form->Timer2->stop();
}

class TrayDesktop : public TForm1 {
protected:
    bool trayAvailable() const override { return true; }
};

TEST(Tray, HideToTrayAndShowBack)
{
    IsolatedConfig config;
    TrayDesktop form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(child(&form, "Image2"), Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    form.showFromTray();
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());
}

TEST_F(MainWindow, WithoutANotificationAreaHidingMinimises)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    form->N4->trigger();
    EXPECT_TRUE(form->isMinimized());
    EXPECT_TRUE(form->isVisible()) << "the window must stay reachable";
    form->N2->trigger();
    EXPECT_FALSE(form->isMinimized());
}

TEST_F(MainWindow, SystemCloseRunsTheShutdownLikeTheExitItem)
{
    QSignalSpy closedSpy(form, &TForm1::closed);
    form->close(); // what the window manager's close does
    EXPECT_EQ(closedSpy.count(), 1);
    EXPECT_EQ(form->CoolTrayIcon1, nullptr) << "the tray icon is removed";
    EXPECT_FALSE(form->isVisible());
}

TEST_F(MainWindow, ExitItemClosesTheWindow)
{
    QSignalSpy closedSpy(form, &TForm1::closed);
    form->N6->trigger();
    EXPECT_EQ(closedSpy.count(), 1);
    EXPECT_FALSE(form->isVisible());
}

// --- in-place caption editing ------------------------------------------------------------------

class CaptionEditing : public MainWindow {
protected:
    void SetUp() override
    {
        MainWindow::SetUp();
        form->setChannelCaptions(QStringLiteral("老頻道"), QStringLiteral("舊簡介"));
        form->Keywords = QStringLiteral("自拍");
        app->Form2->SettingsRecord = morlanex::SettingsRecord{};
    }
    QByteArray settingsBytes()
    {
        QFile f(config.programFolder() + QStringLiteral("/DefData.ini"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QLineEdit *edit(const char *name) { return child<QLineEdit>(form, name); }
    void startEditingName()
    {
        QTest::mouseDClick(label("Label4"), Qt::LeftButton);
        ASSERT_TRUE(edit("Edit1")->isVisible());
        ASSERT_EQ(edit("Edit1")->text(), QStringLiteral("老頻道"));
    }
};

TEST_F(CaptionEditing, EnterAcceptsATrimmedNewNameAndSavesIt)
{
    startEditingName();
    edit("Edit1")->setText(QStringLiteral("  新頻道 "));
    QTest::keyClick(edit("Edit1"), Qt::Key_Return);
    EXPECT_EQ(label("Label4")->text(), QStringLiteral("新頻道"));
    EXPECT_EQ(label("Label4")->toolTip(), QStringLiteral("新頻道"));
    EXPECT_FALSE(edit("Edit1")->isVisible());
    EXPECT_EQ(settingsBytes(), QByteArray("\xb7\x73\xc0\x57\xb9\x44\r\n\xc2\xc2\xc2\xb2\xa4\xb6\r\n0\r\n0\r\n0\r\n0\r\n"
                                          "\xa6\xdb\xa9\xe7\r\n"));
}

TEST_F(CaptionEditing, EscapeAndBlanksKeepTheOldText)
{
    const QByteArray before = settingsBytes();
    startEditingName();
    edit("Edit1")->setText(QStringLiteral("不要"));
    QTest::keyClick(edit("Edit1"), Qt::Key_Escape);
    EXPECT_EQ(label("Label4")->text(), QStringLiteral("老頻道"));
    EXPECT_FALSE(edit("Edit1")->isVisible());

    startEditingName();
    edit("Edit1")->setText(QStringLiteral("    "));
    QTest::keyClick(edit("Edit1"), Qt::Key_Return);
    EXPECT_EQ(label("Label4")->text(), QStringLiteral("老頻道"));
    EXPECT_EQ(settingsBytes(), before) << "a refused edit saves nothing";
}

TEST_F(CaptionEditing, PressOnTheOtherLabelAcceptsTheOpenEdit)
{
    startEditingName();
    edit("Edit1")->setText(QStringLiteral("改名"));
    QTest::mousePress(label("Label5"), Qt::LeftButton);
    QTest::mouseRelease(label("Label5"), Qt::LeftButton);
    EXPECT_EQ(label("Label4")->text(), QStringLiteral("改名"));
    EXPECT_FALSE(edit("Edit1")->isVisible());
}

TEST_F(CaptionEditing, NoEditingWhileBusyOrWithoutAName)
{
    form->Timer1->start();
    QTest::mouseDClick(label("Label4"), Qt::LeftButton);
    EXPECT_FALSE(edit("Edit1")->isVisible());
    form->Timer1->stop();

    form->setChannelCaptions(QString(), QStringLiteral("只有簡介"));
    QTest::mouseDClick(label("Label5"), Qt::LeftButton);
    EXPECT_FALSE(edit("Edit2")->isVisible()) << "the description needs a channel name";
}

TEST_F(CaptionEditing, HelpIconsFollowTheMouseWithTheirOwnBusyTests)
{
    hover(label("Label5"));
    EXPECT_TRUE(label("Image9")->isVisible());
    hover(label("Label4"));
    EXPECT_TRUE(label("Image10")->isVisible());
    EXPECT_FALSE(label("Image9")->isVisible());

    label("Image10")->hide();
    form->Timer2->start(); // the name tests only the connect sequence
    hover(label("Label4"));
    EXPECT_TRUE(label("Image10")->isVisible());
    hover(label("Label5"));
    EXPECT_FALSE(label("Image9")->isVisible());
    form->Timer2->stop();
}

TEST_F(CaptionEditing, LevelWriterKeepsTheRecordNotTheWorkingCopies)
{
    app->Form2->SettingsRecord = morlanex::parseSettings("rec name\r\nrec desc\r\n1\r\n2\r\n1\r\n0\r\nkw\r\n");
    form->setChannelCaptions(QStringLiteral("window name"), QStringLiteral("window desc"));
    form->VideoDeviceIndex = 7;
    form->saveNewLevel(3);
    EXPECT_EQ(settingsBytes(), QByteArray("rec name\r\nrec desc\r\n1\r\n2\r\n1\r\n3\r\nkw\r\n"));
}

TEST_F(CaptionEditing, ApplyingARecordTrimsCaptionsAndRejectsNonNumbers)
{
    app->Form2->SettingsRecord = morlanex::parseSettings("  padded name \r\n desc\r\n0\r\n1\r\n-1\r\n2\r\nkw\r\n");
    form->applySettingsRecord();
    EXPECT_EQ(label("Label4")->text(), QStringLiteral("padded name"));
    EXPECT_EQ(form->AudioDeviceIndex, 1);
    EXPECT_EQ(form->AudioInputPin, -1);
    EXPECT_EQ(form->CompressionLevel, 2);

    app->Form2->SettingsRecord = morlanex::parseSettings("other\r\nd\r\n0\r\nx1\r\n0\r\n0\r\n");
    try {
        form->applySettingsRecord();
        ADD_FAILURE() << "a non-numeric line was accepted";
    } catch (const morlanex::ConversionError &e) {
        EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
    }
    EXPECT_EQ(label("Label4")->text(), QStringLiteral("other")) << "captions are applied first";
    EXPECT_EQ(form->AudioDeviceIndex, 1);
}

// --- the application-wide right-click filter ---------------------------------------------------

class ClickCounter : public QWidget {
public:
    int presses = 0;
protected:
    void mousePressEvent(QMouseEvent *) override { ++presses; }
};

TEST(MouseHook, SwallowsRightClicksOfTheHtmlViewOnly)
{
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

} // namespace

// --- the recording input control -----------------------------------------------------------------

TEST_F(MainWindow, RecordingControlOpensTheMixerUnlessBusy)
{
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

    form->Timer2->start();
    QTest::mouseClick(child(form, "SpeedButton5"), Qt::LeftButton);
    form->N9->trigger();
    QTest::qWait(500);
    EXPECT_EQ(lines(), 0) << "nothing opens while busy";
    form->Timer2->stop();

    label("Label7")->setText(QStringLiteral("舊訊息"));
    form->N9->trigger();
    EXPECT_TRUE(QTest::qWaitFor([&] { return lines() == 1; }, 5000));
    EXPECT_EQ(label("Label7")->text(), QStringLiteral("舊訊息")) << "the menu item leaves the status line";
    QTest::mouseClick(child(form, "SpeedButton5"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return lines() == 2; }, 5000));
    EXPECT_EQ(label("Label7")->text(), QString()) << "a press in the tool row empties the status line";
    QFile f(launched);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("--tab=4\n--tab=4\n")) << "opened on its input devices";
    qputenv("PATH", path);
}
