#include "app/app_config.h"

#include "app/settings_file.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace morlanex {

namespace {

// -1..65535; anything else keeps `fallback`, and says so.
int portValue(const std::string &text, int fallback) {
    size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used == text.size() && value >= -1 && value <= 65535) return value;
    std::fprintf(stderr, "morlanex: Morlanex.conf: WebRtcPort=%s is not a port (-1..65535); %d kept\n", text.c_str(),
                 fallback);
    return fallback;
}

}  // namespace

AppConfig parseAppConfig(std::string_view text) {
    AppConfig config;
    std::string section;
    std::istringstream in{std::string(text)};
    std::string raw;
    while (std::getline(in, raw)) {
        std::string line = trimmed(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = trimmed(std::string_view(line).substr(1, line.size() - 2));
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;  // a broken line loses nothing else
        std::string key = trimmed(std::string_view(line).substr(0, eq));
        std::string value = trimmed(std::string_view(line).substr(eq + 1));
        if (value.empty()) continue;
        if (section == "Directory" && key == "Address")
            config.directoryAddress = value;
        else if (section == "Links" && key == "Portal")
            config.portalUrl = value;
        else if (section == "Links" && key == "Product")
            config.productUrl = value;
        else if (section == "Network" && key == "WebRtcPort")
            config.webrtcPort = portValue(value, config.webrtcPort);
    }
    return config;
}

AppConfig loadAppConfig(const std::filesystem::path &file) { return parseAppConfig(readWholeFile(file)); }

}  // namespace morlanex
