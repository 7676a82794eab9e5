// The fan-out benchmarks' command lines: "--name value" options and "--flag" switches.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace morlanex::bench {

using ValueOptions = std::map<std::string, std::function<void(const std::string &value)>>;
using SwitchOptions = std::map<std::string, std::function<void()>>;

// Hands each option to its handler; false, after saying which, for an unknown one or a
// missing value.
bool readOptions(int argc, char **argv, const ValueOptions &values, const SwitchOptions &switches);
// The numbers of a comma-separated list ("100,1000,6000").
std::vector<double> numberList(const std::string &text);

}  // namespace morlanex::bench
