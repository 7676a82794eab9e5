// Public header. The settings file: seven CP950 lines ended by CR LF, identified by position.
//
// Line 1 channel name, 2 channel description, 3 video device index, 4 audio device index,
// 5 recording line, 6 compression level, 7 keywords. No sections, no keys, no quoting.
// Everything here runs on the UI thread and never reports file errors: a file that cannot be
// read loads as seven empty values, one that cannot be written is left as it was.
#pragma once

#include <array>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace morlanex {

struct SettingsRecord {
    enum Line {
        ChannelName,
        ChannelDescription,
        VideoDeviceIndex,
        AudioDeviceIndex,
        AudioInputPin,
        CompressionLevel,
        Keywords,
        LineCount
    };
    std::array<std::string, LineCount> lines;  // CP950 bytes, as in the file

    std::string &operator[](Line l) { return lines[l]; }
    const std::string &operator[](Line l) const { return lines[l]; }
    bool operator==(const SettingsRecord &) const = default;
};

// The raised text of a line 3 to 6 that is not a decimal integer.
class ConversionError : public std::runtime_error {
public:
    explicit ConversionError(std::string_view offendingCp950);
};

// "$XDG_CONFIG_HOME/Ulma/Morlanex" (default "~/.config/Ulma/Morlanex").
std::filesystem::path programFolder();
std::filesystem::path settingsFilePath();

// Start-up: create "Ulma", then "Morlanex", one level at a time, and the file with seven empty
// lines (14 bytes) when it is missing. An existing file is not touched. Returns false on failure.
bool createSettingsIfMissing(const std::filesystem::path &file);

SettingsRecord readSettings(const std::filesystem::path &file);
// The file's bytes; empty when it cannot be read.
std::string readWholeFile(const std::filesystem::path &file);
SettingsRecord parseSettings(std::string_view bytes);

// Replaces the file whole: a sibling file is written and renamed over the old one, so a process
// that dies mid-write leaves either the old file or the new one, never a torn one. False with
// errno saying why when the file could not be replaced.
bool writeSettings(const std::filesystem::path &file, const SettingsRecord &record);
std::string serializeSettings(const SettingsRecord &record);

// Removes leading and trailing characters whose code is 32 or below.
std::string trimmed(std::string_view text);

// Decimal integer with optional sign and leading blanks; throws ConversionError otherwise.
int toInteger(std::string_view text);

}  // namespace morlanex
