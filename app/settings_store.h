// Internal header. The one settings store of the run, owned by the application and used by the
// main window: the seven-line record in memory, loaded from and written to the settings file,
// and read into or written from a channel setup in one place.
#pragma once

#include "app/settings_file.h"
#include "session/channel_setup.h"

#include <QString>

#include <filesystem>

class SettingsStore {
public:
    explicit SettingsStore(std::filesystem::path file = morlanex::settingsFilePath());

    const std::filesystem::path &file() const { return file_; }
    const morlanex::SettingsRecord &record() const { return record_; }
    void setRecord(const morlanex::SettingsRecord &record) { record_ = record; }

    // Start-up: the program folder and an empty file when missing.
    void createIfMissing() const;
    // The file's record replaces the one in memory.
    void reload();
    // All seven lines from `setup`, written at once. A file that cannot be written is kept as
    // it was and std::runtime_error says which file and why.
    void save(const morlanex::ChannelSetup &setup);
    // Only the compression level changes; the other lines stay as they are in memory.
    void saveLevel(int level);

    // Lines 1 and 2 as text, trimmed: the captions the window shows.
    QString name() const;
    QString description() const;
    // `setup` with lines 1, 2 and 7 as stored, untrimmed.
    morlanex::ChannelSetup withStoredTexts(morlanex::ChannelSetup setup) const;
    // `setup` with lines 3 to 6; throws morlanex::ConversionError for a line that is no
    // number, before any value is taken.
    morlanex::ChannelSetup withStoredNumbers(morlanex::ChannelSetup setup) const;

private:
    void write() const;

    std::filesystem::path file_;
    morlanex::SettingsRecord record_;
};
