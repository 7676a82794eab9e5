// Test support: reading the directory daemon's database beside it.
#pragma once

#include <filesystem>
#include <string>

namespace morlanex::testing {

// The first column of the first row of a query on the daemon's database, or
// "" when there is none; opened read-only beside the running daemon.
std::string queryDatabase(const std::filesystem::path &database, const std::string &sql);

}  // namespace morlanex::testing
