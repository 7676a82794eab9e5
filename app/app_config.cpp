#include "app/app_config.h"

#include "app/settings_file.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace morlanex {

namespace {

// A whole number in low..high; anything else keeps `fallback`, and says so.
int numberValue(const std::string &key, const std::string &text, int low, int high, int fallback) {
    size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception &) {
        used = 0;
    }
    if (used == text.size() && value >= low && value <= high) return value;
    std::fprintf(stderr, "morlanex: Morlanex.conf: %s=%s is not in %d..%d; %d kept\n", key.c_str(), text.c_str(), low,
                 high, fallback);
    return fallback;
}

bool switchValue(const std::string &key, const std::string &text, const char *on, bool fallback) {
    if (text == on) return true;
    if (text == "off") return false;
    std::fprintf(stderr, "morlanex: Morlanex.conf: %s=%s is neither %s nor off; %s kept\n", key.c_str(), text.c_str(),
                 on, fallback ? on : "off");
    return fallback;
}

PushMode pushValue(const std::string &text, PushMode fallback) {
    if (text == "auto") return PushMode::Auto;
    if (text == "always") return PushMode::Always;
    if (text == "off") return PushMode::Off;
    std::fprintf(stderr, "morlanex: Morlanex.conf: Push=%s is not auto, always or off; the default kept\n",
                 text.c_str());
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
        else if (section == "Directory" && key == "HttpPort")
            config.directoryHttpPort = numberValue(key, value, 0, 65535, config.directoryHttpPort);
        else if (section == "Links" && key == "Portal")
            config.portalUrl = value;
        else if (section == "Links" && key == "Product")
            config.productUrl = value;
        else if (section == "Network" && key == "WebRtcPort")
            config.serving.webrtcPort = numberValue(key, value, -1, 65535, config.serving.webrtcPort);
        else if (section == "Network" && key == "StreamPort")
            config.serving.port = uint16_t(numberValue(key, value, 0, 65535, config.serving.port));
        else if (section == "Network" && key == "Push")
            config.push = pushValue(value, config.push);
        else if (section == "Network" && key == "PortMapping")
            config.portMapping = switchValue(key, value, "auto", config.portMapping);
        else if (section == "Network" && key == "PortMappingLease")
            config.portMappingLease =
                std::chrono::seconds(numberValue(key, value, 30, 86400, int(config.portMappingLease.count())));
    }
    return config;
}

AppConfig loadAppConfig(const std::filesystem::path &file) { return parseAppConfig(readWholeFile(file)); }

}  // namespace morlanex
