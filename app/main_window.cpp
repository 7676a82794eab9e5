// The main window: start-up, shutdown, the pointer, and the user's commands.
#include "app/main_window.h"

#include "app/clickable_label.h"
#include "app/main_window_parts.h"
#include "app/media_controller.h"
#include "app/settings_store.h"
#include "app/window_background.h"
#include "app/window_wizard_host.h"
#include "audio/recording_control.h"
#include "dialogs/about_box.h"
#include "dialogs/setup_wizard.h"
#include "dialogs/start_hint.h"
#include "media/push/broadcast_pusher.h"
#include "session/broadcast_session.h"
#include "session/reach_status.h"
#include "session/channel_setup.h"
#include "common/qt_translated_text.h"

#include <QAction>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

using morlanex::BroadcastSession;

namespace {
const TranslatedText kConfirmReplace{
    "MainWindow", QT_TRANSLATE_NOOP("MainWindow", "視訊正在運作中,這樣做將會關閉先前的設定,確定要繼續嗎?")};
const TranslatedText kConfirmStop{"MainWindow", QT_TRANSLATE_NOOP("MainWindow", "確定要中止現場直播模式嗎?")};
const TranslatedText kConfirmReset{"MainWindow", QT_TRANSLATE_NOOP("MainWindow", "累計收視人次將歸零,確定要繼續嗎?")};
const QString kOwnVersion = QStringLiteral("1.1.0.2");
}  // namespace

MainWindow::MainWindow(SettingsStore &settings, morlanex::TickSource &ticks, QWidget *parent)
    : QWidget(parent), settings(settings), parts(std::make_unique<Parts>()) {
    setObjectName(QStringLiteral("mainWindow"));
    QString configFailure;
    try {
        appConfig = morlanex::loadAppConfig(morlanex::programFolder() / "Morlanex.conf");
    } catch (const std::exception &e) {
        configFailure = QString::fromUtf8(e.what());
    }
    // The directory's ports are fixed: 20 for registrations, 22 for everything else.
    broadcast =
        new BroadcastSession({appConfig.directoryAddress, 20, 22, kOwnVersion, {}, appConfig.serving.port}, ticks, this);
    setupModel = new morlanex::ChannelSetupModel(this);
    mediaSide = new MediaController(this);
    mediaSide->setWebrtcPort(appConfig.serving.webrtcPort);
    reach = new morlanex::ReachStatus(appConfig.directoryAddress, appConfig.directoryHttpPort, ticks, this);
    wizardSide = std::make_unique<WindowWizardHost>(*this, settings);

    buildLayout();
    cutShapeFromSkin();
    buildActions();
    buildMenus();
    buildTray();
    connectPointer();
    connectCaptions();
    connectSession();

    if (configFailure.isEmpty())
        startUp();
    else
        QTimer::singleShot(0, this, [this, configFailure] { reportError(configFailure); });
}

MainWindow::~MainWindow() = default;

WizardHost &MainWindow::wizardHost() { return *wizardSide; }

void MainWindow::attachDialogs(SetupWizard *setupWizard, AboutBox *about, StartHint *hint) {
    wizard = setupWizard;
    aboutBox = about;
    startHint = hint;
    if (startHint) startHint->setAnchor(parts->actionButton);
    if (aboutBox)
        aboutBox->setInfoSource([this] {
            AboutInfo info{broadcast->ownVersion(), QString(), QString()};
            if (liveActive()) {
                info.liveAddress =
                    broadcast->publicAddress() + QLatin1Char(':') + QString::number(broadcast->servingPort());
                const morlanex::ReachText &reachText = reach->text();
                info.outside = reachText.outside.isEmpty() ? reachText.line : tr("外部 ") + reachText.outside;
            }
            return info;
        });
}

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown

void MainWindow::startUp() {
    try {
        settings.createIfMissing();
        broadcast->open();  // identity, address, endpoints, version query
        mediaSide->setServingPort(broadcast->servingPort());
        mediaSide->setPortMapping(appConfig.portMapping, appConfig.portMappingLease,
                                  {uint16_t(broadcast->servingPort()), uint16_t(broadcast->reportPort())});
        morlanex::PushSettings push;
        push.mode = appConfig.push;
        push.directoryAddress = appConfig.directoryAddress;
        push.directoryHttpPort = appConfig.directoryHttpPort;
        push.nodeId = broadcast->nodeId().toStdString();
        mediaSide->setPush(std::move(push));
    } catch (const std::exception &e) {
        const QString text = QString::fromUtf8(e.what());
        QTimer::singleShot(0, this, [this, text] { reportError(text); });
    }
}

