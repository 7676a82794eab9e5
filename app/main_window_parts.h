// Internal header of the main window's pieces: its widgets, actions and menus, private to
// main_window*.cpp. Object names match the member names, for tests and style sheets.
#pragma once

#include "app/main_window.h"

#include <QPixmap>

#include <array>

class CaptionEditor;
class ClickableLabel;
class QAction;
class QActionGroup;
class QFrame;
class QLabel;
class QMenu;
class QMovie;
class QSystemTrayIcon;
class QToolButton;
class WindowBackground;

struct MainWindow::Parts {
    // Skin and title row.
    QLabel *skinPicture = nullptr;
    QWidget *controlPanel = nullptr;  // container of every control
    QLabel *titleLabel = nullptr;
    ClickableLabel *menuIcon = nullptr;
    ClickableLabel *menuIconHot = nullptr;
    ClickableLabel *closeButton = nullptr;  // empty at rest
    QPixmap closeButtonHot;
    // Tool row.
    QToolButton *wizardButton = nullptr;
    QToolButton *recordingButton = nullptr;
    QToolButton *closeDeviceButton = nullptr;
    QToolButton *aboutButton = nullptr;
    // Channel texts.
    QWidget *channelPanel = nullptr;
    QLabel *channelNameCaption = nullptr;
    QLabel *channelDescriptionCaption = nullptr;
    ClickableLabel *channelNameLabel = nullptr;
    ClickableLabel *channelDescriptionLabel = nullptr;
    CaptionEditor *channelNameEdit = nullptr;
    CaptionEditor *channelDescriptionEdit = nullptr;
    ClickableLabel *nameHelpIcon = nullptr;
    ClickableLabel *descriptionHelpIcon = nullptr;
    // Video.
    QFrame *videoFrame = nullptr;
    ClickableLabel *videoPlaceholder = nullptr;
    QWidget *videoArea = nullptr;
    QFrame *modeBadge = nullptr;
    QLabel *modeLabel = nullptr;
    // Status row and the action button.
    QFrame *statusFrame = nullptr;
    ClickableLabel *actionButton = nullptr;  // at rest
    ClickableLabel *setupOverlay = nullptr;
    ClickableLabel *startOverlay = nullptr;
    ClickableLabel *stopOverlay = nullptr;
    QLabel *liveLamp = nullptr;
    QLabel *liveLampBlinking = nullptr;
    QMovie *liveLampMovie = nullptr;
    QLabel *statusCaption = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *reachLabel = nullptr;  // while live: whether viewers outside the router get in
    ClickableLabel *totalViewsCaption = nullptr;
    QLabel *totalViewsLabel = nullptr;
    ClickableLabel *currentViewersCaption = nullptr;
    QLabel *currentViewersLabel = nullptr;
    WindowBackground *background = nullptr;

    // One action per command, shared by the menus and the tool buttons.
    QAction *showWindowAction = nullptr;
    QAction *hideWindowAction = nullptr;
    QAction *portalAction = nullptr;
    QAction *productAction = nullptr;
    QAction *aboutAction = nullptr;
    QAction *exitAction = nullptr;
    QAction *wizardAction = nullptr;
    QAction *recordingAction = nullptr;
    QAction *closeDeviceAction = nullptr;
    QAction *resetViewsAction = nullptr;
    std::array<QAction *, 4> levelActions{};  // automatic, high, medium, low compression
    QActionGroup *levelGroup = nullptr;
    QMenu *trayMenu = nullptr;
    QMenu *functionMenu = nullptr;
    QMenu *advancedMenu = nullptr;
    QMenu *levelMenu = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
};
