// The main window's actions, its two menus and the tray icon.
#include "app/main_window_parts.h"
#include "session/broadcast_session.h"

#include <QAction>
#include <QActionGroup>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QToolButton>

namespace {
QAction *command(QObject *parent, const char *name, const QString &text) {
    auto *a = new QAction(text, parent);
    a->setObjectName(QLatin1String(name));
    a->setIconVisibleInMenu(false);
    return a;
}

// A tool button that triggers `action`; the picture and hint are the action's, shown by the
// button only (menus show neither).
void bind(QToolButton *button, QAction *action, const QString &icon, const QString &hint) {
    action->setIcon(QIcon(icon));
    action->setToolTip(hint);
    button->setDefaultAction(action);
}

void separator(QMenu *menu) { menu->addSeparator(); }
}  // namespace

void MainWindow::buildActions() {
    Parts &w = *parts;
    w.showWindowAction = command(this, "showWindowAction", tr("顯示主視窗"));
    w.hideWindowAction = command(this, "hideWindowAction", tr("關閉主視窗"));
    w.portalAction = command(this, "portalAction", tr("進入Zanvu官網"));
    w.productAction = command(this, "productAction", tr("進入Morlanex!官網"));
    w.productAction->setVisible(false);
    w.aboutAction = command(this, "aboutAction", tr("關於Morlanex"));
    w.exitAction = command(this, "exitAction", tr("結束程式"));
    w.wizardAction = command(this, "wizardAction", tr("快速設定精靈"));
    w.recordingAction = command(this, "recordingAction", tr("輸入音源控制"));
    w.closeDeviceAction = command(this, "closeDeviceAction", tr("關閉視訊裝置"));
    w.resetViewsAction = command(this, "resetViewsAction", tr("計數器歸零"));
    const char *levelNames[] = {"levelAutomaticAction", "levelHighAction", "levelMediumAction", "levelLowAction"};
    const QString levelTexts[] = {tr("自動- 依頻寬現狀浮動調整"), tr("高- 畫質較差 頻寬消耗最少"),
                                  tr("中- 畫質適中 頻寬消耗適中"), tr("低- 畫質最佳 頻寬消耗最大")};
    w.levelGroup = new QActionGroup(this);
    w.levelGroup->setExclusive(true);
    for (int level = 0; level < 4; ++level) {
        QAction *item = command(this, levelNames[level], levelTexts[level]);
        item->setCheckable(true);
        w.levelGroup->addAction(item);
        w.levelActions[std::size_t(level)] = item;
        connect(item, &QAction::triggered, this, [this, level] { guarded([this, level] { chooseLevel(level); }); });
    }
    w.levelActions[0]->setChecked(true);

    bind(w.wizardButton, w.wizardAction, QStringLiteral(":/skin/tool_wizard.png"), tr("快速設定精靈"));
    bind(w.recordingButton, w.recordingAction, QStringLiteral(":/skin/tool_mixer.png"), tr("輸入音源控制"));
    bind(w.closeDeviceButton, w.closeDeviceAction, QStringLiteral(":/skin/tool_close.png"), tr("關閉視訊裝置"));
    bind(w.aboutButton, w.aboutAction, QStringLiteral(":/skin/tool_about.png"), tr("關於Morlanex!"));

    connect(w.showWindowAction, &QAction::triggered, this, &MainWindow::showFromTray);
    connect(w.hideWindowAction, &QAction::triggered, this, &MainWindow::hideToTray);
    connect(w.exitAction, &QAction::triggered, this, &MainWindow::exitProgram);
    connect(w.aboutAction, &QAction::triggered, this, [this] { guarded([this] { aboutCommand(); }); });
    connect(w.wizardAction, &QAction::triggered, this, [this] { guarded([this] { wizardCommand(); }); });
    connect(w.recordingAction, &QAction::triggered, this, [this] { guarded([this] { recordingCommand(); }); });
    connect(w.closeDeviceAction, &QAction::triggered, this, [this] { guarded([this] { closeDeviceCommand(); }); });
    connect(w.resetViewsAction, &QAction::triggered, this, [this] { guarded([this] { resetViewsCommand(); }); });
    connect(w.portalAction, &QAction::triggered, this,
            [this] { openUrl(QString::fromStdString(appConfig.portalUrl)); });
    connect(w.productAction, &QAction::triggered, this,
            [this] { openUrl(QString::fromStdString(appConfig.productUrl)); });
}

void MainWindow::buildMenus() {
    Parts &w = *parts;
    w.trayMenu = new QMenu(this);
    w.trayMenu->setObjectName(QStringLiteral("trayMenu"));
    w.trayMenu->addAction(w.showWindowAction);
    separator(w.trayMenu);
    w.trayMenu->addAction(w.portalAction);
    w.trayMenu->addAction(w.productAction);
    separator(w.trayMenu);
    w.trayMenu->addAction(w.aboutAction);
    w.trayMenu->addAction(w.exitAction);

    w.functionMenu = new QMenu(this);
    w.functionMenu->setObjectName(QStringLiteral("functionMenu"));
    w.functionMenu->addAction(w.hideWindowAction);
    separator(w.functionMenu);
    w.functionMenu->addAction(w.wizardAction);
    w.functionMenu->addAction(w.recordingAction);
    w.advancedMenu = w.functionMenu->addMenu(tr("進階功能"));
    w.advancedMenu->setObjectName(QStringLiteral("advancedMenu"));
    w.advancedMenu->menuAction()->setObjectName(QStringLiteral("advancedAction"));
    w.levelMenu = w.advancedMenu->addMenu(tr("切換視訊壓縮比"));
    w.levelMenu->setObjectName(QStringLiteral("levelMenu"));
    w.levelMenu->menuAction()->setObjectName(QStringLiteral("levelMenuAction"));
    w.levelMenu->addAction(w.levelActions[0]);
    separator(w.levelMenu);
    for (std::size_t level = 1; level < 4; ++level) w.levelMenu->addAction(w.levelActions[level]);
    separator(w.advancedMenu);
    w.advancedMenu->addAction(w.resetViewsAction);
    separator(w.functionMenu);
    w.functionMenu->addAction(w.aboutAction);
    w.functionMenu->addAction(w.exitAction);

    connect(broadcast, &morlanex::BroadcastSession::stateChanged, this, &MainWindow::updateCommands);
    connect(broadcast, &morlanex::BroadcastSession::countersChanged, this, &MainWindow::updateCommands);
    updateCommands();
}

void MainWindow::buildTray() {
    Parts &w = *parts;
    w.trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/skin/app.png")), this);
    w.trayIcon->setObjectName(QStringLiteral("trayIcon"));
    w.trayIcon->setToolTip(QStringLiteral("Morlanex!"));
    w.trayIcon->setContextMenu(w.trayMenu);
    connect(w.trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick) showFromTray();
    });
    if (trayAvailable()) w.trayIcon->show();
}

bool MainWindow::trayAvailable() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

// The advanced functions only in a preview with no sequence running; no level change while
// live; the reset only while live with views counted.
void MainWindow::updateCommands() {
    parts->advancedMenu->menuAction()->setEnabled(previewActive() && !busy());
    parts->levelMenu->menuAction()->setEnabled(!liveActive());
    parts->resetViewsAction->setEnabled(liveActive() && broadcast->totalViews() != 0);
}
