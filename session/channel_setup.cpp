#include "session/channel_setup.h"

namespace morlanex {

ChannelSetupModel::ChannelSetupModel(QObject *parent) : QObject(parent) {}

void ChannelSetupModel::set(const ChannelSetup &setup) {
    if (setup == setup_) return;
    setup_ = setup;
    emit changed();
}

void ChannelSetupModel::setTexts(const QString &name, const QString &description) {
    ChannelSetup next = setup_;
    next.name = name;
    next.description = description;
    set(next);
}

void ChannelSetupModel::setKeywords(const QString &keywords) {
    ChannelSetup next = setup_;
    next.keywords = keywords;
    set(next);
}

void ChannelSetupModel::setDevices(const DeviceChoice &devices) {
    ChannelSetup next = setup_;
    next.devices = devices;
    set(next);
}

void ChannelSetupModel::editDevices(const std::function<void(DeviceChoice &)> &edit) {
    DeviceChoice devices = setup_.devices;
    try {
        edit(devices);
    } catch (...) {
        setDevices(devices);
        throw;
    }
    setDevices(devices);
}

}  // namespace morlanex
