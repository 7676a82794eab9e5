// Internal header. What the setup wizard asks of the program around it, and what it hands back:
// the wizard owns no settings, devices or broadcast, and includes nothing of the main window.
#pragma once

#include "session/channel_setup.h"

#include <QString>
#include <QStringList>

// A device list as the wizard shows it; current is -1 when nothing is chosen.
struct DeviceList {
    QStringList names;
    int current = -1;
};

// The audio page: devices, and the recording lines of the listed device with their pins.
struct AudioChoices {
    DeviceList devices;
    QStringList lines;
    QStringList linePins;  // decimal, in the order of `lines`; never shown
    int currentLine = -1;
    bool linesEnabled = false;
    bool linesCaptionEnabled = false;
    morlanex::DeviceChoice choice;  // what the lists now stand for
};

class WizardHost {
public:
    virtual ~WizardHost() = default;

    // A registration or stop sequence runs: the wizard's mode buttons do nothing.
    virtual bool busy() const = 0;
    // The wizard is opening: the capture device closes (a live broadcast stops first).
    virtual void closeDeviceForWizard() = 0;
    // The setup to start from: the texts read again from the file, the numbers the working ones.
    virtual morlanex::ChannelSetup storedSetup() = 0;
    // Failures are reported by the host.
    virtual DeviceList videoDevices() = 0;
    // The lines of `chosenDevice`, from the list the user sees as `shown`. A device that cannot
    // be opened is reported by the host; what could be listed is returned all the same.
    virtual AudioChoices audioChoices(const DeviceList &shown, int chosenDevice) = 0;
    // Starts the preview with the stored settings, or first stores `setup`. False when the
    // start failed (the error has been reported).
    virtual bool startWithStoredSettings() = 0;
    virtual bool startWithSetup(const morlanex::ChannelSetup &setup) = 0;
    virtual QString portalUrl() const = 0;
};
