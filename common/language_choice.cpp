#include "common/language_choice.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <string>
#include <system_error>

namespace morlanex {
namespace {

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char &c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// No locale at all is the C locale too.
bool isCLocale(std::string_view locale) {
    return locale.empty() || locale == "C" || locale == "POSIX" || locale.starts_with("C.");
}

// A q-value (RFC 9110 12.4.2: 0 to 1, at most three decimals); nullopt when malformed. Not
// strtod, which reads the decimal point of the process's locale.
std::optional<double> qValue(std::string_view s) {
    double q = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), q, std::chars_format::fixed);
    if (s.empty() || error != std::errc() || end != s.data() + s.size() || !(q >= 0 && q <= 1)) return std::nullopt;
    return q;
}

}  // namespace

std::optional<UiLanguage> languageOfTag(std::string_view tag) {
    // The language and its region or script, without encoding (.UTF-8) or modifier (@euro).
    tag = tag.substr(0, tag.find_first_of(".@"));
    std::string t = lowered(tag);
    for (char &c : t)
        if (c == '-') c = '_';
    const std::string_view primary = std::string_view(t).substr(0, t.find('_'));
    if (primary == "en") return UiLanguage::English;
    if (primary != "zh") return std::nullopt;
    const std::string_view rest = std::string_view(t).substr(primary.size());
    for (std::string_view simplified : {"_cn", "_sg", "_hans", "_my"})
        if (rest.starts_with(simplified)) return UiLanguage::SimplifiedChinese;
    return UiLanguage::TraditionalChinese;  // zh_TW, zh_HK, zh_MO, zh_Hant and plain zh
}

UiLanguage languageFromLocale(std::string_view language, std::string_view lcAll, std::string_view lcMessages,
                              std::string_view lang) {
    std::string_view locale = !lcAll.empty() ? lcAll : !lcMessages.empty() ? lcMessages : lang;
    if (!language.empty() && !isCLocale(locale)) {
        while (!language.empty()) {
            const size_t colon = language.find(':');
            if (auto known = languageOfTag(language.substr(0, colon))) return *known;
            language = colon == std::string_view::npos ? std::string_view() : language.substr(colon + 1);
        }
        return UiLanguage::TraditionalChinese;
    }
    return languageOfTag(locale).value_or(UiLanguage::TraditionalChinese);
}

UiLanguage languageFromEnvironment() {
    auto get = [](const char *name) {
        const char *value = std::getenv(name);
        return std::string_view(value ? value : "");
    };
    return languageFromLocale(get("LANGUAGE"), get("LC_ALL"), get("LC_MESSAGES"), get("LANG"));
}

UiLanguage languageFromAcceptLanguage(std::string_view field) {
    std::optional<UiLanguage> best;
    double bestQ = 0;
    while (!field.empty()) {
        const size_t comma = field.find(',');
        std::string_view item = field.substr(0, comma);
        field = comma == std::string_view::npos ? std::string_view() : field.substr(comma + 1);
        double q = 1;
        if (const size_t semi = item.find(';'); semi != std::string_view::npos) {
            std::string_view param = trimmed(item.substr(semi + 1));
            item = item.substr(0, semi);
            if (param.size() < 2 || (param[0] != 'q' && param[0] != 'Q') || param[1] != '=') continue;
            const auto parsed = qValue(trimmed(param.substr(2)));
            if (!parsed) continue;  // malformed: not counted
            q = *parsed;
        }
        const auto known = languageOfTag(trimmed(item));
        if (known && q > bestQ) {
            best = known;
            bestQ = q;
        }
    }
    return best.value_or(UiLanguage::TraditionalChinese);
}

std::string_view htmlLanguageTag(UiLanguage language) {
    switch (language) {
    case UiLanguage::English:
        return "en";
    case UiLanguage::SimplifiedChinese:
        return "zh-Hans";
    case UiLanguage::TraditionalChinese:
        break;
    }
    return "zh-Hant";
}

}  // namespace morlanex
