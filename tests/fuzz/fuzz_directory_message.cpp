// libFuzzer: the record reader and every node-side builder on arbitrary bytes.
// A datagram of any size goes through the size check; a 663-byte one through
// command matching, every text read and every answer in place; the builders
// get texts cut from the input. Checks the byte rules as it goes.
#include "directory_link/directory_message.h"

#include <cstdlib>
#include <string>

using namespace morlanex;

namespace {

constexpr Field AllFields[] = {Field::Command,        Field::ChannelId,      Field::Flag,
                               Field::AdapterAddress, Field::PrivateAddress, Field::PublicAddress,
                               Field::PeerPort,       Field::ChannelName,    Field::ChannelDescription,
                               Field::ViewerCount,    Field::Keywords};

void check(bool condition) {
    if (!condition) std::abort();
}

// Each answer writes only its own bytes: 0-31 head, 32-47 identity, 396-406 count.
void checkUntouchedOutside(const DirectoryMessage &before, const DirectoryMessage &after) {
    for (std::size_t i = 48; i < 396; ++i) check(before.bytes()[i] == after.bytes()[i]);
    for (std::size_t i = 407; i < DirectoryMessage::Size; ++i) check(before.bytes()[i] == after.bytes()[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const auto msg = DirectoryMessage::fromBytes({data, size});
    check(msg.has_value() == (size == DirectoryMessage::Size));

    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::string a = text.substr(0, size / 3);
    const std::string b = text.substr(size / 3);
    for (const DirectoryMessage &fresh :
         {DirectoryMessage::linkKerfCam(a, b, text, b, a), DirectoryMessage::closeKerf(a, b),
          DirectoryMessage::channelRateZero(b, a), DirectoryMessage::changeChannelText(a, b, b, a)}) {
        for (Field field : AllFields) check(fresh.readText(field).size() <= layoutOf(field).capacity);
    }

    if (!msg) return 0;
    for (std::string_view word :
         {cmd::LinkKerfOk, cmd::DelChannelOnline, cmd::CamChannelMsg, cmd::SendP2PData, cmd::GetVersion})
        if (msg->matches(word)) check(msg->bytes()[0] == word.size());
    for (Field field : AllFields)
        check(layoutOf(field).offset + 1 + msg->readText(field).size() <= DirectoryMessage::Size);

    const std::string channel = msg->readText(Field::ChannelId);
    DirectoryMessage port = *msg;
    port.answerLinkKerfPort(channel, a);
    checkUntouchedOutside(*msg, port);
    check(port.matches(cmd::LinkKerfPort));

    DirectoryMessage chain = *msg;
    chain.answerUCanSee();
    for (std::size_t i = 8; i < DirectoryMessage::Size; ++i) check(chain.bytes()[i] == msg->bytes()[i]);
    chain.answerCamChannelRate(channel, a);
    checkUntouchedOutside(*msg, chain);
    chain.answerChannelOnline(channel, a, b);
    check(chain.readText(Field::ChannelId).size() <= 7);
    for (std::size_t i = 48; i < 396; ++i) check(chain.bytes()[i] == msg->bytes()[i]);
    return 0;
}
