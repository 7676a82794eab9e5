// Internal header. The one settings store of the run, owned by the application and used by the
// main window and (through the window) the wizard: the seven-line record in memory, loaded from
// and written to the settings file, filled from named values in one place.
#pragma once

#include "app/settings_file.h"
#include "dialogs/wizard_host.h"

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
    // All seven lines from `values`, written at once; a file that cannot be written is kept.
    void save(const ChannelChoices &values);
    // Only the compression level changes; the other lines stay as they are in memory.
    void saveLevel(int level);

    // Lines 1 and 2 as text, trimmed; line 7 as stored.
    QString name() const;
    QString description() const;
    QString keywords() const;
    // Lines 3 to 6; throws morlanex::ConversionError for a line that is no number, before
    // any value is returned.
    ChannelChoices numbers() const;

private:
    std::filesystem::path file_;
    morlanex::SettingsRecord record_;
};
