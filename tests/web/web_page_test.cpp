// The pages compiled in from resources/web/, and the filling of their placeholders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "resources/web/page_texts.h"
#include "resources/web/web_page.h"

namespace morlanex::web {
namespace {

std::string sourceFile(const std::string &path) {
    const char *root = std::getenv("MORLANEX_SOURCE_DIR");
    std::ifstream in(std::string(root ? root : ".") + "/resources/web/" + path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(WebPages, TheCompiledPagesAreTheFilesByteForByte) {
    EXPECT_EQ(kChannelPageJs, sourceFile("channel/page.js"));
    EXPECT_EQ(kPlayerWatchHtml, sourceFile("player/watch.html"));
    EXPECT_EQ(kChannelRowHtml.back(), '\n');
}

TEST(WebPages, PlaceholdersAreFilledOnceAndOthersLeftAlone) {
    EXPECT_EQ(fillPage("<p>{{a}}{{b}}</p>{{a}}", {{"a", "1"}, {"b", "22"}}), "<p>122</p>1");
    // A value is never filled in turn, so a channel's own text cannot reach the page's markup.
    EXPECT_EQ(fillPage("<td>{{name}}</td>{{rows}}", {{"name", "{{rows}}"}, {"rows", "<tr>"}}), "<td>{{rows}}</td><tr>");
    EXPECT_EQ(fillPage("{{other}} {{a}} {{ {{a", {{"a", "x"}}), "{{other}} x {{ {{a");
    EXPECT_EQ(fillPage("{{{a}}}", {{"a", "x"}}), "{x}");
    EXPECT_EQ(fillPage("", {{"a", "x"}}), "");
}

// Whether UTF-8 `text` holds a CJK character (U+3000 to U+9FFF: lead bytes E3 to E9).
bool hasCjk(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return (unsigned char)c >= 0xE3 && (unsigned char)c <= 0xE9; });
}

TEST(WebPages, EveryTextPlaceIsFilledInEachLanguageAndEnglishHasNoChineseLeft) {
    for (std::string_view page : {kPlayerHeadHtml, kPlayerWatchHtml, kPlayerWatchJs, kPlayerRelayHtml, kPlayerRelayJs,
                                  kChannelIndexHtml, kChannelRowHtml, kChannelPageJs}) {
        EXPECT_FALSE(hasCjk(page)) << "a text written into the page instead of page_texts.cpp:\n" << page;
        for (UiLanguage language :
             {UiLanguage::TraditionalChinese, UiLanguage::SimplifiedChinese, UiLanguage::English}) {
            const std::string translated = translatePage(page, language);
            EXPECT_EQ(translated.find("{{t:"), std::string::npos) << translated;
            if (language == UiLanguage::English) {
                EXPECT_FALSE(hasCjk(translated)) << translated;
            }
        }
    }
    EXPECT_EQ(translatePage("<html lang=\"{{t:lang}}\"><h1>{{t:liveNow}}</h1>", UiLanguage::TraditionalChinese),
              "<html lang=\"zh-Hant\"><h1>現正直播</h1>");
    EXPECT_EQ(translatePage("{{t:liveNow}}", UiLanguage::SimplifiedChinese), "正在直播");
    // A text lands in HTML and in the scripts' string literals as it is.
    for (std::string_view name : {"title", "muted", "retrying", "updated", "channelsLive", "playlist", "underAMinute"})
        for (UiLanguage language :
             {UiLanguage::TraditionalChinese, UiLanguage::SimplifiedChinese, UiLanguage::English}) {
            const std::string_view text = pageText(name, language);
            EXPECT_FALSE(text.empty()) << name;
            EXPECT_EQ(text.find_first_of("\"'\\<>&"), std::string_view::npos) << text;
        }
}

}  // namespace
}  // namespace morlanex::web
