#include "common/metrics_text.h"

#include <cstdio>

namespace morlanex {

void MetricsText::family(std::string_view name, std::string_view type, std::string_view help) {
    text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void MetricsText::sample(std::string_view name, std::string_view labels, double value) {
    char number[32];
    std::snprintf(number, sizeof number, "%.17g", value);
    text_.append(name);
    if (!labels.empty()) text_.append("{").append(labels).append("}");
    text_.append(" ").append(number).append("\n");
}

}  // namespace morlanex
