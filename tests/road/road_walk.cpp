#include "road_walk.h"

#include "app/main_window.h"
#include "app/morlanex_app.h"
#include "dialogs/setup_wizard.h"
#include "session/broadcast_session.h"
#include "dialogs/start_hint.h"
#include "server_harness.h"
#include "widget_helpers.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QScreen>
#include <QToolButton>

using morlanex::testing::ScriptedPeer;
using namespace std::chrono_literals;

namespace {

class Road {
public:
    Road(MorlanexApp &app, const RoadOptions &options) : app(app), form(app.mainWindow.get()), opt(options) {}

    RoadReport walk();

private:
    void say(const QString &text) {
        opt.say(QStringLiteral("[%1s] %2").arg(clock.elapsed() / 1000.0, 5, 'f', 1).arg(text));
    }
    // A screenshot after `settleMs`, only when asked for.
    void shot(const QString &name, int settleMs = 300) {
        if (opt.shotsDir.isEmpty()) return;
        // Real time: the display paints on its own, and the pause shows the state as a person
        // sees it (the connecting lamp halfway, the live badge blinking).
        QTest::qWait(settleMs);
        const QString path = opt.shotsDir + QLatin1Char('/') + name + QStringLiteral(".png");
        if (QScreen *screen = QGuiApplication::primaryScreen(); screen && screen->grabWindow(0).save(path))
            say(QStringLiteral("screenshot %1").arg(path));
    }
    bool fail(const QString &why) {
        if (report.failure.isEmpty()) report.failure = why;
        say(QStringLiteral("FAILED: ") + why);
        return false;
    }
    // Moves over `w` the way a hand does, a few times if need be, until `shown` is visible.
    bool hoverUntil(QWidget *w, QWidget *shown) {
        for (int attempt = 0; attempt < 10 && !shown->isVisible(); ++attempt) {
            QTest::mouseMove(w, QPoint(2 + attempt, 2));
            QTest::mouseMove(w, w->rect().center());
            (void)QTest::qWaitFor([&] { return shown->isVisible(); }, 50);
        }
        return shown->isVisible();
    }
    void click(QWidget *w) { QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center()); }
    // Key events carrying the characters, as an input method commits them (QTest's own typing
    // knows only ASCII).
    void type(QWidget *w, const QString &text) {
        w->setFocus();
        for (const QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
            QApplication::sendEvent(w, &press);
            QApplication::sendEvent(w, &release);
        }
    }
    QLabel *label(const char *name) { return child<QLabel>(form, name); }

    bool walkWizard();
    bool goLive();
    bool watch();
    bool stayLive();
    bool stop();
    bool reuseLastSettings();

    MorlanexApp &app;
    MainWindow *form;
    RoadOptions opt;
    RoadReport report;
    QElapsedTimer clock;
};

bool Road::walkWizard() {
    SetupWizard *w = app.wizard;
    say(QStringLiteral("wizard open: page 1, setup mode"));
    shot(QStringLiteral("road-01-wizard-mode"));
    click(w->newSetupButton);
    if (!w->videoPage->isVisible()) return fail(QStringLiteral("the wizard did not turn to the video page"));
    for (int i = 0; i < w->videoDeviceList->count(); ++i) report.videoDevices << w->videoDeviceList->itemText(i);
    say(QStringLiteral("video devices: ") + report.videoDevices.join(QStringLiteral(", ")));
    shot(QStringLiteral("road-02-wizard-video"));
    click(w->videoNextButton);

    if (!w->audioPage->isVisible()) return fail(QStringLiteral("the wizard did not turn to the audio page"));
    for (int i = 0; i < w->recordingLineList->count(); ++i) report.recordingLines << w->recordingLineList->itemText(i);
    say(QStringLiteral("audio device: %1; recording lines: %2")
            .arg(w->audioDeviceList->currentText(), report.recordingLines.join(QStringLiteral(", "))));
    if (w->recordingLineList->count() > 0) {
        w->recordingLineList->setCurrentIndex(w->recordingLineList->count() - 1);
        report.chosenLinePin = w->recordingPinList->itemText(w->recordingLineList->currentIndex());
    }
    shot(QStringLiteral("road-03-wizard-audio"));
    click(w->audioNextButton);

    if (!w->channelPage->isVisible()) return fail(QStringLiteral("the wizard did not turn to the channel page"));
    type(w->channelNameEdit, opt.channelName);
    type(w->channelDescriptionEdit, opt.channelDescription);
    w->keywordsEdit->selectAll();
    type(w->keywordsEdit, opt.keywords);
    say(QStringLiteral("channel texts typed"));
    shot(QStringLiteral("road-04-wizard-channel"));
    click(w->channelNextButton);

    if (!w->compressionPage->isVisible())
        return fail(QStringLiteral("the wizard did not turn to the compression page"));
    // A look at a fixed level, then back to the automatic one most users keep: the live
    // stream then carries the three renditions.
    click(w->levelMediumButton);
    shot(QStringLiteral("road-05-wizard-compression"));
    click(w->levelAutomaticButton);
    say(QStringLiteral("compression: ") + w->levelAutomaticButton->text());
    click(w->compressionNextButton);

    if (!w->donePage->isVisible()) return fail(QStringLiteral("the wizard did not turn to the last page"));
    shot(QStringLiteral("road-06-wizard-done"));
    click(w->finishButton);  // "完成"
    return true;
}

