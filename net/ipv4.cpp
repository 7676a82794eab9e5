#include "net/ipv4.h"

#include "net/socket_error.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdint>
#include <cstdio>

namespace morlanex {

std::optional<in_addr> parseDottedQuad(std::string_view text) {
    std::uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (text.empty() || text.front() != '.') return std::nullopt;
            text.remove_prefix(1);
        }
        unsigned number = 0;
        std::size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 4) {
            number = number * 10 + static_cast<unsigned>(text[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || number > 255) return std::nullopt;
        text.remove_prefix(digits);
        value = (value << 8) | number;
    }
    if (!text.empty()) return std::nullopt;
    in_addr address{};
    address.s_addr = htonl(value);
    return address;
}

std::string dottedQuad(in_addr address) {
    const std::uint32_t value = ntohl(address.s_addr);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (value >> 24) & 0xFF, (value >> 16) & 0xFF, (value >> 8) & 0xFF,
                  value & 0xFF);
    return text;
}

namespace {

bool isLocalhost(std::string_view host) {
    static constexpr std::string_view Word = "localhost";
    if (host.size() != Word.size()) return false;
    for (std::size_t i = 0; i < host.size(); ++i) {
        char c = host[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != Word[i]) return false;
    }
    return true;
}

}  // namespace

in_addr resolveHost(std::string_view host) {
    if (isLocalhost(host)) return *parseDottedQuad("127.0.0.1");
    if (auto address = parseDottedQuad(host)) return *address;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *answer = nullptr;
    const std::string name(host);
    if (name.empty() || getaddrinfo(name.c_str(), nullptr, &hints, &answer) != 0 || !answer)
        throw EndpointError::socket(WinsockHostNotFound);
    const in_addr address = reinterpret_cast<const sockaddr_in *>(answer->ai_addr)->sin_addr;
    freeaddrinfo(answer);
    return address;
}

}  // namespace morlanex
