// Public header. Configuration values the program needs but does not ask the user for:
// the directory server's address and the portal and product web addresses. Read once at
// start-up from the optional "Morlanex.conf" (INI) in the program folder; a missing file or
// key keeps the built-in default.
//
//   [Directory]
//   Address=127.0.0.1
//   HttpPort=8080         ; its HTTP port, where it says whether it reached us; 0: not asked
//   [Links]
//   Portal=https://www.zanvu.example/
//   Product=https://morlanex.example/
//   [Network]
//   WebRtcPort=50000      ; WebRTC playback's UDP port: 0 (default) any, -1 none
//   StreamPort=8080       ; the stream's TCP port (and its UDP twin): 0 (default) any
//   PortMapping=auto      ; while live, ask the home router to map our ports; off: never
//   PortMappingLease=3600 ; seconds asked for each mapping (30..86400), renewed at about half
//   Push=auto             ; send the browser rendition to the relay tier when nobody outside
//                         ; reaches us (a second NAT); always; off: never
#pragma once

#include "media/push/push_report.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "media/netsink/serving_settings.h"

namespace morlanex {

struct AppConfig {
    std::string directoryAddress = "127.0.0.1";
    std::string portalUrl = "https://www.zanvu.example/";
    std::string productUrl = "https://morlanex.example/";
    int directoryHttpPort = 8080;
    // StreamPort (the stream's TCP port and its UDP twin) and WebRtcPort, fixed for a firewall's
    // or a router's rule; 0 ones the system chooses.
    ServingSettings serving;
    bool portMapping = true;
    std::chrono::seconds portMappingLease{3600};
    PushMode push = PushMode::Auto;
};

AppConfig parseAppConfig(std::string_view iniText);
AppConfig loadAppConfig(const std::filesystem::path &file);

}  // namespace morlanex
