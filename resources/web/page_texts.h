// Public header. The web pages' texts in each of the program's languages (see
// common/language_choice.h). A page file says {{t:name}} where a text goes, and {{t:lang}} for
// its HTML lang attribute; translatePage fills those before the page's own values are filled, so
// that no value (a channel's name) is ever read as a text's place. Texts hold no quote, backslash
// or markup, so they go as they are into HTML and into the pages' script strings.
//
// Threads: plain functions; callable from any thread.
#pragma once

#include "common/language_choice.h"

#include <string>
#include <string_view>

namespace morlanex::web {

// `page` with its {{t:...}} places filled in `language`.
std::string translatePage(std::string_view page, UiLanguage language);

// One text by name ("days", without "t:"); empty for a name that is none.
std::string_view pageText(std::string_view name, UiLanguage language);

}  // namespace morlanex::web
