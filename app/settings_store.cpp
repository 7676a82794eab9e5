#include "app/settings_store.h"

#include "common/qt_codepage.h"

using morlanex::SettingsRecord;

SettingsStore::SettingsStore(std::filesystem::path file) : file_(std::move(file)) {}

void SettingsStore::createIfMissing() const
{
    morlanex::createSettingsIfMissing(file_);
}

void SettingsStore::reload()
{
    record_ = morlanex::readSettings(file_);
}

void SettingsStore::save(const ChannelChoices &values)
{
    record_[SettingsRecord::ChannelName] = toCp950(values.channelName);
    record_[SettingsRecord::ChannelDescription] = toCp950(values.channelDescription);
    record_[SettingsRecord::VideoDeviceIndex] = std::to_string(values.videoDevice);
    record_[SettingsRecord::AudioDeviceIndex] = std::to_string(values.audioDevice);
    record_[SettingsRecord::AudioInputPin] = std::to_string(values.audioPin);
    record_[SettingsRecord::CompressionLevel] = std::to_string(values.compressionLevel);
    record_[SettingsRecord::Keywords] = toCp950(values.keywords);
    morlanex::writeSettings(file_, record_);
}

void SettingsStore::saveLevel(int level)
{
    record_[SettingsRecord::CompressionLevel] = std::to_string(level);
    morlanex::writeSettings(file_, record_);
}

QString SettingsStore::name() const
{
    return fromCp950(morlanex::trimmed(record_[SettingsRecord::ChannelName]));
}

QString SettingsStore::description() const
{
    return fromCp950(morlanex::trimmed(record_[SettingsRecord::ChannelDescription]));
}

QString SettingsStore::keywords() const
{
    return fromCp950(record_[SettingsRecord::Keywords]);
}

ChannelChoices SettingsStore::numbers() const
{
    ChannelChoices values;
    values.videoDevice = morlanex::toInteger(record_[SettingsRecord::VideoDeviceIndex]);
    values.audioDevice = morlanex::toInteger(record_[SettingsRecord::AudioDeviceIndex]);
    values.audioPin = morlanex::toInteger(record_[SettingsRecord::AudioInputPin]);
    values.compressionLevel = morlanex::toInteger(record_[SettingsRecord::CompressionLevel]);
    return values;
}
