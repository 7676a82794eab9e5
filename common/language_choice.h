// Public header. Which of the program's languages a person reads: from the locale's
// environment (the windows) or from a browser's Accept-Language (the web pages).
//
// Traditional Chinese is the source language, and what a locale or a browser gets when it asks
// for none of the others (zh_TW, zh_HK, zh, C, fr_FR, nothing at all). English for en*;
// Simplified Chinese for zh_CN, zh_SG and zh-Hans. Only what a person reads follows it: the
// datagrams, the settings file and the directory's texts are Traditional Chinese always.
//
// Threads: plain functions; callable from any thread.
#pragma once

#include <optional>
#include <string_view>

namespace morlanex {

enum class UiLanguage { TraditionalChinese, SimplifiedChinese, English };

// One locale name or language tag ("en_US.UTF-8", "zh-Hant-TW", "zh_CN@x"); nullopt when it
// is none of ours.
std::optional<UiLanguage> languageOfTag(std::string_view tag);

// As gettext reads the environment: the first of LANGUAGE (a list, "fr:en", whose first known
// entry counts), LC_ALL, LC_MESSAGES and LANG that is set and not empty decides; LANGUAGE is
// ignored under the C locale (and with no locale set). Pass the variables' values, or empty for unset ones.
UiLanguage languageFromLocale(std::string_view language, std::string_view lcAll, std::string_view lcMessages,
                              std::string_view lang);
// The same from this process's environment.
UiLanguage languageFromEnvironment();

// An Accept-Language field ("zh-CN,zh;q=0.9,en;q=0.8"): the known language of the highest
// q-value, the earlier one among equals; q=0 means "not this".
UiLanguage languageFromAcceptLanguage(std::string_view field);

// The language's tag for HTML's lang attribute: "zh-Hant", "zh-Hans", "en".
std::string_view htmlLanguageTag(UiLanguage language);

}  // namespace morlanex
