// morlanex-directory: the directory daemon that Morlanex nodes register with.
//
//   morlanex-directory [--address A] [--port1 N] [--port2 N]
//                      [--version-text T] [--database PATH] [--http-port N]
//                      [--relay-base URL] [--push-ingest URL] [limits...]
//
// Listens on UDP A:20 and A:22 (root needed for those ports; --port1/--port2
// move them), keeps channels, views, texts and which channels are online in
// SQLite, checks that live channels' streams answer, logs events on stderr
// (limited per source), and ends cleanly on SIGTERM or SIGINT.
// Threads: one.
#include "directory_link/directory_message.h"
#include "directory_server/channel_page_server.h"
#include "directory_server/channel_store.h"
#include "directory_server/directory_metrics.h"
#include "directory_server/directory_server.h"
#include "directory_server/push_route.h"
#include "directory_server/reachability_route.h"
#include "directory_server/server_loop.h"

#include "net/http_client.h"
#include "net/socket.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

using namespace morlanex;

namespace {

struct Options {
    std::string address = "0.0.0.0";
    std::uint16_t firstPort = 20;
    std::uint16_t secondPort = 22;
    std::string versionText = "1.1.0.2";
    std::string database;
    std::string httpAddress;  // the datagram address when empty
    std::uint16_t httpPort = 0;  // 0: no channel page
    std::string relayBase;  // the cache tier's address, without a trailing slash
    std::string pushIngest;  // where the tier's shield takes pushes, without a trailing slash
    DirectoryRules rules;
};

constexpr const char *Usage = "usage: morlanex-directory [options]\n"
                              "The Morlanex directory daemon: channels register on UDP port 20, viewers and\n"
                              "nodes talk on port 22 (see docs/directory-protocol.md).\n"
                              "\n"
                              "  --address IPV4            address to listen on (0.0.0.0)\n"
                              "  --port1 N, --port2 N      the two UDP ports (20 and 22)\n"
                              "  --version-text TEXT       version the nodes must have, at most 7 bytes (1.1.0.2)\n"
                              "  --database PATH           SQLite file ($XDG_STATE_HOME/morlanex/directory.sqlite)\n"
                              "  --http-port N             serve the channel page on this TCP port (off)\n"
                              "  --http-address IPV4       address for the channel page (the --address)\n"
                              "  --relay-base URL          link live channels also through the cache tier at URL\n"
                              "                            (http://... or https://...; needs --http-port)\n"
                              "  --push-ingest URL         nodes nobody reaches push to the tier's shield at URL\n"
                              "                            (http://host:port; needs --relay-base)\n"
                              "  --check-interval SECONDS  liveness check of each online channel (60)\n"
                              "  --check-retry SECONDS     after a failed check (10)\n"
                              "  --check-timeout SECONDS   a check's TCP connect (5)\n"
                              "  --failed-checks N         failed checks in a row that take a channel offline (3)\n"
                              "  --max-channels-per-source N     channels online from one address (32)\n"
                              "  --registrations-per-minute N    registrations from one address (20)\n"
                              "  --stored-per-source N     channels kept in the database per address (256)\n"
                              "  --prune-after SECONDS     forget channels offline this long (2592000, 30 days)\n"
                              "  --view-window SECONDS     a viewer address counts once per channel within it (3600)\n"
                              "  --help                    this text\n";

void logLine(const std::string &line) {
    std::fprintf(stderr, "morlanex-directory: %s\n", line.c_str());
    std::fflush(stderr);
}

[[noreturn]] void usage(const std::string &problem) {
    std::fprintf(stderr, "morlanex-directory: %s\n%s", problem.c_str(), Usage);
    std::exit(2);
}

long long parseWhole(const std::string &flag, const std::string &text, long long low, long long high) {
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
        usage("bad value for " + flag + ": " + text);
    return value;
}

// Seconds, fractions allowed: the tests run the schedule fast.
DirectoryRules::Duration parseSeconds(const std::string &flag, const std::string &text) {
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= 0.01 && value <= 86400.0))
        usage("bad value for " + flag + ": " + text);
    return DirectoryRules::Duration(static_cast<long long>(value * 1000.0));
}

// $XDG_STATE_HOME/morlanex/directory.sqlite, or under ~/.local/state.
std::string defaultDatabase() {
    std::filesystem::path base;
    if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state)
        base = state;
    else if (const char *home = std::getenv("HOME"); home && *home)
        base = std::filesystem::path(home) / ".local" / "state";
    else
        base = ".";
    return (base / "morlanex" / "directory.sqlite").string();
}

