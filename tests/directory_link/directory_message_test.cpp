// Byte-exact checks of every record kind against layouts written out here by
// hand (offsets as literals), not taken from the library.
#include "directory_link/directory_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace morlanex;

namespace {

using Raw = std::vector<std::uint8_t>;

Raw zeros() { return Raw(663, 0); }

// Writes a length byte and the text at a literal offset.
void put(Raw &raw, std::size_t offset, const std::string &text) {
    raw[offset] = static_cast<std::uint8_t>(text.size());
    std::copy(text.begin(), text.end(), raw.begin() + static_cast<long>(offset) + 1);
}

// Command, ChannelId, Flag "0" and AdapterAddress, as most node records start.
void putHead(Raw &raw, const std::string &word, const std::string &channel, const std::string &node) {
    put(raw, 0, word);
    put(raw, 21, channel);
    raw[29] = 0x01;
    raw[30] = '0';
    put(raw, 32, node);
}

Raw bytesOf(const DirectoryMessage &msg) { return Raw(msg.bytes().begin(), msg.bytes().end()); }

// A received record whose every byte is non-zero and distinct by position, so
// any byte an answer touches shows up.
Raw patterned() {
    Raw raw(663);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(0x80 | (i % 97));
    return raw;
}

DirectoryMessage received(const Raw &raw) { return *DirectoryMessage::fromBytes(raw); }

const std::string NodeId = "000A1BC2FF01";

}  // namespace

TEST(DirectoryRecord, SizeCheckAcceptsOnly663Bytes) {
    Raw raw = zeros();
    put(raw, 0, "LinkKERF_OK");
    EXPECT_TRUE(DirectoryMessage::fromBytes(raw).has_value());
    Raw shorter(raw.begin(), raw.end() - 1);
    EXPECT_FALSE(DirectoryMessage::fromBytes(shorter).has_value());
    Raw longer = raw;
    longer.push_back(0);
    EXPECT_FALSE(DirectoryMessage::fromBytes(longer).has_value());
    EXPECT_FALSE(DirectoryMessage::fromBytes(Raw{}).has_value());
}

TEST(DirectoryRecord, CommandMatchIsExactAndHonoursTheLengthByte) {
    Raw raw = zeros();
    put(raw, 0, "LinkKERF_OK");
    EXPECT_TRUE(received(raw).matches("LinkKERF_OK"));
    EXPECT_FALSE(received(raw).matches("LinkKERF_Ok"));
    EXPECT_FALSE(received(raw).matches("LinkKERF_O"));

    // Length byte 13 with LinkKERF_OK behind it: a 13-byte word, not LinkKERF_OK.
    raw[0] = 13;
    EXPECT_FALSE(received(raw).matches("LinkKERF_OK"));
    raw[12] = 'x';
    raw[13] = 'y';
    EXPECT_TRUE(received(raw).matches("LinkKERF_OKxy"));
}

TEST(DirectoryRecord, TextReadRunsPastCapacityUpToTheRecordEnd) {
    Raw raw = zeros();
    put(raw, 21, "ABCDEFGHI");  // 9 characters in a 7-character field
    EXPECT_EQ(received(raw).readText(Field::ChannelId), "ABCDEFGHI");

    raw[407] = 255;  // keywords: 255 bytes exactly reach byte 662
    EXPECT_EQ(received(raw).readText(Field::Keywords).size(), 255u);
    raw[396] = 255;  // viewer count runs on into the keywords
    raw[420] = 'k';
    const std::string count = received(raw).readText(Field::ViewerCount);
    ASSERT_EQ(count.size(), 255u);
    EXPECT_EQ(count[420 - 397], 'k');
}

TEST(DirectoryRecord, TextWriteCutsAtCapacityAndLeavesTheRestOfTheField) {
    Raw raw = patterned();
    DirectoryMessage msg = received(raw);
    msg.writeText(Field::ChannelName, "short");
    Raw expected = raw;
    put(expected, 94, "short");
    EXPECT_EQ(bytesOf(msg), expected);

    msg.writeText(Field::ChannelName, std::string(120, 'n'));
    put(expected, 94, std::string(100, 'n'));
    EXPECT_EQ(bytesOf(msg), expected);
    EXPECT_EQ(expected[195], raw[195]);  // the next field is untouched
}

TEST(DirectoryRecord, CutMaySplitADoubleByteCharacter) {
    // 頻 in CP950 is 0xC0 0x57; 101 bytes = 50 characters and a lead byte.
    std::string name;
    for (int i = 0; i < 51; ++i) name += "\xC0\x57";
    DirectoryMessage msg;
    msg.writeText(Field::ChannelName, name);
    EXPECT_EQ(msg.bytes()[94], 100);
    EXPECT_EQ(msg.bytes()[194], 0x57);
}

TEST(DirectoryRecord, FlagWritesTheTwoBytesOnly) {
    Raw raw = patterned();
    DirectoryMessage msg = received(raw);
    msg.writeFlag();
    Raw expected = raw;
    expected[29] = 0x01;
    expected[30] = 0x30;
    EXPECT_EQ(bytesOf(msg), expected);
}

TEST(DirectoryRecord, TrimRemovesBlanksAndControlBytesAtBothEnds) {
    EXPECT_EQ(trimBlanks(" \t\r\n a b \x01\x1f "), "a b");
    EXPECT_EQ(trimBlanks("   "), "");
    EXPECT_EQ(trimBlanks("\xC0\x57"), "\xC0\x57");
}

