// Test support: the whole program's windows (offscreen) in a settings folder of the test's own,
// its sequences on a tick source the test steps, and the helpers a user's hand needs: hover,
// click the action button, read the status line, reach preview or live.
#pragma once

#include "app/main_window.h"
#include "app/morlanex_app.h"
#include "event_waits.h"
#include "session/broadcast_session.h"
#include "stepped_ticks.h"
#include "tests/directory_server/server_harness.h"
#include "widget_helpers.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <gtest/gtest.h>

namespace morlanex::testing {

class AppFixture : public ::testing::Test {
protected:
    // Opens the windows; with a directory address, the program registers there. The test
    // machine's own router is never asked for mappings.
    void openApp(const std::string &directoryAddress = {}) {
        QDir().mkpath(config.programFolder());
        QFile conf(config.programFolder() + QStringLiteral("/Morlanex.conf"));
        ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
        if (!directoryAddress.empty())
            conf.write("[Directory]\nAddress=" + QByteArray::fromStdString(directoryAddress) + "\n");
        conf.write("[Network]\nPortMapping=off\n");
        conf.close();
        app = std::make_unique<MorlanexApp>(&ticks);
        form = app->mainWindow.get();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
    }
    void TearDown() override { app.reset(); }

    BroadcastSession &session() { return form->session(); }
    QLabel *label(const char *name) { return child<QLabel>(form, name); }
    QColor statusColour() { return label("statusLabel")->palette().color(QPalette::WindowText); }
    // Two moves, so the widget sees motion even when the pointer already rests on its centre.
    void hover(QWidget *w) {
        QTest::mouseMove(w, QPoint(1, 1));
        QTest::mouseMove(w, w->rect().center());
    }
    // The action button as a user meets it: hover the base, click the overlay.
    void clickAction(const char *overlay) {
        hover(label("actionButton"));
        ASSERT_TRUE(label(overlay)->isVisible()) << overlay;
        QTest::mouseClick(label(overlay), Qt::LeftButton);
    }
    // The device counts as open (no media needed for what the window shows of it).
    void enterPreview() { session().setPreviewRunning(true); }
    // Registration through a scripted directory's port 20; the window is live afterwards.
    void goLiveThrough(ScriptedPeer &port20, const std::string &channel = "4321", const std::string &views = "0") {
        ASSERT_TRUE(session().startBroadcast());
        ticks.advanceSeconds(5);
        std::optional<Received> registration;
        waitUntil([&] {
            while (auto got = port20.receive(std::chrono::milliseconds(0)))
                if (got->message() && got->message()->matches(cmd::LinkKerfCam)) registration = std::move(got);
            return registration.has_value();
        });
        ASSERT_TRUE(registration);
        DirectoryMessage ok;
        ok.writeCommand(cmd::LinkKerfOk);
        ok.writeText(Field::ChannelId, channel);
        ok.writeText(Field::PublicAddress, "203.0.113.9");
        ok.writeText(Field::ViewerCount, views);
        port20.send("127.0.0.1", registration->fromPort, ok);
        ASSERT_TRUE(waitUntil([&] { return form->liveActive(); }));
    }

    IsolatedConfig config;
    SteppedTicks ticks;
    std::unique_ptr<MorlanexApp> app;
    MainWindow *form = nullptr;
};

}  // namespace morlanex::testing
