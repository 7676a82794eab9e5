// The pages compiled in from resources/web/, and the filling of their placeholders.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

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

}  // namespace
}  // namespace morlanex::web
