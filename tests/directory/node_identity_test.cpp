#include "directory/node_identity.h"

#include <gtest/gtest.h>

using namespace morlanex;

TEST(NodeIdentity, HardwareAddressIsTwelveUppercaseHexDigits)
{
    const std::uint8_t bytes[] = {0x00, 0x0A, 0x1B, 0xC2, 0xFF, 0x01};
    EXPECT_EQ(hexHardwareAddress(bytes), "000A1BC2FF01");
}

TEST(NodeIdentity, AdapterChoiceSkipsLoopbackAndOddAddressesInIndexOrder)
{
    std::vector<InterfaceAddress> interfaces = {
        {7, false, {0x02, 0, 0, 0, 0, 0x07}},
        {1, true, {0, 0, 0, 0, 0, 0}},
        {3, false, {}},                          // e.g. a tunnel: no hardware address
        {5, false, {0x02, 0, 0, 0, 0, 0x05}},
        {4, false, {1, 2, 3, 4, 5, 6, 7, 8}},    // not a 6-byte address
    };
    EXPECT_EQ(chooseAdapterAddress(interfaces, 0), "020000000005");
    EXPECT_EQ(chooseAdapterAddress(interfaces, 1), "020000000007");
    EXPECT_EQ(chooseAdapterAddress(interfaces, 2), "");
    EXPECT_EQ(chooseAdapterAddress(interfaces, -1), "");
    EXPECT_EQ(chooseAdapterAddress({}, 0), "");
}

TEST(NodeIdentity, SystemAdapterIsEmptyOrTwelveHexDigits)
{
    const std::string id = NBGetAdapterAddress(0);
    if (!id.empty()) {
        ASSERT_EQ(id.size(), 12u);
        EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    }
    EXPECT_EQ(id, NBGetAdapterAddress(0)); // stable within a run
}

TEST(NodeIdentity, LocalAddressFromHostName)
{
    EXPECT_EQ(localIPv4AddressFor(""), "0.0.0.0");
    EXPECT_EQ(localIPv4AddressFor("192.168.1.5"), "192.168.1.5");
    EXPECT_EQ(localIPv4AddressFor("9lives"), "");
    EXPECT_EQ(localIPv4AddressFor("1.2.3"), "");
    EXPECT_EQ(localIPv4AddressFor("localhost"), "127.0.0.1");
}
