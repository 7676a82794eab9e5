// directory-version-query ADDRESS [PORT]: asks a running morlanex-directory for its version
// ("GetVersion" to port 22 unless told), prints the announced text and exits 0; exits 1 when no
// answer comes within 3 seconds. Used by scripts/check-install against the installed service.
#include "server_harness.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

using namespace morlanex;

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: directory-version-query ADDRESS [PORT]\n");
        return 2;
    }
    const std::string address = argv[1];
    const int port = argc == 3 ? std::atoi(argv[2]) : 22;
    if (port < 1 || port > 65535) {
        std::fprintf(stderr, "directory-version-query: bad port %s\n", argv[2]);
        return 2;
    }
    try {
        testing::ScriptedPeer peer(address.rfind("127.", 0) == 0 ? address : "0.0.0.0");
        peer.send(address, static_cast<std::uint16_t>(port), DirectoryMessage::getVersion());
        const auto reply = peer.receiveCommand(cmd::GetVersion);
        if (!reply) {
            std::fprintf(stderr, "directory-version-query: no answer from %s:%d\n", address.c_str(), port);
            return 1;
        }
        std::printf("%s\n", reply->readText(Field::ChannelId).c_str());
    } catch (const std::exception &error) {
        std::fprintf(stderr, "directory-version-query: %s\n", error.what());
        return 1;
    }
    return 0;
}
