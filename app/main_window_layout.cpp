// The main window's skin and widgets: where everything stands and what it shows at rest.
#include "app/caption_editor.h"
#include "app/clickable_label.h"
#include "app/main_window_parts.h"
#include "app/media_controller.h"
#include "session/broadcast_session.h"
#include "app/window_background.h"

#include <QBitmap>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMovie>
#include <QScreen>
#include <QToolButton>

namespace {
constexpr QSize kWindowSize(357, 458);
const QColor kColourKey(0, 0, 3);
const QColor kSilver(192, 192, 192);

template <typename Label = QLabel>
Label *picture(QWidget *parent, const char *name, const QString &resource, QRect geometry) {
    auto *l = new Label(parent);
    l->setObjectName(QLatin1String(name));
    if (!resource.isEmpty()) l->setPixmap(QPixmap(resource));
    l->setGeometry(geometry);
    return l;
}

template <typename Label = QLabel>
Label *caption(QWidget *parent, const char *name, const QString &text, QRect geometry, const QColor &colour) {
    auto *l = new Label(parent);
    l->setText(text);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(geometry);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
    return l;
}

QToolButton *toolButton(QWidget *parent, const char *name, QRect geometry) {
    auto *b = new QToolButton(parent);
    b->setObjectName(QLatin1String(name));
    b->setIconSize(QSize(16, 16));
    b->setAutoRaise(true);
    b->setCursor(Qt::PointingHandCursor);
    b->setGeometry(geometry);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

CaptionEditor *editor(QWidget *parent, const char *name, QRect geometry) {
    auto *e = new CaptionEditor(parent);
    e->setObjectName(QLatin1String(name));
    e->setGeometry(geometry);
    return e;
}
}  // namespace

void MainWindow::buildLayout() {
    setWindowTitle(QStringLiteral("Morlanex!"));
    setWindowFlags(Qt::FramelessWindowHint | Qt::Window);
    setWindowIcon(QIcon(QStringLiteral(":/skin/app.png")));
    setFixedSize(kWindowSize);
    QPalette p = palette();
    p.setColor(QPalette::Window, kColourKey);
    setPalette(p);
    setAutoFillBackground(true);

    Parts &w = *parts;
    w.skinPicture = picture(this, "skinPicture", QStringLiteral(":/skin/skin.png"), rect());
    w.controlPanel = new QWidget(this);
    w.controlPanel->setObjectName(QStringLiteral("controlPanel"));
    w.controlPanel->setGeometry(rect());
    QWidget *panel = w.controlPanel;

    w.titleLabel = caption(panel, "titleLabel", QStringLiteral("Morlanex!"), QRect(26, 6, 120, 16), Qt::white);
    w.titleLabel->setFont(QFont(QStringLiteral("DejaVu Sans"), 8, QFont::Bold));
    w.menuIcon = picture<ClickableLabel>(panel, "menuIcon", QStringLiteral(":/skin/menu.png"), QRect(11, 9, 10, 11));
    w.menuIconHot =
        picture<ClickableLabel>(panel, "menuIconHot", QStringLiteral(":/skin/menu_hot.png"), QRect(11, 9, 10, 11));
    for (QLabel *icon : {static_cast<QLabel *>(w.menuIcon), static_cast<QLabel *>(w.menuIconHot)})
        icon->setToolTip(tr("功能選單"));
    w.menuIconHot->hide();
    w.closeButton = picture<ClickableLabel>(panel, "closeButton", QString(), QRect(304, 5, 43, 17));
    w.closeButton->setToolTip(tr("關閉視窗"));
    w.closeButtonHot = QPixmap(QStringLiteral(":/skin/close_hot.png"));

    w.wizardButton = toolButton(panel, "wizardButton", QRect(12, 33, 21, 21));
    w.recordingButton = toolButton(panel, "recordingButton", QRect(36, 33, 21, 21));
    w.closeDeviceButton = toolButton(panel, "closeDeviceButton", QRect(60, 33, 21, 21));
    w.aboutButton = toolButton(panel, "aboutButton", QRect(324, 33, 21, 21));

    w.channelPanel = new QWidget(panel);
    w.channelPanel->setObjectName(QStringLiteral("channelPanel"));
    w.channelPanel->setGeometry(12, 60, 333, 48);
    QWidget *channel = w.channelPanel;
    w.channelNameCaption = caption(channel, "channelNameCaption", tr("頻道名稱"), QRect(6, 5, 56, 16), kSilver);
    w.channelDescriptionCaption =
        caption(channel, "channelDescriptionCaption", tr("頻道簡介"), QRect(6, 27, 56, 16), kSilver);
    w.channelNameLabel =
        caption<ClickableLabel>(channel, "channelNameLabel", QString(), QRect(64, 5, 246, 16), Qt::white);
    w.channelDescriptionLabel =
        caption<ClickableLabel>(channel, "channelDescriptionLabel", QString(), QRect(64, 27, 246, 16), Qt::white);
    w.channelNameEdit = editor(channel, "channelNameEdit", QRect(63, 4, 248, 18));
    w.channelDescriptionEdit = editor(channel, "channelDescriptionEdit", QRect(63, 26, 248, 18));
    const QString helpHint = tr("[說明] 按滑鼠兩下可修正頻道文字內容.");
    w.nameHelpIcon =
        picture<ClickableLabel>(channel, "nameHelpIcon", QStringLiteral(":/skin/help.png"), QRect(313, 5, 16, 16));
    w.descriptionHelpIcon = picture<ClickableLabel>(channel, "descriptionHelpIcon", QStringLiteral(":/skin/help.png"),
                                                    QRect(313, 27, 16, 16));
    for (QLabel *icon : {w.nameHelpIcon, w.descriptionHelpIcon}) {
        icon->setToolTip(helpHint);
        icon->hide();
    }

    w.videoFrame = new QFrame(panel);
    w.videoFrame->setObjectName(QStringLiteral("videoFrame"));
    w.videoFrame->setGeometry(12, 112, 333, 254);
    w.videoPlaceholder = picture<ClickableLabel>(w.videoFrame, "videoPlaceholder", tr(":/skin/placeholder.png"),
                                                 QRect(6, 7, 320, 240));  // has words: translated
    w.modeBadge = new QFrame(w.videoFrame);
    w.modeBadge->setObjectName(QStringLiteral("modeBadge"));
    w.modeBadge->setGeometry(10, 11, 62, 18);
    w.modeBadge->setStyleSheet(QStringLiteral("#modeBadge { background: #008000; border: 1px solid #6d8fb5; }"));
    w.modeLabel =
        caption(w.modeBadge, "modeLabel", tr("預覽模式"), QRect(0, 1, 62, 16), morlanex::BroadcastSession::kGreen);
    w.modeLabel->setAlignment(Qt::AlignCenter);
    w.modeBadge->hide();
    w.videoArea = mediaSide->createVideoArea(w.videoFrame, QRect(6, 7, 320, 240), w.modeBadge);
    w.videoArea->setObjectName(QStringLiteral("videoArea"));

    w.statusFrame = new QFrame(panel);
    w.statusFrame->setObjectName(QStringLiteral("statusFrame"));
    w.statusFrame->setGeometry(12, 372, 333, 74);
    QWidget *status = w.statusFrame;
    w.liveLamp = picture(status, "liveLamp", QStringLiteral(":/skin/lamp.png"), QRect(10, 16, 9, 9));
    w.liveLampBlinking = picture(status, "liveLampBlinking", QString(), QRect(10, 16, 9, 9));
    w.liveLampMovie = new QMovie(QStringLiteral(":/skin/lamp_live.gif"), QByteArray(), w.liveLampBlinking);
    w.liveLampBlinking->setMovie(w.liveLampMovie);
    w.liveLampBlinking->hide();
    w.statusCaption = caption(status, "statusCaption", tr("狀態"), QRect(24, 12, 30, 16), kSilver);
    w.statusLabel =
        caption(status, "statusLabel", QStringLiteral(" "), QRect(56, 12, 220, 16), morlanex::BroadcastSession::kRed);
    w.totalViewsCaption =
        caption<ClickableLabel>(status, "totalViewsCaption", tr("累計收視人次"), QRect(24, 40, 84, 16), kSilver);
    w.totalViewsLabel = caption(status, "totalViewsLabel", QStringLiteral("0"), QRect(112, 40, 80, 16), Qt::white);
    w.currentViewersCaption =
        caption<ClickableLabel>(status, "currentViewersCaption", tr("目前收視人數"), QRect(24, 40, 84, 16), kSilver);
    w.currentViewersLabel =
        caption(status, "currentViewersLabel", QStringLiteral("0"), QRect(112, 40, 80, 16), Qt::white);
    for (QLabel *l : {w.totalViewsCaption, w.currentViewersCaption}) l->setCursor(Qt::PointingHandCursor);
    w.reachLabel = caption(status, "reachLabel", QString(), QRect(24, 57, 300, 16), kSilver);
    hideCounters();
    const QRect action(287, 20, 36, 36);
    w.actionButton = picture<ClickableLabel>(status, "actionButton", QStringLiteral(":/skin/action.png"), action);
    w.setupOverlay = picture<ClickableLabel>(status, "setupOverlay", QStringLiteral(":/skin/action_setup.png"), action);
    w.setupOverlay->setToolTip(tr("初始設定"));
    w.startOverlay = picture<ClickableLabel>(status, "startOverlay", QStringLiteral(":/skin/action_start.png"), action);
    w.startOverlay->setToolTip(tr("啟動視訊直播"));
    w.stopOverlay = picture<ClickableLabel>(status, "stopOverlay", QStringLiteral(":/skin/action_stop.png"), action);
    w.stopOverlay->setToolTip(tr("關閉視訊直播"));
    for (QLabel *overlay : {w.setupOverlay, w.startOverlay, w.stopOverlay}) {
        overlay->setCursor(Qt::PointingHandCursor);
        overlay->hide();
    }

    // Every component reports the mouse moving over it; none hands a press on to its parent,
    // so a press on the status line never turns into a drag of the frame around it.
    const QList<QWidget *> children = findChildren<QWidget *>();
    for (QWidget *child : children) {
        child->setMouseTracking(true);
        child->setAttribute(Qt::WA_NoMousePropagation);
    }
    setMouseTracking(true);
}

void MainWindow::cutShapeFromSkin() {
    // The skin's colour key cuts the window's shape.
    const QPixmap skin(QStringLiteral(":/skin/skin.png"));
    if (!skin.isNull()) setMask(skin.createMaskFromColor(kColourKey, Qt::MaskInColor));
    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry()
                                                          : QRect(0, 0, 1024, 768);
    move(screen.center() - rect().center());
}
