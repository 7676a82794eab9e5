#include "directory_server/server_texts.h"

#include <algorithm>

namespace morlanex {

std::optional<std::string> fieldText(const DirectoryMessage &msg, Field field) {
    std::string text = msg.readText(field);
    if (text.size() > layoutOf(field).capacity) return std::nullopt;
    return text;
}

std::optional<std::int64_t> decimal(std::string_view text, std::size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out.push_back(c);
        } else {
            static constexpr char Hex[] = "0123456789ABCDEF";
            out += "\\x";
            out.push_back(Hex[byte >> 4]);
            out.push_back(Hex[byte & 0xF]);
        }
    }
    return out;
}

std::string endpoint(const Peer &peer) { return peer.address + ":" + std::to_string(peer.port); }

std::uint16_t portParameter(std::string_view target) {
    const auto query = target.find('?');
    if (query == std::string_view::npos) return 0;
    std::string_view rest = target.substr(query + 1);
    while (!rest.empty()) {
        const auto end = std::min(rest.find('&'), rest.size());
        const std::string_view pair = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (!pair.starts_with("port=")) continue;
        const auto value = decimal(pair.substr(5), 5);
        return value && *value >= 1 && *value <= 65535 ? static_cast<std::uint16_t>(*value) : 0;
    }
    return 0;
}

}  // namespace morlanex