bool Road::goLive() {
    if (!hoverUntil(label("actionButton"), label("startOverlay")))
        return fail(QStringLiteral("the start overlay did not show in preview"));
    click(label("startOverlay"));
    say(QStringLiteral("start pressed: ") + label("statusLabel")->text());
    shot(QStringLiteral("road-08-connecting"), 2500);
    if (!QTest::qWaitFor([&] { return form->liveActive(); }, 15000))
        return fail(QStringLiteral("the directory never acknowledged: ") + label("statusLabel")->text());
    report.statusWhenLive = label("statusLabel")->text();
    report.localPort = form->session().servingPort();
    say(QStringLiteral("live: \"%1\", channel %2, serving on port %3")
            .arg(report.statusWhenLive, form->session().channelId())
            .arg(report.localPort));
    shot(QStringLiteral("road-09-live"), 1500);
    return true;
}

bool Road::watch() {
    // A stream viewer: the real ffprobe, reading what the sink serves.
    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    probe.start(QStringLiteral("ffprobe"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-rw_timeout"),
                 QStringLiteral("10000000"), QStringLiteral("-show_entries"),
                 QStringLiteral("stream=codec_name,codec_type,width,height,sample_rate,bit_rate"),
                 QStringLiteral("-of"), QStringLiteral("compact"),
                 QStringLiteral("http://127.0.0.1:%1/").arg(report.localPort)});
    if (!QTest::qWaitFor([&] { return probe.state() == QProcess::NotRunning; }, 30000)) probe.kill();
    report.ffprobe = QString::fromUtf8(probe.readAll()).trimmed();
    say(QStringLiteral("ffprobe http://127.0.0.1:%1/:\n    %2")
            .arg(report.localPort)
            .arg(report.ffprobe.replace(QLatin1Char('\n'), QStringLiteral("\n    "))));
    if (report.ffprobe.contains(QStringLiteral("wmv2"))) opt.served(report.localPort);

    // A directory viewer: asks the directory to watch, gets "UCanSee" from the node.
    // On loopback beside a local directory; anywhere when the directory is out on a network.
    ScriptedPeer viewer(opt.directoryAddress.rfind("127.", 0) == 0 ? "127.0.0.1" : "0.0.0.0");
    morlanex::DirectoryMessage watchRequest;
    watchRequest.writeCommand("WatchChannel");
    watchRequest.writeText(morlanex::Field::ChannelId, form->session().channelId().toStdString());
    viewer.send(opt.directoryAddress, 22, watchRequest);
    (void)QTest::qWaitFor(
        [&] {
            return label("totalViewsLabel")->text() != QStringLiteral("0") &&
                label("currentViewersLabel")->text() != QStringLiteral("0");
        },
        5000);
    report.viewerGotUCanSee = viewer.receiveCommand("UCanSee", 2s).has_value();
    report.cumulativeAfterJoin = label("totalViewsLabel")->text();
    report.viewersWhileWatched = label("currentViewersLabel")->text();
    say(QStringLiteral(
            "a viewer asked the directory to watch; it got \"UCanSee\": %1; 累計收視人次 %2, 目前收視人數 %3")
            .arg(report.viewerGotUCanSee ? QStringLiteral("yes") : QStringLiteral("no"), report.cumulativeAfterJoin,
                 report.viewersWhileWatched));
    click(label("totalViewsCaption"));  // show the current viewers
    shot(QStringLiteral("road-10-viewer"));

    morlanex::DirectoryMessage leave = watchRequest;
    leave.writeCommand("LeaveChannel");
    viewer.send(opt.directoryAddress, 22, leave);
    (void)QTest::qWaitFor([&] { return label("currentViewersLabel")->text() == QStringLiteral("0"); }, 5000);
    report.viewersAfterLeave = label("currentViewersLabel")->text();
    say(QStringLiteral("the viewer left: 目前收視人數 %1").arg(report.viewersAfterLeave));
    return true;
}

