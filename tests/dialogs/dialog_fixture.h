// The whole application, as in a run, with its settings folder in a fresh temporary place; the
// wizard is opened the way the idle overlay opens it and driven inside its modal loop.
#pragma once

#include "app/form1.h"
#include "app/morlanex_app.h"
#include "dialogs/form2.h"
#include "dialogs/form3.h"
#include "dialogs/form4.h"
#include "widget_helpers.h"

#include <QFile>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<MorlanexApp>();
        form = app->Form1.get();
        wizard = app->Form2;
        about = app->Form3;
        popup = app->Form4.get();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
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

    void TearDown() override
    {
        boxWatch.stop();
        form->Timer1->stop();
        form->Timer2->stop();
        form->LiveActive = false;
        app.reset();
    }

    QString settingsPath() const { return config.programFolder() + QStringLiteral("/DefData.ini"); }

    QByteArray settingsBytes() const
    {
        QFile f(settingsPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    void writeSettingsBytes(const QByteArray &bytes) const
    {
        QFile f(settingsPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    // Opens the wizard and runs `steps` while it shows; a wizard left open is cancelled.
    // Returns the dialog's result.
    int runWizard(const std::function<void(TForm2 *)> &steps)
    {
        bool ran = false;
        QObject scope; // the wait ends with this call
        whenModalShows(&scope, [&](QWidget *w) {
            if (w != wizard)
                return;
            ran = true;
            steps(wizard);
            if (wizard->isVisible())
                wizard->reject();
        });
        form->Image1Click();
        EXPECT_TRUE(ran) << "the wizard did not show";
        return wizard->result();
    }

    IsolatedConfig config;
    std::unique_ptr<MorlanexApp> app;
    TForm1 *form = nullptr;
    TForm2 *wizard = nullptr;
    TForm3 *about = nullptr;
    TForm4 *popup = nullptr;
    QTimer boxWatch;
    QStringList boxes;
};
