// The Windows Media HTTP framing of the header and of data packets.
#include "media/asf/byte_order.h"
#include "media/netsink/mmsh_framing.h"

#include <gtest/gtest.h>

namespace morlanex {
namespace {

TEST(MmshFraming, HeaderPiecesAndDataPrefix) {
    const std::vector<uint8_t> small(5000, 0x11);
    const auto one = frameMmshHeader(small);
    ASSERT_EQ(one.size(), 5012u);
    EXPECT_EQ(one[0], 0x24);
    EXPECT_EQ(one[1], 'H');
    EXPECT_EQ(le::u16(&one[2]), 5008u);
    EXPECT_EQ(le::u32(&one[4]), 0u);
    EXPECT_EQ(one[9], 0x0C);
    EXPECT_EQ(le::u16(&one[10]), 5008u);

    const std::vector<uint8_t> big(2 * kMmshMaxPayloadBytes + 10, 0x22);
    const auto three = frameMmshHeader(big);
    ASSERT_EQ(three.size(), big.size() + 3 * kMmshPrefixBytes);
    const size_t second = kMmshPrefixBytes + kMmshMaxPayloadBytes, third = 2 * second;
    EXPECT_EQ(three[9], 0x04);
    EXPECT_EQ(three[second + 9], 0x00);
    EXPECT_EQ(le::u32(&three[second + 4]), 1u);
    EXPECT_EQ(three[third + 9], 0x08);
    EXPECT_EQ(le::u16(&three[third + 2]), 18u);

    const auto d = mmshDataPrefix(0x01020304, 7, 4800);
    EXPECT_EQ(d[0], 0x24);
    EXPECT_EQ(d[1], 'D');
    EXPECT_EQ(le::u16(&d[2]), 4808u);
    EXPECT_EQ(le::u32(&d[4]), 0x01020304u);
    EXPECT_EQ(d[9], 7);
    EXPECT_EQ(le::u16(&d[10]), 4808u);
    const auto e = mmshEnd(0);
    EXPECT_EQ(std::vector<uint8_t>(e.begin(), e.end()), (std::vector<uint8_t>{0x24, 'E', 4, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace morlanex
