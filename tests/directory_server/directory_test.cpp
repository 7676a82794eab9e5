#include "tests/directory_server/directory_test.h"

namespace morlanex::testing {

void DirectoryTest::startServer(const std::string &address, std::vector<std::string> extra) {
    server_ = std::make_unique<DirectoryProcess>(address, temp_.path() / "directory.sqlite", std::move(extra));
    ASSERT_TRUE(server_->start()) << server_->log();
}

void DirectoryTest::TearDown() {
    if (server_) {
        EXPECT_EQ(server_->stop(), 0) << server_->log();
    }
}

}  // namespace morlanex::testing
