// Reading a Prometheus text exposition back in tests of the servers' /metrics.
#pragma once

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace morlanex::test {

// The samples of a Prometheus text exposition, by name and labels; empty when a line breaks the
// format (what `promtool check metrics` reads) or a sample has no TYPE line before it.
inline std::map<std::string, double> parseMetrics(const std::string &text) {
    static const std::regex Type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|untyped))");
    static const std::regex Help(R"(# HELP [a-zA-Z_:][a-zA-Z0-9_:]* [^\n]*)");
    static const std::regex Sample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="[^"\\]*"(,[a-zA-Z_][a-zA-Z0-9_]*="[^"\\]*")*\})? (-?[0-9.e+-]+))");
    std::map<std::string, double> samples;
    std::set<std::string> typed;
    std::istringstream lines(text);
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, match, Type))
            typed.insert(match[1]);
        else if (std::regex_match(line, match, Sample) && typed.contains(match[1]))
            samples[match[1].str() + match[2].str()] = std::stod(match[4]);
        else if (!std::regex_match(line, Help))
            return {};
    }
    return samples;
}

}  // namespace morlanex::test
