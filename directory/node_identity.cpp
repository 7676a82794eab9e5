#include "directory/node_identity.h"

#include "directory/ipv4.h"

#include <algorithm>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>


namespace morlanex {

std::string hexHardwareAddress(std::span<const std::uint8_t> bytes)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes) {
        text.push_back(Digits[byte >> 4]);
        text.push_back(Digits[byte & 0x0F]);
    }
    return text;
}

std::string chooseAdapterAddress(std::vector<InterfaceAddress> interfaces, int adapter)
{
    std::erase_if(interfaces, [](const InterfaceAddress &entry) {
        return entry.loopback || entry.hardware.size() != 6;
    });
    std::sort(interfaces.begin(), interfaces.end(),
              [](const InterfaceAddress &a, const InterfaceAddress &b) { return a.index < b.index; });
    if (adapter < 0 || static_cast<std::size_t>(adapter) >= interfaces.size())
        return {};
    return hexHardwareAddress(interfaces[static_cast<std::size_t>(adapter)].hardware);
}

std::vector<InterfaceAddress> systemInterfaces()
{
    std::vector<InterfaceAddress> result;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return result;
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_PACKET)
            continue;
        const auto *link = reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr);
        InterfaceAddress item;
        item.index = static_cast<unsigned>(link->sll_ifindex);
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        const std::size_t length = std::min<std::size_t>(link->sll_halen, sizeof link->sll_addr);
        item.hardware.assign(link->sll_addr, link->sll_addr + length);
        result.push_back(std::move(item));
    }
    freeifaddrs(list);
    return result;
}

std::string NBGetAdapterAddress(int adapter)
{
    return chooseAdapterAddress(systemInterfaces(), adapter);
}

std::string localIPv4AddressFor(std::string_view hostName)
{
    if (hostName.empty())
        return "0.0.0.0";
    const std::string name(hostName);
    if (name.front() >= '0' && name.front() <= '9') {
        in_addr parsed{};
        return inet_pton(AF_INET, name.c_str(), &parsed) == 1 ? name : std::string();
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *answer = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &answer) != 0 || !answer)
        return {};
    const std::string text =
        dottedQuad(reinterpret_cast<const sockaddr_in *>(answer->ai_addr)->sin_addr);
    freeaddrinfo(answer);
    return text;
}

std::string localIPv4Address()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        name[0] = '\0';
    return localIPv4AddressFor(name);
}

} // namespace morlanex
