// The main window's side of the broadcast: what the session's signals show, the media side's
// preview and live switch, and the stored settings.
#include "app/clickable_label.h"
#include "app/main_window_parts.h"
#include "app/media_controller.h"
#include "app/settings_store.h"
#include "dialogs/setup_wizard.h"
#include "dialogs/start_hint.h"
#include "media/capture_pipeline.h"
#include "session/broadcast_session.h"
#include "session/channel_setup.h"
#include "session/push_text.h"
#include "session/reach_status.h"
#include "common/qt_translated_text.h"

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QMovie>
#include <QTimer>

#include <cstdio>

using morlanex::BroadcastSession;
using morlanex::BroadcastState;
using morlanex::DeviceChoice;

namespace {
const TranslatedText kPreviewMode{"MainWindow", QT_TRANSLATE_NOOP("MainWindow", "預覽模式")};
const TranslatedText kLiveMode{"MainWindow", QT_TRANSLATE_NOOP("MainWindow", "現場直播")};
const TranslatedText kLiveStarted{"MainWindow", QT_TRANSLATE_NOOP("MainWindow", "視訊直播已啟動")};
const TranslatedText kDeviceClosed{"MainWindow", QT_TRANSLATE_NOOP("MainWindow", "視訊裝置已關閉")};
const TranslatedText kNoCaptureDevice{"MainWindow", QT_TRANSLATE_NOOP("MainWindow", "您未安裝任何視訊擷取裝置!")};
const TranslatedText kClickToGoLive{"MainWindow", QT_TRANSLATE_NOOP("MainWindow", "按此啟動直播")};
const TranslatedText kDeviceUnavailable{"MainWindow", QT_TRANSLATE_NOOP("MainWindow", "無法開啟視訊或音訊裝置")};
// The network sink could not listen on the serving port: nobody can watch.
const TranslatedText kPortFailed{"MainWindow", QT_TRANSLATE_NOOP("MainWindow", "無法開啟直播連接埠 %1")};
const QColor kBadgeWhite(255, 255, 255);
const QColor kBadgeYellow(255, 255, 0);
constexpr int kVersionNoticeCloseDelayMs = 1000;

void setTextColour(QLabel *label, const QColor &colour) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, colour);
    label->setPalette(p);
}
}  // namespace

void MainWindow::connectSession() {
    broadcast->setMediaSide({[this] { return goLive(); }, [this](bool closeDevice) { leaveLive(closeDevice); }});
    connect(broadcast, &BroadcastSession::statusChanged, this, &MainWindow::showStatus);
    connect(broadcast, &BroadcastSession::countersChanged, this, &MainWindow::showCounters);
    connect(broadcast, &BroadcastSession::stateChanged, this, &MainWindow::onStateChanged);
    connect(broadcast, &BroadcastSession::sequenceTicked, this, [this] {
        parts->nameHelpIcon->hide();
        parts->descriptionHelpIcon->hide();
    });
    connect(broadcast, &BroadcastSession::newVersionAnnounced, this, &MainWindow::onNewVersion);
    connect(mediaSide, &MediaController::pictureShowing, parts->videoArea, &QWidget::show);
    connect(mediaSide, &MediaController::failed, this, [this](const QString &text) {
        // The picture is gone (a device vanished or failed): say so rather than freeze, and end
        // a broadcast nobody can see any more.
        parts->videoArea->hide();
        parts->videoPlaceholder->update();
        broadcast->deviceLost(text);  // closes the device when it ends a broadcast
        resumeAfterLoss = true;
    });
    connect(mediaSide, &MediaController::microphoneLost, this,
            [this](const QString &text) { setStatus(text, BroadcastSession::kRed); });
    connect(mediaSide, &MediaController::portsMapped, reach, &morlanex::ReachStatus::mappingReported);
    connect(reach, &morlanex::ReachStatus::changed, this, &MainWindow::showReach);
    connect(mediaSide, &MediaController::pushReported, this, [this](const morlanex::PushReport &report) {
        pushReport = report;
        showReach();
    });
}

void MainWindow::showReach() {
    // Nobody outside gets in: the relay tier is the way out (push mode).
    if (reach->active() && morlanex::pushWanted(appConfig.push, reach->text())) mediaSide->startPushing();
    const morlanex::ReachText t = morlanex::withPush(reach->text(), reach->active() ? pushReport : std::nullopt);
    // What push mode says goes to the log as the reach status's own lines do.
    if (t.line != reach->text().line && t.line != parts->reachLabel->text())
        std::fprintf(stderr, "morlanex: reach: %s\n", t.line.toLocal8Bit().constData());
    setTextColour(parts->reachLabel, t.reachable ? QColor(128, 255, 128) : (t.settled ? kBadgeYellow : Qt::lightGray));
    parts->reachLabel->setText(t.line);
    parts->reachLabel->setToolTip(t.detail);
}

void MainWindow::setStatus(const QString &text, const QColor &colour) { broadcast->setStatus(text, colour); }

void MainWindow::showStatus(const QString &text, const QColor &colour) {
    setTextColour(parts->statusLabel, colour);
    parts->statusLabel->setText(text);
}

void MainWindow::showCounters(int totalViews, int currentViewers) {
    parts->totalViewsLabel->setText(QString::number(totalViews));
    parts->currentViewersLabel->setText(QString::number(currentViewers));
}