bool Road::stayLive() {
    if (opt.extraLiveSeconds <= 0) return true;
    say(QStringLiteral("staying live for %1 s").arg(opt.extraLiveSeconds));
    // A window closed meanwhile (the exit, a termination signal) ends the stay.
    (void)QTest::qWaitFor([&] { return !form->isVisible(); }, opt.extraLiveSeconds * 1000);
    return form->liveActive() || fail(QStringLiteral("the broadcast ended while staying live"));
}

bool Road::stop() {
    if (!hoverUntil(label("actionButton"), label("stopOverlay")))
        return fail(QStringLiteral("the stop overlay did not show while live"));
    QString asked;
    answerMessageBox(form, QMessageBox::Yes, &asked);
    click(label("stopOverlay"));
    say(QStringLiteral("stop pressed, confirmed \"%1\"").arg(asked));
    if (!QTest::qWaitFor([&] { return !form->busy() && !form->liveActive(); }, 10000))
        return fail(QStringLiteral("the stop sequence did not end"));
    report.statusAfterStop = label("statusLabel")->text();
    report.previewAfterStop =
        form->previewActive() && QTest::qWaitFor([&] { return child(form, "videoArea")->isVisible(); }, 5000);
    say(QStringLiteral("stopped: \"%1\", preview running again: %2")
            .arg(report.statusAfterStop, report.previewAfterStop ? QStringLiteral("yes") : QStringLiteral("no")));
    shot(QStringLiteral("road-11-stopped"));
    return true;
}

bool Road::reuseLastSettings() {
    // The second opening offers the last settings; taking them restarts the preview. Replacing
    // the running preview asks first.
    bool offered = false;
    std::function<void(QWidget *)> handle = [&](QWidget *dialog) {
        if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
            box->button(QMessageBox::Yes)->click();
            whenModalShows(form, handle);
        } else if (dialog == app.wizard) {
            offered = app.wizard->useLastButton->isEnabled();
            click(app.wizard->useLastButton);
        }
    };
    whenModalShows(form, handle);
    click(child(form, "wizardButton"));
    report.reusedLastSettings = offered &&
        QTest::qWaitFor([&] { return form->previewActive() && child(form, "videoArea")->isVisible(); }, 10000);
    say(QStringLiteral("wizard opened again: last settings offered %1, preview restarted from them: %2")
            .arg(offered ? QStringLiteral("yes") : QStringLiteral("no"),
                 report.reusedLastSettings ? QStringLiteral("yes") : QStringLiteral("no")));
    return report.reusedLastSettings || fail(QStringLiteral("the last settings were not reused"));
}

RoadReport Road::walk() {
    clock.start();
    say(QStringLiteral("main window up; start pop-up says \"%1\"").arg(app.startHint->text()));
    shot(QStringLiteral("road-00-start"));

    hoverUntil(label("actionButton"), label("setupOverlay"));
    bool walked = false;
    whenModalShows(form, [&](QWidget *dialog) {
        if (dialog == app.wizard) walked = walkWizard();
    });
    click(label("setupOverlay"));
    if (!walked) return fail(QStringLiteral("the wizard did not open or was not finished")), report;

    QFile settings(opt.settingsFile);
    if (settings.open(QIODevice::ReadOnly)) report.settingsBytes = settings.readAll();
    report.nameCaption = label("channelNameLabel")->text();
    report.descriptionCaption = label("channelDescriptionLabel")->text();
    report.popupText = app.startHint->text();
    report.popupShowing = app.startHint->isVisible();
    say(QStringLiteral("wizard finished: settings file %1 bytes; captions \"%2\" / \"%3\"; pop-up \"%4\"")
            .arg(report.settingsBytes.size())
            .arg(report.nameCaption, report.descriptionCaption, report.popupText));

    report.previewPainting = QTest::qWaitFor([&] { return child(form, "videoArea")->isVisible(); }, 10000);
    say(QStringLiteral("preview: %1, badge \"%2\"")
            .arg(report.previewPainting ? QStringLiteral("camera picture showing") : QStringLiteral("no picture"),
                 label("modeLabel")->text()));
    shot(QStringLiteral("road-07-preview"), 1000);
    if (!report.previewPainting) return fail(QStringLiteral("the preview did not show")), report;

    if (goLive() && watch() && stayLive() && stop()) reuseLastSettings();
    return report;
}

}  // namespace

RoadReport walkTheRoad(MorlanexApp &app, const RoadOptions &options) { return Road(app, options).walk(); }
