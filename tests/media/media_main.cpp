// GoogleTest main for the media tests: the test devices must be visible before
// GStreamer starts.
#include <gtest/gtest.h>

#include "media_test_env.h"

int main(int argc, char **argv) {
    morlanex::testing::useTestDevices();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