void MainWindow::onStateChanged(BroadcastState state) {
    if (state == BroadcastState::Live) {
        showCounter(false);  // the acknowledgement shows the cumulative count
        reach->start(
            {uint16_t(broadcast->servingPort()), uint16_t(mediaSide->webrtcPort()), uint16_t(broadcast->reportPort())},
            appConfig.portMapping);
    } else if (state != BroadcastState::Registering) {
        reach->stop();
        pushReport.reset();
    }
    refreshActionOverlay();
}

void MainWindow::onNewVersion(const QString &version) {
    QMessageBox notice(QMessageBox::NoIcon, QApplication::applicationDisplayName(),
                       tr("檢查到新版本(%1),請下載更新.").arg(version), QMessageBox::Ok, this);
    notice.setObjectName(QStringLiteral("versionNotice"));
    notice.exec();
    openUrl(QString::fromStdString(appConfig.portalUrl));
    // Closing a little later lets the browser start; the UI thread is not held meanwhile.
    QTimer::singleShot(kVersionNoticeCloseDelayMs, this, [this] { close(); });
}

// ---------------------------------------------------------------------------------------------
// Preview and live

void MainWindow::startPreview() {
    resumeAfterLoss = false;
    setupModel->editDevices([this](DeviceChoice &devices) { mediaSide->listVideoDevices(devices); });
    if (setupModel->setup().devices.camera == -1) {
        QMessageBox::information(this, QStringLiteral("Morlanex!"), kNoCaptureDevice, QMessageBox::Ok);
        return;
    }
    AudioChoices audio;
    setupModel->editDevices([&](DeviceChoice &devices) { mediaSide->listAudio(DeviceList{}, devices, audio); });
    applyStoredSettings();  // captions, devices and the compression level
    mediaSide->startPreview(setupModel->setup().devices);
    showPreviewMode();
}

void MainWindow::showPreviewMode() {
    setTextColour(parts->modeLabel, kBadgeWhite);
    parts->modeLabel->setText(kPreviewMode);
    parts->modeBadge->show();
    broadcast->setPreviewRunning(true);
    if (wizard && wizard->isVisible() && startHint) startHint->showWithText(kClickToGoLive);
    refreshActionOverlay();
}

void MainWindow::closeDevice() {
    resumeAfterLoss = false;
    mediaSide->closeDevice();
    parts->videoArea->hide();
    parts->modeBadge->hide();
    parts->videoPlaceholder->update();
    broadcast->setPreviewRunning(false);
    parts->nameHelpIcon->hide();
    parts->descriptionHelpIcon->hide();
    setupModel->setTexts(QString(), QString());
    hideCounters();
    if (wizard && wizard->isVisible())
        setStatus(QString(), broadcast->statusColour());
    else
        setStatus(kDeviceClosed, BroadcastSession::kRed);
    refreshActionOverlay();
}

bool MainWindow::goLive() {
    MediaController::LiveOutcome outcome;
    try {
        outcome = mediaSide->switchToLive(setupModel->setup().devices);
    } catch (const morlanex::MediaError &e) {
        // The session shows this text and gives the attempt up; the detail goes to the log.
        qWarning("morlanex media: %s", e.what());
        parts->videoArea->hide();
        throw std::runtime_error(kDeviceUnavailable.toStdString());
    }
    if (outcome == MediaController::LiveOutcome::NoVideoDevice) return true;  // nothing to switch
    parts->modeBadge->hide();
    parts->liveLampBlinking->show();
    parts->liveLampMovie->start();
    const bool portOpen = outcome == MediaController::LiveOutcome::Started;
    setStatus(portOpen ? kLiveStarted : kPortFailed.arg(mediaSide->servingPort()), BroadcastSession::kRed);
    setTextColour(parts->modeLabel, kBadgeYellow);
    parts->modeLabel->setText(kLiveMode);
    parts->modeBadge->show();
    return portOpen;
}

void MainWindow::leaveLive(bool closeDeviceAfter) {
    mediaSide->stopLive();
    parts->liveLampMovie->stop();
    parts->liveLampBlinking->hide();
    hideCounters();
    if (!closeDeviceAfter) {
        // The encoders left the running preview: the camera stays open, only the mode changes.
        guarded([this] {
            if (mediaSide->previewRunning()) {
                applyStoredSettings();
                showPreviewMode();
            } else {
                startPreview();
            }
        });
    } else if (previewActive())
        closeDevice();
}

// ---------------------------------------------------------------------------------------------
// Settings and levels

void MainWindow::applyStoredSettings() {
    setupModel->setTexts(settings.name(), settings.description());
    // All four convert before any is taken, so a bad line leaves the working setup whole.
    setupModel->set(settings.withStoredNumbers(setupModel->setup()));
    applyLevel(setupModel->setup().compressionLevel);
}

void MainWindow::applyLevel(int level) {
    if (mediaSide->applyLevel(level)) parts->levelActions[std::size_t(level)]->setChecked(true);
}

void MainWindow::chooseLevel(int level) {
    applyLevel(level);
    settings.saveLevel(level);
}

void MainWindow::saveSettings() { settings.save(setupModel->setup()); }
