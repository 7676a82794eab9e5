// Internal header. `MainWindow`: the borderless skinned window with its hover-driven action
// button, the two menus, the tray icon, caption editing, and the glue between the broadcast
// session, the media side, the working channel setup and the dialogs.
//
// Threads: UI thread only. The pieces: main_window.cpp (start-up, shutdown, commands, the
// session's signals), main_window_layout.cpp (skin and widgets), main_window_menus.cpp
// (actions, menus, tray), main_window_captions.cpp (in-place caption editing). Every media
// call goes through MediaController; the wizard reaches the window through WindowWizardHost.
#pragma once

#include "app/app_config.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class AboutBox;
class MediaController;
class SettingsStore;
class SetupWizard;
class StartHint;
class WindowWizardHost;
class WizardHost;
namespace morlanex {
class BroadcastSession;
class ReachStatus;
class ChannelSetupModel;
class TickSource;
enum class BroadcastState;
}  // namespace morlanex

class MainWindow : public QWidget {
    Q_OBJECT
public:
    // Start-up runs here: configuration, endpoints, the version query. A failing step skips
    // the rest; the window still opens and the error is reported once the event loop runs.
    MainWindow(SettingsStore &settings, morlanex::TickSource &ticks, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The dialogs, created after the window.
    void attachDialogs(SetupWizard *wizard, AboutBox *about, StartHint *hint);
    WizardHost &wizardHost();

    morlanex::BroadcastSession &session() { return *broadcast; }
    // The working setup: the captions shown (and registered with), keywords, level, devices.
    morlanex::ChannelSetupModel &channelSetup() { return *setupModel; }
    MediaController &media() { return *mediaSide; }
    const morlanex::AppConfig &config() const { return appConfig; }
    bool busy() const;
    bool previewActive() const;
    bool liveActive() const;

    // The preview from the stored settings; throws (a stored number that is no number, an
    // audio device that cannot be opened). Without a camera a message box says so.
    void startPreview();
    void showPreviewMode();
    // The stored captions (trimmed), devices and compression level become the working setup;
    // throws ConversionError for a stored number that is no number (the captions are set by then).
    void applyStoredSettings();
    // The level menu's choice, saved to the settings file; the working setup keeps its level.
    void chooseLevel(int level);
    // Closes the device, asking first when a preview runs and the wizard is not showing; a live
    // broadcast stops first. Nothing while busy.
    void closeDeviceCommand();

    // Shows an error in the application's standard error report.
    void reportError(const QString &text);
    // Opens a web address with the desktop's default handler; failures are not reported.
    static void openUrl(const QString &url);

    void hideToTray();
    void showFromTray();
    // The exit item: the shutdown, then the window closes for good.
    void exitProgram();

signals:
    // The shutdown sequence has run and the window has closed for good.
    void closed();

protected:
    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    void leaveEvent(QEvent *e) override;
    // Whether the desktop has a notification area; without one, hiding minimises instead.
    virtual bool trayAvailable() const;

private:
    struct Parts;

    // --- pieces -------------------------------------------------------------------------------
    void buildLayout();
    void cutShapeFromSkin();
    void buildActions();
    void buildMenus();
    void buildTray();
    void connectPointer();
    void connectCaptions();
    void connectSession();
    void startUp();

    // --- what the user does -------------------------------------------------------------------
    void onControlPressed();
    void onBackgroundHovered();
    void showActionOverlay();
    void refreshActionOverlay();
    void resetHover();
    void openWizard();
    void wizardCommand();
    void aboutCommand();
    void recordingCommand();
    void startCommand();
    void stopCommand();
    void resetViewsCommand();
    void updateCommands();
    void showCounter(bool current);
    void hideCounters();
    bool confirm(const QString &text);
    void closeStartHint();
    // Runs a handler; an escaped error goes to the standard error report.
    void guarded(const std::function<void()> &handler);

    // --- the broadcast and the media side -----------------------------------------------------
    bool goLive();
    void leaveLive(bool closeDevice);
    void closeDevice();
    void applyLevel(int level);
    void setStatus(const QString &text, const QColor &colour);
    void showStatus(const QString &text, const QColor &colour);
    void showCounters(int totalViews, int currentViewers);
    void onStateChanged(morlanex::BroadcastState state);
    void showReach();
    void onNewVersion(const QString &version);

    // --- captions -----------------------------------------------------------------------------
    void showChannelTexts();
    void openEditor(bool name);
    void onCaptionPressed(bool name, Qt::MouseButton button, const QPoint &globalPos);
    void onNameHovered();
    void onDescriptionHovered();
    void finishOpenEdit();
    void finishEdit();
    void saveSettings();

    SettingsStore &settings;
    morlanex::AppConfig appConfig;
    std::unique_ptr<Parts> parts;
    morlanex::BroadcastSession *broadcast = nullptr;  // child
    morlanex::ReachStatus *reach = nullptr;  // child
    std::optional<morlanex::PushReport> pushReport;  // while live with push on
    morlanex::ChannelSetupModel *setupModel = nullptr;  // child
    MediaController *mediaSide = nullptr;  // child
    std::unique_ptr<WindowWizardHost> wizardSide;
    SetupWizard *wizard = nullptr;
    AboutBox *aboutBox = nullptr;
    StartHint *startHint = nullptr;
    bool finishingEdit = false;  // a finish in progress; hiding its editor must not start another
    bool actionHovered = false;  // the pointer rests on the action button
    bool closing = false;
    // The camera was lost: the setup button reopens it with the same choice.
    bool resumeAfterLoss = false;
};
