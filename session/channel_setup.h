// Public header. The channel's setup: its texts, compression level and capture devices
// (ChannelSetup), and the one owner of the setup the program works with (ChannelSetupModel).
//
// The settings file loads and stores a ChannelSetup; the wizard edits a copy and hands it back;
// the main window shows the model's texts; the media side takes the device part as it is.
// No widgets.
//
// Threads: UI thread only.
#pragma once

#include "media/device_choice.h"

#include <QObject>
#include <QString>

#include <functional>

namespace morlanex {

struct ChannelSetup {
    QString name;
    QString description;
    QString keywords;
    int compressionLevel = 0;  // 0 automatic, 1 high, 2 medium, 3 low compression
    // The first of each device until the settings or the wizard say otherwise.
    DeviceChoice devices{.camera = 0, .microphone = 0, .recordingLine = 0, .listedMicrophone = {}};

    bool operator==(const ChannelSetup &) const = default;
};

class ChannelSetupModel : public QObject {
    Q_OBJECT
public:
    explicit ChannelSetupModel(QObject *parent = nullptr);

    const ChannelSetup &setup() const { return setup_; }

    // Each emits `changed` once when the setup differs afterwards, and not at all otherwise.
    void set(const ChannelSetup &setup);
    void setTexts(const QString &name, const QString &description);
    void setKeywords(const QString &keywords);
    void setDevices(const DeviceChoice &devices);
    // Runs `edit` (a device listing) on the devices and keeps what it leaves, also when it throws.
    void editDevices(const std::function<void(DeviceChoice &)> &edit);

signals:
    void changed();

private:
    ChannelSetup setup_;
};

}  // namespace morlanex
