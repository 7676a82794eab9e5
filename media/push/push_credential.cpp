#include "media/push/push_credential.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace morlanex {
namespace {

void appendUtf8(uint32_t c, std::string *out) {
    if (c < 0x80) {
        out->push_back(char(c));
    } else if (c < 0x800) {
        out->push_back(char(0xC0 | (c >> 6)));
        out->push_back(char(0x80 | (c & 0x3F)));
    } else {
        out->push_back(char(0xE0 | (c >> 12)));
        out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(char(0x80 | (c & 0x3F)));
    }
}

std::string_view skipSpace(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r'))
        s.remove_prefix(1);
    return s;
}

}  // namespace

std::optional<std::string> jsonStringMember(std::string_view json, std::string_view key) {
    const std::string quoted = "\"" + std::string(key) + "\"";
    for (size_t at = json.find(quoted); at != std::string_view::npos; at = json.find(quoted, at + 1)) {
        std::string_view rest = skipSpace(json.substr(at + quoted.size()));
        if (rest.empty() || rest.front() != ':') continue;  // a value that reads like the key
        rest = skipSpace(rest.substr(1));
        if (rest.empty() || rest.front() != '"') return std::nullopt;
        rest.remove_prefix(1);
        std::string value;
        while (!rest.empty() && rest.front() != '"') {
            const char c = rest.front();
            rest.remove_prefix(1);
            if (c != '\\') {
                value.push_back(c);
                continue;
            }
            if (rest.empty()) return std::nullopt;
            const char e = rest.front();
            rest.remove_prefix(1);
            switch (e) {
            case '"':
            case '\\':
            case '/':
                value.push_back(e);
                break;
            case 'b':
                value.push_back('\b');
                break;
            case 'f':
                value.push_back('\f');
                break;
            case 'n':
                value.push_back('\n');
                break;
            case 'r':
                value.push_back('\r');
                break;
            case 't':
                value.push_back('\t');
                break;
            case 'u': {
                uint32_t code = 0;
                if (rest.size() < 4 || std::from_chars(rest.data(), rest.data() + 4, code, 16).ptr != rest.data() + 4)
                    return std::nullopt;
                appendUtf8(code, &value);
                rest.remove_prefix(4);
                break;
            }
            default:
                return std::nullopt;
            }
        }
        if (rest.empty()) return std::nullopt;  // no closing quote
        return value;
    }
    return std::nullopt;
}

CredentialAnswer askPushCredential(HttpClient &directory, uint16_t streamPort, const std::string &nodeId) {
    CredentialAnswer answer;
    const HttpResult r =
        directory.request("GET", "/node/push?port=" + std::to_string(streamPort), {{"X-Morlanex-Node", nodeId}});
    if (!r.ok()) {
        answer.error = r.error;
        return answer;
    }
    answer.status = r.answer.status;
    const std::string &body = r.answer.body;
    if (r.answer.status != 200) {
        answer.error = jsonStringMember(body, "error").value_or("HTTP " + std::to_string(r.answer.status));
        return answer;
    }
    const std::optional<std::string> channel = jsonStringMember(body, "channelId"),
                                     token = jsonStringMember(body, "token"), ingest = jsonStringMember(body, "ingest");
    const std::optional<HttpUrl> url = ingest ? parseHttpUrl(*ingest) : std::nullopt;
    const bool tokenOk = token && !token->empty() && token->size() <= 128 &&
        std::all_of(token->begin(), token->end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
    if (!channel || !tokenOk || !url) {
        answer.error = "the directory's answer does not read: " + body.substr(0, 200);
        return answer;
    }
    answer.credential = PushCredential{*channel, *token, *url};
    return answer;
}

}  // namespace morlanex
