// Test support: a gtest fixture around one directory process.
#pragma once

#include "tests/directory_server/server_harness.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace morlanex::testing {

// A test with its own directory process: startServer() on an address of the
// test's own; at the end the process must stop cleanly (exit 0).
class DirectoryTest : public ::testing::Test {
protected:
    void startServer(const std::string &address, std::vector<std::string> extra = {});
    void TearDown() override;

    TempDir temp_;
    std::unique_ptr<DirectoryProcess> server_;
};

}  // namespace morlanex::testing
