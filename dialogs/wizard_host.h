// Internal header. What the setup wizard asks of the program around it, and what it hands back:
// the wizard owns no settings, devices or broadcast, and includes nothing of the main window.
#pragma once

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
    QStringList linePins; // decimal, in the order of `lines`; never shown
    int currentLine = -1;
    bool linesEnabled = false;
    bool linesCaptionEnabled = false;
    QString listedDevice; // the device whose lines are listed
    int audioDevice = 0;  // the choice the lists now stand for
    int audioPin = 0;
};

// The channel's texts, devices and level: the user's choices, or the stored settings.
struct ChannelChoices {
    QString channelName;
    QString channelDescription;
    QString keywords;
    int videoDevice = 0;
    int audioDevice = 0;
    int audioPin = 0;
    int compressionLevel = 0;
};

class WizardHost {
public:
    virtual ~WizardHost() = default;

    // A registration or stop sequence runs: the wizard's mode buttons do nothing.
    virtual bool busy() const = 0;
    // The wizard is opening: the capture device closes (a live broadcast stops first).
    virtual void closeDeviceForWizard() = 0;
    // The stored settings, read again from the file; the numbers are the working choices.
    virtual ChannelChoices storedChoices() = 0;
    // Failures are reported by the host.
    virtual DeviceList videoDevices() = 0;
    // The lines of `chosenDevice`, from the list the user sees as `shown`. A device that cannot
    // be opened is reported by the host; what could be listed is returned all the same.
    virtual AudioChoices audioChoices(const DeviceList &shown, int chosenDevice) = 0;
    // Starts the preview with the stored settings, or first stores `choices`. False when the
    // start failed (the error has been reported).
    virtual bool startWithStoredSettings() = 0;
    virtual bool startWithChoices(const ChannelChoices &choices) = 0;
    virtual QString portalUrl() const = 0;
};
