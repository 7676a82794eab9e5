#include "bench_options.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace morlanex::bench {

bool readOptions(int argc, char **argv, const ValueOptions &values, const SwitchOptions &switches) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (const auto s = switches.find(name); s != switches.end()) {
            s->second();
        } else if (const auto v = values.find(name); v != values.end() && i + 1 < argc) {
            v->second(argv[++i]);
        } else {
            std::fprintf(stderr, "%s option %s\n", v != values.end() ? "no value for" : "unknown", name.c_str());
            return false;
        }
    }
    return true;
}

std::vector<double> numberList(const std::string &text) {
    std::vector<double> numbers;
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');) numbers.push_back(std::atof(item.c_str()));
    return numbers;
}

}  // namespace morlanex::bench
