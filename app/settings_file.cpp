#include "app/settings_file.h"

#include "common/codepage.h"
#include "net/unique_fd.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace morlanex {
namespace fs = std::filesystem;

namespace {
constexpr char kCtrlZ = 0x1A;
constexpr char kFileName[] = "DefData.ini";

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}
}  // namespace

ConversionError::ConversionError(std::string_view offendingCp950)
    : std::runtime_error("'" + cp950ToUtf8(offendingCp950) + "' is not a valid integer value") {}

fs::path programFolder() {
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    fs::path base;
    if (xdg && *xdg)
        base = xdg;
    else if (const char *home = std::getenv("HOME"); home && *home)
        base = fs::path(home) / ".config";
    else
        base = "/tmp";
    return base / "Ulma" / "Morlanex";
}

fs::path settingsFilePath() { return programFolder() / kFileName; }

bool createSettingsIfMissing(const fs::path &file) {
    std::error_code ec;
    const fs::path folder = file.parent_path();
    if (!fs::exists(folder, ec)) {
        // The config home itself may be missing on a fresh account.
        fs::create_directories(folder.parent_path().parent_path(), ec);
        fs::create_directory(folder.parent_path(), ec);
        fs::create_directory(folder, ec);
    }
    if (fs::exists(file, ec)) return true;
    morlanex::UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) return errno == EEXIST;
    const bool ok = writeAll(fd.get(), serializeSettings(SettingsRecord{}));
    return fd.close() && ok;
}

SettingsRecord parseSettings(std::string_view bytes) {
    // Text-file reading: LF or CR LF ends a line, a lone CR is dropped, Ctrl-Z marks the end
    // of the file. Values past the end read as empty.
    SettingsRecord record;
    size_t pos = 0;
    bool atEnd = false;
    for (auto &value : record.lines) {
        if (atEnd || pos >= bytes.size()) break;
        while (pos < bytes.size()) {
            char c = bytes[pos];
            if (c == kCtrlZ) {
                atEnd = true;
                break;
            }
            ++pos;
            if (c == '\n') break;
            if (c == '\r' && !(pos < bytes.size() && bytes[pos] == '\n')) continue;
            if (c != '\r') value.push_back(c);
        }
    }
    return record;
}

std::string readWholeFile(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream all;
    if (in) all << in.rdbuf();
    return all.str();
}

SettingsRecord readSettings(const fs::path &file) { return parseSettings(readWholeFile(file)); }

std::string serializeSettings(const SettingsRecord &record) {
    std::string out;
    for (const auto &value : record.lines) {
        out += value;
        out += "\r\n";
    }
    return out;
}

bool writeSettings(const fs::path &file, const SettingsRecord &record) {
    std::string tmpl = (file.parent_path() / (file.filename().string() + ".XXXXXX")).string();
    morlanex::UniqueFd fd(::mkstemp(tmpl.data()));
    if (!fd) return false;
    ::fchmod(fd.get(), 0644);
    bool ok = writeAll(fd.get(), serializeSettings(record)) && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (ok && ::rename(tmpl.c_str(), file.c_str()) == 0) return true;
    const int why = errno;  // for the caller's report
    ::unlink(tmpl.c_str());
    errno = why;
    return false;
}

std::string trimmed(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32) --e;
    return std::string(text.substr(b, e - b));
}

int toInteger(std::string_view text) {
    std::string_view digits = text;
    while (!digits.empty() && (digits.front() == ' ' || digits.front() == '\t')) digits.remove_prefix(1);
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    int value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) throw ConversionError(text);
    return value;
}

}  // namespace morlanex
