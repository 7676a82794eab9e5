// Internal header. What lives for the whole run: the settings store, the timer source, the
// mouse hook and the four windows, created in their fixed order: the main window (whose
// start-up runs in its constructor), the wizard, the about box, and the start hint, which
// shows at once.
#pragma once

#include <memory>

class AboutBox;
class MainWindow;
class MouseHook;
class SettingsStore;
class SetupWizard;
class StartHint;
namespace morlanex {
class TickSource;
}

struct MorlanexApp {
    // Sets the application title, installs the mouse hook and creates the windows. The
    // session's sequences run on `ticks` (real time when none is given).
    explicit MorlanexApp(morlanex::TickSource *ticks = nullptr);
    ~MorlanexApp();

    std::unique_ptr<SettingsStore> settings;
    std::unique_ptr<morlanex::TickSource> ownTicks;
    std::unique_ptr<MouseHook> hook;
    std::unique_ptr<MainWindow> mainWindow;
    SetupWizard *wizard = nullptr;  // owned by the main window
    AboutBox *aboutBox = nullptr;  // owned by the main window
    std::unique_ptr<StartHint> startHint;
};