Options parse(int argc, char **argv) {
    Options options;
    DirectoryRules &rules = options.rules;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            std::fputs(Usage, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) usage("missing value for " + flag);
        const std::string value = argv[++i];
        constexpr long long Many = 1'000'000'000;
        if (flag == "--address")
            options.address = value;
        else if (flag == "--port1")
            options.firstPort = static_cast<std::uint16_t>(parseWhole(flag, value, 1, 65535));
        else if (flag == "--port2")
            options.secondPort = static_cast<std::uint16_t>(parseWhole(flag, value, 1, 65535));
        else if (flag == "--version-text")
            options.versionText = value;
        else if (flag == "--database")
            options.database = value;
        else if (flag == "--http-port")
            options.httpPort = static_cast<std::uint16_t>(parseWhole(flag, value, 1, 65535));
        else if (flag == "--http-address")
            options.httpAddress = value;
        else if (flag == "--relay-base")
            options.relayBase = value;
        else if (flag == "--push-ingest")
            options.pushIngest = value;
        else if (flag == "--check-interval")
            rules.checkInterval = parseSeconds(flag, value);
        else if (flag == "--check-retry")
            rules.checkRetry = parseSeconds(flag, value);
        else if (flag == "--check-timeout")
            rules.checkTimeout = parseSeconds(flag, value);
        else if (flag == "--failed-checks")
            rules.failedChecksOffline = static_cast<int>(parseWhole(flag, value, 1, 100));
        else if (flag == "--max-channels-per-source")
            rules.maxOnlinePerSource = static_cast<std::size_t>(parseWhole(flag, value, 1, 10000));
        else if (flag == "--registrations-per-minute")
            rules.registrationsPerMinute = static_cast<double>(parseWhole(flag, value, 1, Many));
        else if (flag == "--stored-per-source")
            rules.storedPerSource = static_cast<std::size_t>(parseWhole(flag, value, 1, Many));
        else if (flag == "--prune-after")
            rules.pruneAfter = std::chrono::seconds(parseWhole(flag, value, 1, Many));
        else if (flag == "--view-window")
            rules.viewWindow = std::chrono::seconds(parseWhole(flag, value, 0, Many));
        else
            usage("unknown option " + flag);
    }
    if (options.versionText.size() > layoutOf(Field::ChannelId).capacity) usage("the version text must fit 7 bytes");
    if (options.database.empty()) options.database = defaultDatabase();
    while (options.relayBase.ends_with('/')) options.relayBase.pop_back();
    // It lands in pages and JSON: a plain address, nothing to escape out of.
    const bool relayOk = std::none_of(options.relayBase.begin(), options.relayBase.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == '"' || c == '\'' || c == '<' || c == '>' || c == '\\' ||
            c == '?' || c == '#' || static_cast<unsigned char>(c) >= 0x7f;
    });
    const bool web = options.relayBase.starts_with("http://") || options.relayBase.starts_with("https://");
    if (!options.relayBase.empty() && (!relayOk || !web)) usage("bad value for --relay-base: " + options.relayBase);
    if (!options.relayBase.empty() && options.httpPort == 0) usage("--relay-base needs --http-port");
    while (options.pushIngest.ends_with('/')) options.pushIngest.pop_back();
    // Nodes connect to it with their own plain HTTP client: an address or name, and a port.
    const std::optional<HttpUrl> ingest = parseHttpUrl(options.pushIngest);
    if (!options.pushIngest.empty() && (!ingest || ingest->path != "/"))
        usage("bad value for --push-ingest: " + options.pushIngest);
    if (!options.pushIngest.empty() && options.relayBase.empty()) usage("--push-ingest needs --relay-base");
    return options;
}

}  // namespace

// Each connection of the channel page holds a descriptor while its request comes in (up to
// the admission pool's size): more than the usual soft limit of 1024.
static void raiseOpenFileLimit() {
    constexpr rlim_t Wanted = 65536;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= Wanted) return;
    files.rlim_cur = std::min<rlim_t>(Wanted, files.rlim_max);
    setrlimit(RLIMIT_NOFILE, &files);
}

int main(int argc, char **argv) {
    const Options options = parse(argc, argv);
    raiseOpenFileLimit();

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const UniqueFd stopFd(signalfd(-1, &stopSignals, SFD_CLOEXEC));
    if (!stopFd) {
        logLine("cannot watch for signals");
        return 1;
    }

    try {
        const std::filesystem::path databasePath(options.database);
        if (databasePath.has_parent_path() && options.database != ":memory:")
            std::filesystem::create_directories(databasePath.parent_path());
        ChannelStore store(options.database);
        DirectoryServer server(store, options.versionText, logLine, options.rules);
        ServerLoop loop(server, logLine);
        loop.bind(options.address, options.firstPort, options.secondPort);
        const std::string pageAddress = options.httpAddress.empty() ? options.address : options.httpAddress;
        std::optional<ChannelListing> listing;
        std::optional<ChannelPageServer> page;
        ReachabilityRoute reachability(server, loop);
        PushRoute push(server, options.pushIngest);
        if (options.httpPort != 0) {
            listing.emplace(options.database);
            page.emplace(loop.reactor(), *listing, logLine);
            page->serveTier({.relayBase = options.relayBase,
                             .origin = [&server](std::string_view id) -> std::optional<std::string> {
                                 if (server.pushed(id)) return "pushed";
                                 const std::optional<Peer> origin = server.liveOrigin(id);
                                 if (!origin) return std::nullopt;
                                 return origin->address + ":" + std::to_string(origin->port);
                             },
                             .metrics = [&server, &loop] { return renderDirectoryMetrics(server, loop); },
                             .nodeQuestion =
                                 [&reachability](const std::string &peer, const std::string &target,
                                                 ChannelPageServer::JsonReply reply) {
                                     reachability.ask(peer, target, std::move(reply));
                                 },
                             .isPush = [](std::string_view target) { return PushRoute::handles(target); },
                             .push = [&push](const std::string &peer,
                                             const HttpRequest &request) { return push.answer(peer, request); },
                             .relayOnly = [&server](std::string_view id) { return server.relayOnly(id); }});
            page->bind(pageAddress, options.httpPort);
        }
        logLine("listening on " + options.address + " ports " + std::to_string(options.firstPort) + " and " +
                std::to_string(options.secondPort) + ", version " + options.versionText + ", database " +
                options.database);
        if (page) logLine("channel page on http://" + pageAddress + ":" + std::to_string(page->port()) + "/");
        loop.run(stopFd.get());
        logLine("stopped after " + std::to_string(loop.datagramsHandled()) + " datagrams and " +
                std::to_string(loop.checksMade()) + " liveness checks");
    } catch (const std::exception &error) {
        std::string text = error.what();
        for (char &c : text)
            if (c == '\r' || c == '\n') c = ' ';
        logLine("cannot start: " + text);
        return 1;
    }
    return 0;
}
