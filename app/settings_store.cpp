#include "app/settings_store.h"

#include "common/qt_codepage.h"

#include <QCoreApplication>
#include <cerrno>
#include <cstring>
#include <stdexcept>

using morlanex::ChannelSetup;
using morlanex::SettingsRecord;

SettingsStore::SettingsStore(std::filesystem::path file) : file_(std::move(file)) {}

void SettingsStore::createIfMissing() const { morlanex::createSettingsIfMissing(file_); }

void SettingsStore::reload() { record_ = morlanex::readSettings(file_); }

void SettingsStore::save(const ChannelSetup &setup) {
    record_[SettingsRecord::ChannelName] = toCp950(setup.name);
    record_[SettingsRecord::ChannelDescription] = toCp950(setup.description);
    record_[SettingsRecord::VideoDeviceIndex] = std::to_string(setup.devices.camera);
    record_[SettingsRecord::AudioDeviceIndex] = std::to_string(setup.devices.microphone);
    record_[SettingsRecord::AudioInputPin] = std::to_string(setup.devices.recordingLine);
    record_[SettingsRecord::CompressionLevel] = std::to_string(setup.compressionLevel);
    record_[SettingsRecord::Keywords] = toCp950(setup.keywords);
    write();
}

void SettingsStore::saveLevel(int level) {
    record_[SettingsRecord::CompressionLevel] = std::to_string(level);
    write();
}

void SettingsStore::write() const {
    if (morlanex::writeSettings(file_, record_)) return;
    const QString why = QString::fromLocal8Bit(std::strerror(errno));
    throw std::runtime_error(QCoreApplication::translate("SettingsStore", "無法儲存設定檔 %1\n%2")
                                 .arg(QString::fromStdString(file_.string()), why)
                                 .toStdString());
}

QString SettingsStore::name() const { return fromCp950(morlanex::trimmed(record_[SettingsRecord::ChannelName])); }

QString SettingsStore::description() const {
    return fromCp950(morlanex::trimmed(record_[SettingsRecord::ChannelDescription]));
}

ChannelSetup SettingsStore::withStoredTexts(ChannelSetup setup) const {
    setup.name = fromCp950(record_[SettingsRecord::ChannelName]);
    setup.description = fromCp950(record_[SettingsRecord::ChannelDescription]);
    setup.keywords = fromCp950(record_[SettingsRecord::Keywords]);
    return setup;
}

ChannelSetup SettingsStore::withStoredNumbers(ChannelSetup setup) const {
    // Converted into a copy, so a bad line leaves the caller's setup whole.
    setup.devices.camera = morlanex::toInteger(record_[SettingsRecord::VideoDeviceIndex]);
    setup.devices.microphone = morlanex::toInteger(record_[SettingsRecord::AudioDeviceIndex]);
    setup.devices.recordingLine = morlanex::toInteger(record_[SettingsRecord::AudioInputPin]);
    setup.compressionLevel = morlanex::toInteger(record_[SettingsRecord::CompressionLevel]);
    return setup;
}
