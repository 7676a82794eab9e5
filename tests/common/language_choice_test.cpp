// The language a person reads: from the locale's environment and from a browser's
// Accept-Language, each case in one table.
#include <gtest/gtest.h>

#include "common/language_choice.h"

namespace morlanex {
namespace {

constexpr UiLanguage kTraditional = UiLanguage::TraditionalChinese;
constexpr UiLanguage kSimplified = UiLanguage::SimplifiedChinese;
constexpr UiLanguage kEnglish = UiLanguage::English;

TEST(UiLanguage, TheLocaleDecidesAsGettextReadsIt) {
    struct Case {
        const char *language, *lcAll, *lcMessages, *lang;
        UiLanguage expected;
    };
    const Case cases[] = {
        {"", "", "", "", kTraditional},  // nothing set
        {"", "", "", "C.UTF-8", kTraditional},
        {"", "", "", "POSIX", kTraditional},
        {"", "", "", "en_US.UTF-8", kEnglish},
        {"", "", "", "en_GB@euro", kEnglish},
        {"", "", "", "zh_TW.UTF-8", kTraditional},
        {"", "", "", "zh_HK.Big5-HKSCS", kTraditional},
        {"", "", "", "zh", kTraditional},
        {"", "", "", "zh_CN.UTF-8", kSimplified},
        {"", "", "", "zh_SG.GBK", kSimplified},
        {"", "", "", "fr_FR.UTF-8", kTraditional},  // none of ours
        {"", "", "en_GB.UTF-8", "zh_TW.UTF-8", kEnglish},  // LC_MESSAGES before LANG
        {"", "zh_CN.UTF-8", "en_US.UTF-8", "zh_TW.UTF-8", kSimplified},  // LC_ALL before both
        {"", "", "zh_TW.UTF-8", "en_US.UTF-8", kTraditional},
        {"en:zh_CN", "", "", "zh_TW.UTF-8", kEnglish},  // LANGUAGE first
        {"fr:zh_CN:en", "", "", "de_DE.UTF-8", kSimplified},  // its first entry that is ours
        {"fr:de", "", "", "en_US.UTF-8", kTraditional},  // none of its entries: the source texts
        {"en", "", "", "C.UTF-8", kTraditional},  // LANGUAGE is ignored under the C locale
        {"en", "", "", "", kTraditional},
    };
    for (const Case &c : cases)
        EXPECT_EQ(languageFromLocale(c.language, c.lcAll, c.lcMessages, c.lang), c.expected)
            << "LANGUAGE=" << c.language << " LC_ALL=" << c.lcAll << " LC_MESSAGES=" << c.lcMessages
            << " LANG=" << c.lang;
}

TEST(UiLanguage, AcceptLanguageTakesTheHighestQValueThatIsOurs) {
    struct Case {
        const char *field;
        UiLanguage expected;
    };
    const Case cases[] = {
        {"", kTraditional},
        {"en", kEnglish},
        {"en-US,en;q=0.9", kEnglish},  // Chromium with --lang=en-US
        {"zh-TW,zh;q=0.9", kTraditional},
        {"zh-CN,zh;q=0.9", kSimplified},
        {"zh-Hans", kSimplified},
        {"zh-Hant-HK", kTraditional},
        {"fr-FR,fr;q=0.9,en;q=0.8", kEnglish},  // the first that is ours
        {"fr", kTraditional},
        {"*", kTraditional},
        {"en;q=0.5, zh-CN;q=0.8", kSimplified},  // by q-value, not by order
        {"zh-TW;q=0.8,zh-CN;q=0.8", kTraditional},  // the earlier among equals
        {"zh-CN;q=0, en", kEnglish},  // q=0: not this one
        {"en;q=0", kTraditional},
        {" EN-gb ; Q=0.7 ", kEnglish},
        {"en;q=1.5, zh-CN;q=0.2", kSimplified},  // a malformed q-value does not count
        {"en;q=abc", kTraditional},
        {"en;level=1", kTraditional},
        {",,;q=,en-", kEnglish},
    };
    for (const Case &c : cases) EXPECT_EQ(languageFromAcceptLanguage(c.field), c.expected) << '"' << c.field << '"';
}

}  // namespace
}  // namespace morlanex
