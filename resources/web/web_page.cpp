#include "resources/web/web_page.h"

namespace morlanex::web {

std::string fillPage(std::string_view page, std::initializer_list<PageValue> values) {
    return fillPage(page, std::span<const PageValue>(values.begin(), values.size()));
}

std::string fillPage(std::string_view page, std::span<const PageValue> values) {
    std::string out;
    out.reserve(page.size());
    size_t at = 0;
    while (at < page.size()) {
        const size_t open = page.find("{{", at);
        const size_t close = open == std::string_view::npos ? open : page.find("}}", open + 2);
        if (close == std::string_view::npos) {
            out.append(page.substr(at));
            break;
        }
        const std::string_view name = page.substr(open + 2, close - open - 2);
        const PageValue *found = nullptr;
        for (const PageValue &v : values)
            if (v.name == name) found = &v;
        out.append(page.substr(at, open - at));
        if (found) {
            out.append(found->value);
            at = close + 2;
        } else {
            // Not ours: keep the first brace and look again from the second.
            out.push_back('{');
            at = open + 1;
        }
    }
    return out;
}

}  // namespace morlanex::web
