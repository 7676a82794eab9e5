// The about box in both broadcast states and the start pop-up: its shape, its place beside the
// action button, and the three ways it goes away.
#include "dialog_fixture.h"

#include "app/mouse_hook.h"

#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>

namespace {

class AboutBoxTest : public DialogTest {
protected:
    // Opens the about box as its button does; returns what it showed, then closes it.
    QStringList openAbout() {
        QStringList seen;
        QObject scope;  // the wait ends with this call
        whenModalShows(&scope, [&](QWidget *w) {
            if (w != about) return;
            seen << child<QLabel>(about, "versionLabel")->text() << child<QLabel>(about, "liveAddressLabel")->text();
            about->reject();
        });
        QTest::mouseClick(child(form, "aboutButton"), Qt::LeftButton);
        return seen;
    }
};

TEST_F(AboutBoxTest, ShowsTheVersionAndNotLiveYet) {
    enterPreview();
    EXPECT_EQ(openAbout(), (QStringList{QStringLiteral("1.1.0.2"), QStringLiteral("尚未啟動直播模式")}));
    EXPECT_EQ(about->size(), QSize(385, 290));
    EXPECT_EQ(about->windowTitle(), QStringLiteral("關於Morlanex!"));
    EXPECT_EQ(child<QGroupBox>(about, "locationBox")->title(), QStringLiteral("視訊分享網路位置"));
}

TEST_F(AboutBoxTest, ShowsTheStreamAddressOnlyWhileLive) {
    reopenWithDirectory("127.0.0.146");
    goLive();  // the directory sees the node at 203.0.113.9
    EXPECT_EQ(openAbout().value(1), QStringLiteral("203.0.113.9:%1").arg(session().servingPort()));

    // Set on every showing: the next one after the broadcast ended says so.
    ASSERT_TRUE(session().stopBroadcast());
    ticks.advanceSeconds(3);
    EXPECT_EQ(openAbout().value(1), QStringLiteral("尚未啟動直播模式"));
}

TEST_F(AboutBoxTest, DoesNotOpenWhileConnecting) {
    enterPreview();
    ASSERT_TRUE(session().startBroadcast());
    bool showed = false;
    rejectNextDialog(form, &showed);
    // The box would open inside the click (a modal loop, which the watch above closes).
    QTest::mouseClick(child(form, "aboutButton"), Qt::LeftButton);
    EXPECT_FALSE(showed);
    EXPECT_FALSE(about->isVisible());
}

TEST_F(AboutBoxTest, HelpTextIsReadOnlyAndKeepsRightClicksAway) {
    auto *memo = child<QPlainTextEdit>(about, "helpText");
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_EQ(memo->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(memo->contextMenuPolicy(), Qt::NoContextMenu);
    EXPECT_EQ(memo->size(), QSize(341, 76));
    const QString text = memo->toPlainText();
    EXPECT_TRUE(text.startsWith(QStringLiteral("▼說明:")));
    EXPECT_TRUE(text.contains(QStringLiteral("▼商務版本說明:")));
    EXPECT_TRUE(text.contains(QStringLiteral("service@ulma.example")));
    EXPECT_TRUE(text.contains(QStringLiteral("business@ulma.example")));
    EXPECT_TRUE(text.contains(QString::fromStdString(form->config().portalUrl)));
    for (int point = 1; point <= 5; ++point) EXPECT_TRUE(text.contains(QStringLiteral("\n%1. ").arg(point))) << point;

    // The application-wide filter swallows right presses aimed at the text.
    MouseHook hook;
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::RightButton, Qt::RightButton,
                      Qt::NoModifier);
    EXPECT_TRUE(hook.eventFilter(memo->viewport(), &press));
    EXPECT_TRUE(hook.eventFilter(memo, &press));
}

class StartPopup : public DialogTest {
protected:
    QPoint expectedPlace() { return label("actionButton")->mapToGlobal(QPoint(0, 0)) - QPoint(50, 50); }
    // A pop-up of the test's own on stepped time, pointing at the same button; the program's
    // (on real time) is closed first.
    std::unique_ptr<StartHint> steppedHint() {
        popup->closeHint();
        auto hint = std::make_unique<StartHint>(&hintTicks);
        hint->setAnchor(label("actionButton"));
        hint->closeHint();
        return hint;
    }
    // Still showing just before 5000 ms from now, gone at them.
    void expectClosesAfterFiveSeconds(StartHint &hint) {
        hintTicks.advance(std::chrono::milliseconds(4999));
        EXPECT_TRUE(hint.isVisible()) << "closed before its time";
        EXPECT_TRUE(hint.closingByItself());
        hintTicks.advance(std::chrono::milliseconds(1));
        EXPECT_FALSE(hint.isVisible()) << "still showing after 5000 ms";
        EXPECT_FALSE(hint.closingByItself());
    }
    SteppedTicks hintTicks;
};

TEST_F(StartPopup, ShowsAtStartUpBesideTheActionButton) {
    EXPECT_TRUE(popup->isVisible());
    EXPECT_EQ(popup->text(), QStringLiteral("按此開始"));
    EXPECT_EQ(popup->pos(), expectedPlace());
    EXPECT_TRUE(popup->closingByItself());
    EXPECT_TRUE(popup->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(popup->windowFlags() & Qt::WindowStaysOnTopHint);
    // The colour key cuts the balloon's shape: its rounded corner and the strip at the right.
    const QRegion shape = popup->mask();
    EXPECT_FALSE(shape.contains(QPoint(0, 0)));
    EXPECT_FALSE(shape.contains(QPoint(106, 20)));
    EXPECT_TRUE(shape.contains(QPoint(50, 22)));
    EXPECT_TRUE(shape.contains(child<QLabel>(popup, "callToAction")->geometry().center()));
}

TEST_F(StartPopup, FollowsTheMainWindowWhenShownAgain) {
    const auto hint = steppedHint();
    const QPoint moved = form->pos() + QPoint(120, 70);
    form->move(moved);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->pos() == moved; }));
    hint->showWithText(QStringLiteral("按此啟動直播"));
    EXPECT_TRUE(hint->isVisible());
    EXPECT_EQ(hint->text(), QStringLiteral("按此啟動直播"));
    EXPECT_EQ(hint->pos(), expectedPlace());
    expectClosesAfterFiveSeconds(*hint);  // a fresh 5000 ms
}

