// Internal header. What the setup wizard asks of the program, answered from the working channel
// setup, the settings store, the media side's device lists and the main window's commands.
//
// Threads: UI thread only.
#pragma once

#include "dialogs/wizard_host.h"

#include <functional>

class MainWindow;
class SettingsStore;

class WindowWizardHost : public WizardHost {
public:
    WindowWizardHost(MainWindow &window, SettingsStore &settings);

    bool busy() const override;
    void closeDeviceForWizard() override;
    morlanex::ChannelSetup storedSetup() override;
    DeviceList videoDevices() override;
    AudioChoices audioChoices(const DeviceList &shown, int chosenDevice) override;
    bool startWithStoredSettings() override;
    bool startWithSetup(const morlanex::ChannelSetup &setup) override;
    QString portalUrl() const override;

private:
    // Runs `step`; an escaped error goes to the window's error report. False when one did.
    bool reported(const std::function<void()> &step);

    MainWindow &window;
    SettingsStore &settings;
};
