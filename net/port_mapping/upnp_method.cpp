#include "net/port_mapping/upnp_method.h"

#include "net/ipv4.h"

#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace morlanex::portmap {

namespace {

// Each search type costs the whole delay when nothing answers; 1 s is miniupnpc's least.
constexpr std::chrono::milliseconds kSearchDelay{1000};
constexpr const char *kSearchTypes[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                        "urn:schemas-upnp-org:service:WANIPConnection:1", nullptr};
constexpr int kConflictInMappingEntry = 718;
constexpr int kOnlyPermanentLeasesSupported = 725;

// The host of "http://192.168.1.1:5000/rootDesc.xml", when it is a dotted quad.
std::optional<in_addr> urlHost(const char *url) {
    std::string_view text = url ? url : "";
    const size_t scheme = text.find("://");
    if (scheme == std::string_view::npos) return std::nullopt;
    text.remove_prefix(scheme + 3);
    return parseDottedQuad(text.substr(0, text.find_first_of(":/")));
}

bool same(std::optional<in_addr> a, in_addr b) { return a && a->s_addr == b.s_addr; }

std::string upnpError(int code) {
    if (code == UPNPCOMMAND_HTTP_ERROR) return "the router's UPnP service cannot be reached";
    const char *text = strupnperror(code);
    return std::to_string(code) + " " + (text ? text : "unknown error");
}

}  // namespace

UpnpMethod::~UpnpMethod() { forget(); }

void UpnpMethod::forget() {
    if (found_) FreeUPNPUrls(&urls_);
    found_ = false;
    urls_ = {};
    data_ = {};
}

bool UpnpMethod::discover() {
    forget();
    const std::string inside = dottedQuad(context_.inside);
    int error = 0;
    // "" leaves minissdpd out; SSDP goes out of our own interface only. The search lasts a
    // delay after the last answer, or a delay for each type when nothing answers.
    UPNPDev *devices = upnpDiscoverDevices(kSearchTypes, int(kSearchDelay.count()), inside.c_str(), "",
                                           UPNP_LOCAL_PORT_ANY, 0, 2, &error, 0);
    for (UPNPDev *device = devices; device && !found_; device = device->pNext) {
        if (!same(urlHost(device->descURL), context_.gateway)) {
            context_.log(std::string("UPnP: skipped a device not at the gateway: ") + device->descURL);
            continue;
        }
        char lan[64] = {};
        UPNPUrls urls{};
        IGDdatas data{};
        if (UPNP_GetIGDFromUrl(device->descURL, &urls, &data, lan, sizeof lan) != 1) continue;
        if (same(urlHost(urls.controlURL), context_.gateway) && inside == lan && data.first.servicetype[0]) {
            urls_ = urls;
            data_ = data;
            found_ = true;
            context_.log(std::string("UPnP: found the router's IGD at ") + device->descURL);
        } else {
            FreeUPNPUrls(&urls);
        }
    }
    freeUPNPDevlist(devices);
    return found_;
}

uint16_t UpnpMethod::add(const PortRequest &port, uint16_t outsidePort, std::chrono::seconds lease, int *code) {
    const std::string outside = std::to_string(outsidePort), insidePort = std::to_string(port.insidePort);
    const std::string inside = dottedQuad(context_.inside);
    const std::string description = port.purpose.empty() ? "Morlanex" : "Morlanex " + port.purpose;
    const char *protocol = toString(port.protocol);
    auto call = [&](const std::string &duration) {
        return UPNP_AddPortMapping(urls_.controlURL, data_.first.servicetype, outside.c_str(), insidePort.c_str(),
                                   inside.c_str(), description.c_str(), protocol, nullptr, duration.c_str());
    };
    *code = call(permanentOnly_ ? "0" : std::to_string(lease.count()));
    if (*code == kOnlyPermanentLeasesSupported) {
        permanentOnly_ = true;
        context_.log("UPnP: the router takes no lease times; mapping without one and renewing all the same");
        *code = call("0");
    }
    if (*code == UPNPCOMMAND_SUCCESS) return outsidePort;
    if (*code != kConflictInMappingEntry) return 0;
    // The port is another client's: IGDv2 routers can grant a free one instead.
    char reserved[8] = {};
    *code = UPNP_AddAnyPortMapping(urls_.controlURL, data_.first.servicetype, outside.c_str(), insidePort.c_str(),
                                   inside.c_str(), description.c_str(), protocol, nullptr,
                                   permanentOnly_ ? "0" : std::to_string(lease.count()).c_str(), reserved);
    const long granted = std::strtol(reserved, nullptr, 10);
    if (*code == UPNPCOMMAND_SUCCESS && granted > 0 && granted <= 65535) return uint16_t(granted);
    *code = kConflictInMappingEntry;
    return 0;
}

Round UpnpMethod::map(const std::vector<PortRequest> &ports, std::chrono::seconds lease, Deadline) {
    Round round;
    if (!found_ && !discover()) {
        if (!granted_.empty()) context_.log("UPnP: the router's IGD is gone");
        return round;
    }
    char address[64] = {};
    int code = UPNP_GetExternalIPAddress(urls_.controlURL, data_.first.servicetype, address);
    if (code == UPNPCOMMAND_HTTP_ERROR) {
        context_.log("UPnP: the router's IGD moved (restarted?); discovering it again");
        if (!discover()) return round;
        code = UPNP_GetExternalIPAddress(urls_.controlURL, data_.first.servicetype, address);
    }
    round.answered = true;
    if (code == UPNPCOMMAND_SUCCESS) round.outsideAddress = parseDottedQuad(address);
    if (!round.outsideAddress) {
        round.error = "the router has no outside address (" + upnpError(code) + ")";
        context_.log("UPnP: " + round.error);
    }
    for (const PortRequest &port : ports) {
        const auto key = std::make_pair(port.protocol, port.insidePort);
        const auto known = granted_.find(key);
        const bool renewing = known != granted_.end();
        PortResult result;
        result.request = port;
        result.outsidePort = add(port, renewing ? known->second.second : port.insidePort, lease, &code);
        if (result.mapped()) {
            result.lifetime = permanentOnly_ ? std::chrono::seconds(0) : lease;
            granted_[key] = {port, result.outsidePort};
            context_.log(std::string(renewing ? "UPnP: renewed " : "UPnP: mapped ") + describe(port) + " to " +
                         address + ":" + std::to_string(result.outsidePort) + " for " +
                         std::to_string(result.lifetime.count()) + " s");
        } else {
            granted_.erase(key);
            result.error = "the router refused: " + upnpError(code);
            round.error = result.error;
            context_.log("UPnP: could not map " + describe(port) + ": " + upnpError(code));
        }
        round.ports.push_back(result);
    }
    return round;
}

void UpnpMethod::unmapAll(Deadline deadline) {
    for (const auto &[key, granted] : granted_) {
        const PortRequest &port = granted.first;
        // Each call may block for miniupnpc's time-outs: past the deadline the rest expire.
        if (!found_ || Clock::now() >= deadline) {
            context_.log("UPnP: left " + describe(port) + " to end with its lease");
            continue;
        }
        const std::string outside = std::to_string(granted.second);
        const int code = UPNP_DeletePortMapping(urls_.controlURL, data_.first.servicetype, outside.c_str(),
                                                toString(port.protocol), nullptr);
        if (code == UPNPCOMMAND_SUCCESS)
            context_.log("UPnP: removed " + describe(port));
        else
            context_.log("UPnP: could not remove " + describe(port) + ": " + upnpError(code));
    }
    granted_.clear();
}

}  // namespace morlanex::portmap
