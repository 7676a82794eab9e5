// Public header file.
//
// The web pages the programs serve live as files under resources/web/ (HTML, CSS, JS), compiled
// in byte for byte: morlanex::web::kPlayerWatchHtml is resources/web/player/watch.html, and so
// on (see the generated resources/web/web_files.h). Their variable parts are {{name}}
// placeholders that the serving code fills.
//
// Threads: plain functions; callable from any thread.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "resources/web/web_files.h"

namespace morlanex::web {

struct PageValue {
    std::string_view name;  // without the braces
    std::string_view value;  // inserted as it is: escape it for where it lands first
};

// `page` with each {{name}} of `values` replaced by its value, in one pass: what a value
// holds is never filled in turn. Placeholders not in `values` are left as they are.
std::string fillPage(std::string_view page, std::initializer_list<PageValue> values);
std::string fillPage(std::string_view page, std::span<const PageValue> values);

}  // namespace morlanex::web