TEST(NodeRecords, LinkKerfCamIsFreshWithTrimmedTexts) {
    const std::string name120(120, 'N');
    const auto msg =
        DirectoryMessage::linkKerfCam(NodeId, "192.168.1.5", "  " + name120 + " \r\n", "\tdesc ", " key words ");
    Raw expected = zeros();
    putHead(expected, "LinkKERF_CAM", "", NodeId);  // no channel id yet: stays zero
    put(expected, 48, "192.168.1.5");
    put(expected, 94, std::string(100, 'N'));
    put(expected, 195, "desc");
    put(expected, 407, "key words");
    EXPECT_EQ(bytesOf(msg), expected);
}

TEST(NodeRecords, LongIdentityTextsAreCutTo15) {
    const auto msg = DirectoryMessage::linkKerfCam(std::string(20, 'F'), "255.255.255.255x", "", "", "");
    EXPECT_EQ(msg.readText(Field::AdapterAddress), std::string(15, 'F'));
    EXPECT_EQ(msg.readText(Field::PrivateAddress), "255.255.255.255");
    EXPECT_EQ(msg.bytes()[64], 0);  // nothing spills into PublicAddress
}

TEST(NodeRecords, FreshHeadKinds) {
    struct Case {
        DirectoryMessage msg;
        std::string word;
    };
    const Case cases[] = {
        {DirectoryMessage::closeKerf("ABCDEFGHI", NodeId), "CloseKERF"},
        {DirectoryMessage::channelRateZero("ABCDEFGHI", NodeId), "ChannelRateZero"},
    };
    for (const Case &c : cases) {
        Raw expected = zeros();
        putHead(expected, c.word, "ABCDEFG", NodeId);
        EXPECT_EQ(bytesOf(c.msg), expected) << c.word;
    }
}

TEST(NodeRecords, CloseKerfBeforeRegistrationHasAnEmptyChannelId) {
    const auto msg = DirectoryMessage::closeKerf("", NodeId);
    EXPECT_EQ(msg.bytes()[21], 0);
    EXPECT_EQ(msg.bytes()[29], 0x01);
    EXPECT_EQ(msg.bytes()[30], 0x30);
}

TEST(NodeRecords, GetVersionCarriesTheCommandOnly) {
    Raw expected = zeros();
    put(expected, 0, "GetVersion");
    EXPECT_EQ(bytesOf(DirectoryMessage::getVersion()), expected);
}

TEST(NodeRecords, ChangeChannelTextHasNoKeywords) {
    const auto msg = DirectoryMessage::changeChannelText("1234567", NodeId, " name ", std::string(230, 'd'));
    Raw expected = zeros();
    putHead(expected, "ChangeChannelText", "1234567", NodeId);
    put(expected, 94, "name");
    put(expected, 195, std::string(200, 'd'));
    EXPECT_EQ(bytesOf(msg), expected);
}

TEST(NodeAnswers, LinkKerfPortSendsBackEverythingElse) {
    Raw raw = patterned();
    put(raw, 0, "LinkKERF_OK");
    put(raw, 21, "ABCDEFGHI");
    put(raw, 64, "203.0.113.7");
    put(raw, 396, "42");
    for (std::size_t i = 100; i <= 200; ++i) raw[i] = 'T';

    DirectoryMessage msg = received(raw);
    const std::string channel = msg.readText(Field::ChannelId);
    EXPECT_EQ(channel, "ABCDEFGHI");  // stored whole
    msg.answerLinkKerfPort(channel, NodeId);

    Raw expected = raw;
    putHead(expected, "LinkKERF_Port", "ABCDEFG", NodeId);  // command bytes 0-13; id sent as 7
    EXPECT_EQ(bytesOf(msg), expected);
    EXPECT_EQ(msg.bytes()[14], raw[14]);
    EXPECT_EQ(msg.bytes()[150], 'T');
}

TEST(NodeAnswers, ChannelOnlineOnDelChannelOnline) {
    Raw raw = patterned();
    put(raw, 0, "DelChannelOnline");
    DirectoryMessage msg = received(raw);
    msg.answerChannelOnline("CH1", NodeId, "0");

    Raw expected = raw;
    putHead(expected, "ChannelOnline", "CH1", NodeId);  // bytes 14-16 keep "ine"
    put(expected, 396, "0");
    EXPECT_EQ(bytesOf(msg), expected);
    EXPECT_EQ(std::string(msg.bytes().begin() + 14, msg.bytes().begin() + 17), "ine");
}

TEST(NodeAnswers, ViewerJoinChainOnOneBuffer) {
    Raw raw = patterned();
    put(raw, 0, "SendP2PData");
    put(raw, 48, "192.168.0.9");
    put(raw, 64, "198.51.100.4");
    put(raw, 80, "40123");
    DirectoryMessage msg = received(raw);

    msg.answerUCanSee();
    Raw ucansee = raw;
    put(ucansee, 0, "UCanSee");
    EXPECT_EQ(bytesOf(msg), ucansee);
    const Raw head = {0x07, 'U', 'C', 'a', 'n', 'S', 'e', 'e', 'D', 'a', 't', 'a'};
    EXPECT_EQ(Raw(msg.bytes().begin(), msg.bytes().begin() + 12), head);

    msg.answerCamChannelRate("CH1", NodeId);
    Raw rate = ucansee;
    putHead(rate, "CAMChannelRate", "CH1", NodeId);
    EXPECT_EQ(bytesOf(msg), rate);
    EXPECT_EQ(msg.readText(Field::PeerPort), "40123");

    msg.answerChannelOnline("CH1", NodeId, "3");
    Raw online = rate;
    put(online, 0, "ChannelOnline");
    put(online, 396, "3");
    EXPECT_EQ(bytesOf(msg), online);
    EXPECT_EQ(msg.bytes()[14], 'e');  // from CAMChannelRate's last character
}