void MainWindow::showEvent(QShowEvent *e) {
    QWidget::showEvent(e);
    resetHover();
}

void MainWindow::closeEvent(QCloseEvent *e) {
    if (!closing) {
        closing = true;
        if (parts->trayIcon) {
            parts->trayIcon->hide();
            parts->trayIcon->deleteLater();
            parts->trayIcon = nullptr;
        }
        broadcast->sendCloseNotice();
    }
    e->accept();
    emit closed();
}

void MainWindow::exitProgram() { close(); }

void MainWindow::hideToTray() {
    showMinimized();
    // Without a notification area a hidden window could never come back.
    if (trayAvailable()) hide();
}

void MainWindow::showFromTray() {
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

// ---------------------------------------------------------------------------------------------
// The pointer

void MainWindow::connectPointer() {
    Parts &w = *parts;
    w.background = new WindowBackground(this);
    const QList<QWidget *> handles = {w.skinPicture, w.controlPanel, w.titleLabel,         w.statusFrame,
                                      w.videoFrame,  w.channelPanel, w.channelNameCaption, w.channelDescriptionCaption};
    for (QWidget *handle : handles) w.background->addDragHandle(handle);
    const QList<QWidget *> hoverAreas = {w.controlPanel, w.statusFrame, w.videoPlaceholder, w.videoArea};
    for (QWidget *area : hoverAreas) w.background->addHoverArea(area);
    connect(w.background, &WindowBackground::pressed, this, [this] {
        guarded([this] {
            finishOpenEdit();
            closeStartHint();
        });
    });
    connect(w.background, &WindowBackground::hovered, this, &MainWindow::onBackgroundHovered);

    for (QToolButton *b : {w.wizardButton, w.recordingButton, w.closeDeviceButton, w.aboutButton})
        connect(b, &QToolButton::pressed, this, [this] { guarded([this] { onControlPressed(); }); });
    for (ClickableLabel *l : {w.actionButton, w.setupOverlay, w.startOverlay, w.stopOverlay}) {
        connect(l, &ClickableLabel::pressed, this, [this] { guarded([this] { onControlPressed(); }); });
        connect(l, &ClickableLabel::hovered, this, &MainWindow::showActionOverlay);
    }
    connect(w.setupOverlay, &ClickableLabel::clicked, this,
            [this] { guarded([this] { resumeAfterLoss ? startPreview() : openWizard(); }); });
    connect(w.startOverlay, &ClickableLabel::clicked, this, [this] { guarded([this] { startCommand(); }); });
    connect(w.stopOverlay, &ClickableLabel::clicked, this, [this] { guarded([this] { stopCommand(); }); });

    connect(w.closeButton, &ClickableLabel::hovered, this, [this] {
        if (!busy()) parts->closeButton->setPixmap(parts->closeButtonHot);
    });
    connect(w.closeButton, &ClickableLabel::released, this, [this] { parts->closeButton->setPixmap(QPixmap()); });
    connect(w.closeButton, &ClickableLabel::clicked, this, &MainWindow::hideToTray);
    connect(w.menuIcon, &ClickableLabel::hovered, w.menuIconHot, &QWidget::show);
    connect(w.menuIconHot, &ClickableLabel::pressed, this, [this](Qt::MouseButton button, const QPoint &at) {
        if (button != Qt::LeftButton) return;
        parts->functionMenu->exec(at);
        parts->menuIconHot->hide();
    });
    connect(w.videoPlaceholder, &ClickableLabel::pressed, this, [this](Qt::MouseButton button, const QPoint &at) {
        if (button == Qt::RightButton) parts->functionMenu->popup(at);
    });
    connect(w.totalViewsCaption, &ClickableLabel::clicked, this, [this] { showCounter(true); });
    connect(w.currentViewersCaption, &ClickableLabel::clicked, this, [this] { showCounter(false); });
}

void MainWindow::onControlPressed() {
    finishOpenEdit();
    closeStartHint();
    setStatus(QString(), broadcast->statusColour());
}

void MainWindow::onBackgroundHovered() {
    actionHovered = false;
    if (!busy()) resetHover();  // the same reset as showing the window
}

void MainWindow::resetHover() {
    parts->closeButton->setPixmap(QPixmap());
    for (ClickableLabel *l : {parts->setupOverlay, parts->startOverlay, parts->stopOverlay, parts->menuIconHot})
        l->hide();
}

void MainWindow::showActionOverlay() {
    actionHovered = true;
    ClickableLabel *shown = liveActive() ? parts->stopOverlay
        : previewActive()                ? parts->startOverlay
                                         : parts->setupOverlay;
    for (ClickableLabel *overlay : {parts->setupOverlay, parts->startOverlay, parts->stopOverlay})
        if (overlay != shown) overlay->hide();
    shown->show();
}

void MainWindow::refreshActionOverlay() {
    if (actionHovered) showActionOverlay();
}

void MainWindow::leaveEvent(QEvent *e) {
    QWidget::leaveEvent(e);
    // A confirmation opening over the button takes the pointer from the window, not off it.
    if (!rect().contains(mapFromGlobal(QCursor::pos()))) actionHovered = false;
}

void MainWindow::closeStartHint() {
    if (startHint && startHint->isVisible()) startHint->closeHint();
}

// ---------------------------------------------------------------------------------------------
// Commands

bool MainWindow::busy() const { return broadcast->busy(); }

bool MainWindow::previewActive() const { return broadcast->previewRunning(); }

bool MainWindow::liveActive() const { return broadcast->live(); }

bool MainWindow::confirm(const QString &text) {
    return QMessageBox::warning(this, QStringLiteral("Morlanex!"), text, QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No) == QMessageBox::Yes;
}

void MainWindow::openWizard() {
    if (wizard) wizard->exec();
}

void MainWindow::wizardCommand() {
    if (busy()) return;
    if (previewActive() && !confirm(kConfirmReplace)) return;
    openWizard();
}

void MainWindow::closeDeviceCommand() {
    if (busy()) return;
    const bool wizardShowing = wizard && wizard->isVisible();
    if (previewActive() && !wizardShowing && !confirm(kConfirmReplace)) return;
    if (liveActive())
        broadcast->stopBroadcast(true);
    else if (previewActive())
        closeDevice();
}

void MainWindow::aboutCommand() {
    if (!busy() && aboutBox) aboutBox->showCentred();
}

void MainWindow::recordingCommand() {
    if (!busy()) openRecordingControl();
}

void MainWindow::startCommand() {
    // Start acts only in preview: a live channel registered again would lose its viewers.
    const morlanex::ChannelSetup &setup = setupModel->setup();
    broadcast->setChannelTexts(setup.name, setup.description);
    broadcast->setKeywords(setup.keywords);
    broadcast->startBroadcast();
}

void MainWindow::stopCommand() {
    if (liveActive() && !busy() && confirm(kConfirmStop)) broadcast->stopBroadcast();
}

void MainWindow::resetViewsCommand() {
    if (confirm(kConfirmReset)) broadcast->resetViews();
}

void MainWindow::showCounter(bool current) {
    parts->totalViewsCaption->setVisible(!current);
    parts->totalViewsLabel->setVisible(!current);
    parts->currentViewersCaption->setVisible(current);
    parts->currentViewersLabel->setVisible(current);
}

void MainWindow::hideCounters() {
    for (QLabel *l : {static_cast<QLabel *>(parts->totalViewsCaption), parts->totalViewsLabel,
                      static_cast<QLabel *>(parts->currentViewersCaption), parts->currentViewersLabel})
        l->hide();
}

void MainWindow::reportError(const QString &text) { QMessageBox::critical(this, QStringLiteral("Morlanex!"), text); }

void MainWindow::openUrl(const QString &url) { QDesktopServices::openUrl(QUrl(url)); }

void MainWindow::guarded(const std::function<void()> &handler) {
    try {
        handler();
    } catch (const std::exception &e) {
        reportError(QString::fromUtf8(e.what()));
    }
}