TEST_F(StartPopup, ShownByThePreviewStartOutlivesTheWizard) {
    popup->closeHint();
    // As the preview start does it from "完成": shown while the wizard is still modal, which
    // then closes.
    runWizard([&](SetupWizard *w) {
        popup->showWithText(QStringLiteral("按此啟動直播"));
        w->accept();
    });
    // The activation has moved on from the wizard: a pop-up that closes on losing it would be gone.
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() != wizard; }));
    EXPECT_TRUE(popup->isVisible());
    EXPECT_EQ(popup->text(), QStringLiteral("按此啟動直播"));
    EXPECT_TRUE(popup->closingByItself());
}

TEST_F(StartPopup, ShowingAgainDoesNotRestartARunningTimer) {
    const auto hint = steppedHint();
    hint->showWithText(QStringLiteral("按此開始"));
    hintTicks.advanceSeconds(2);
    hint->showWithText(QStringLiteral("按此啟動直播"));
    EXPECT_EQ(hint->text(), QStringLiteral("按此啟動直播"));
    hintTicks.advance(std::chrono::milliseconds(2999));
    EXPECT_TRUE(hint->isVisible());
    hintTicks.advance(std::chrono::milliseconds(1));
    EXPECT_FALSE(hint->isVisible()) << "restarted: a fresh 5000 ms";
}

TEST_F(StartPopup, ClosesByItselfAfterFiveSeconds) {
    const auto hint = steppedHint();
    hint->showWithText(QStringLiteral("按此開始"));
    expectClosesAfterFiveSeconds(*hint);
    // The text stays as it was.
    EXPECT_EQ(hint->text(), QStringLiteral("按此開始"));
}

TEST_F(StartPopup, APressOnTheMainWindowClosesIt) {
    ASSERT_TRUE(popup->isVisible());
    QTest::mousePress(child(form, "controlPanel"), Qt::RightButton, {}, QPoint(200, 20));
    EXPECT_FALSE(popup->isVisible());
    EXPECT_FALSE(popup->closingByItself());
    QTest::mouseRelease(child(form, "controlPanel"), Qt::RightButton, {}, QPoint(200, 20));

    popup->showWithText(QStringLiteral("按此啟動直播"));
    QTest::mousePress(label("actionButton"), Qt::LeftButton);
    EXPECT_FALSE(popup->isVisible()) << "a press on the action button";
    QTest::mouseRelease(label("actionButton"), Qt::LeftButton);
}

TEST_F(StartPopup, LosingTheActivationClosesIt) {
    popup->showWithText(QStringLiteral("按此開始"));
    popup->activateWindow();
    if (!QTest::qWaitForWindowActive(popup, 2000)) GTEST_SKIP() << "this platform does not activate windows";
    form->activateWindow();
    QTRY_VERIFY_WITH_TIMEOUT(!popup->isVisible(), 2000);
    EXPECT_FALSE(popup->closingByItself());
}

}  // namespace
