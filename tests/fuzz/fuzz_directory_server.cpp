// libFuzzer: the directory daemon's datagram handling, without sockets.
// The input is a run of datagrams, each a control byte, a length byte n and
// up to 3n bytes of record, padded with zeros to 663 (so short inputs make
// whole records). The control byte picks the port, one of four senders and
// whether the bytes go out as they are, cut short of a record, and whether the
// liveness checks due then run, answered or not. Every answer must be a whole record going to a
// sender the server has heard from.
#include "directory_server/channel_store.h"
#include "directory_server/directory_server.h"

#include <algorithm>
#include <cstdlib>
#include <set>

using namespace morlanex;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

const Peer Senders[] = {
    {"127.0.0.1", 40000},
    {"127.0.0.1", 40001},
    {"10.0.0.7", 50000},
    {"192.168.1.9", 1},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    ChannelStore store(":memory:");
    DirectoryServer server(store, "1.1.0.2", nullptr);
    std::set<std::string> heardFrom;

    while (size >= 2) {
        const std::uint8_t control = data[0];
        const std::size_t length = std::min<std::size_t>(size - 2, data[1] * 3u);
        data += 2;
        size -= 2;
        DirectoryMessage::Bytes record{};
        std::copy(data, data + std::min(length, record.size()), record.begin());
        const bool raw = (control & 0x08) != 0;

        Incoming in;
        in.at = (control & 1) ? DirectoryPort::Second : DirectoryPort::First;
        in.from = Senders[(control >> 1) & 3];
        in.localAddress = "127.0.0.5";
        in.bytes = raw ? std::span<const std::uint8_t>(data, length) : std::span<const std::uint8_t>(record);
        heardFrom.insert(in.from.address);

        std::vector<Outgoing> sent = server.handle(in);
        // Liveness checks due now (new channels wait; restored ones never) end
        // as the control byte says: a takeover may register its sender then.
        if (control & 0x10) {
            for (const LivenessCheck &due : server.dueChecks()) {
                check(heardFrom.contains(due.target.address));
                auto more = server.checkDone(due.id, (control & 0x20) != 0);
                sent.insert(sent.end(), more.begin(), more.end());
            }
        }
        for (const Outgoing &out : sent) {
            check(out.message.bytes().size() == DirectoryMessage::Size);
            check(heardFrom.contains(out.to.address));
            check(out.to.port != 0);
            check(out.message.readText(Field::ChannelId).size() <= 7);
        }
        data += length;
        size -= length;
    }
    check(server.onlineChannels() <= server.rules().maxOnlineChannels);
    return 0;
}
