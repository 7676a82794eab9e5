// The whole application, as in a run, with its settings folder in a fresh temporary place; the
// wizard is opened the way the idle overlay opens it and driven inside its modal loop.
#pragma once

#include "app/media_controller.h"
#include "app/settings_store.h"
#include "app_fixture.h"
#include "dialogs/about_box.h"
#include "dialogs/setup_wizard.h"
#include "dialogs/start_hint.h"
#include "session/channel_setup.h"

#include <QFile>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

using namespace morlanex;
using namespace morlanex::testing;

class DialogTest : public AppFixture {
protected:
    void SetUp() override { open(); }
    // With a directory address, a scripted directory answers there on ports 20 and 22.
    void open(const std::string &directory = {}) {
        if (!directory.empty()) {
            port20 = std::make_unique<ScriptedPeer>(directory, 20);
            port22 = std::make_unique<ScriptedPeer>(directory, 22);
        }
        openApp(directory);
        wizard = app->wizard;
        about = app->aboutBox;
        popup = app->startHint.get();
        // Any message box (a missing camera, a confirmation nobody should ask) is noted and
        // closed, so no test waits on it.
        boxWatch.setInterval(20);
        QObject::connect(&boxWatch, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                boxes << box->text();
                box->reject();
            }
        });
        boxWatch.start();
    }
    // The same windows again, with a scripted directory on `directory`.
    void reopenWithDirectory(const std::string &directory) {
        boxWatch.stop();
        QObject::disconnect(&boxWatch, nullptr, nullptr, nullptr);
        app.reset();
        open(directory);
    }
    void goLive() {
        enterPreview();
        goLiveThrough(*port20);
    }

    void TearDown() override {
        boxWatch.stop();
        AppFixture::TearDown();
    }

    QString settingsPath() const { return config.programFolder() + QStringLiteral("/DefData.ini"); }

    QByteArray settingsBytes() const {
        QFile f(settingsPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    void writeSettingsBytes(const QByteArray &bytes) const {
        QFile f(settingsPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    // Opens the wizard and runs `steps` while it shows; a wizard left open is cancelled.
    // Returns the dialog's result.
    int runWizard(const std::function<void(SetupWizard *)> &steps) {
        bool ran = false;
        QObject scope;  // the wait ends with this call
        whenModalShows(&scope, [&](QWidget *w) {
            if (w != wizard) return;
            ran = true;
            steps(wizard);
            if (wizard->isVisible()) wizard->reject();
        });
        // The idle overlay, as the user meets it.
        hover(label("actionButton"));
        QTest::mouseClick(label("setupOverlay"), Qt::LeftButton);
        EXPECT_TRUE(ran) << "the wizard did not show";
        return wizard->result();
    }

    std::unique_ptr<ScriptedPeer> port20, port22;
    SetupWizard *wizard = nullptr;
    AboutBox *about = nullptr;
    StartHint *popup = nullptr;
    QTimer boxWatch;
    QStringList boxes;
};
