#include "app/window_wizard_host.h"

#include "app/main_window.h"
#include "app/media_controller.h"
#include "app/settings_store.h"
#include "session/channel_setup.h"

using morlanex::ChannelSetup;
using morlanex::DeviceChoice;

WindowWizardHost::WindowWizardHost(MainWindow &window, SettingsStore &settings) : window(window), settings(settings) {}

bool WindowWizardHost::reported(const std::function<void()> &step) {
    try {
        step();
        return true;
    } catch (const std::exception &e) {
        window.reportError(QString::fromUtf8(e.what()));
        return false;
    }
}

bool WindowWizardHost::busy() const { return window.busy(); }

void WindowWizardHost::closeDeviceForWizard() {
    reported([this] { window.closeDeviceCommand(); });
}

ChannelSetup WindowWizardHost::storedSetup() {
    settings.reload();
    const ChannelSetup stored = settings.withStoredTexts(window.channelSetup().setup());
    // The stored keywords become the working ones at once; the rest waits for "完成".
    window.channelSetup().setKeywords(stored.keywords);
    return stored;
}

DeviceList WindowWizardHost::videoDevices() {
    DeviceList list;
    reported([&] {
        window.channelSetup().editDevices(
            [&](DeviceChoice &devices) { list = window.media().listVideoDevices(devices); });
    });
    return list;
}

AudioChoices WindowWizardHost::audioChoices(const DeviceList &shown, int chosenDevice) {
    AudioChoices result;
    reported([&] {
        window.channelSetup().editDevices([&](DeviceChoice &devices) {
            devices.microphone = chosenDevice;
            window.media().listAudio(shown, devices, result);
        });
    });
    return result;
}

bool WindowWizardHost::startWithStoredSettings() {
    return reported([this] { window.startPreview(); });
}

bool WindowWizardHost::startWithSetup(const ChannelSetup &setup) {
    window.channelSetup().set(setup);
    // A file that cannot be written is reported; the preview starts all the same.
    reported([&] { settings.save(setup); });
    return startWithStoredSettings();
}

QString WindowWizardHost::portalUrl() const { return QString::fromStdString(window.config().portalUrl); }
