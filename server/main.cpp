// morlanex-directory: the directory daemon that Morlanex nodes register with.
//
//   morlanex-directory [--address A] [--port1 N] [--port2 N]
//                      [--version-text T] [--database PATH]
//
// Listens on UDP A:20 and A:22 (root needed for those ports; --port1/--port2
// move them), keeps channel views and texts per node in SQLite, logs one line
// per event on stderr, and ends cleanly on SIGTERM or SIGINT.
// Threads: one.
#include "directory/directory_message.h"
#include "server/channel_store.h"
#include "server/directory_server.h"
#include "server/server_loop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace morlanex;

namespace {

struct Options {
    std::string address = "0.0.0.0";
    std::uint16_t firstPort = 20;
    std::uint16_t secondPort = 22;
    std::string versionText = "1.1.0.2";
    std::string database;
};

void log(const std::string &line)
{
    std::fprintf(stderr, "morlanex-directory: %s\n", line.c_str());
    std::fflush(stderr);
}

[[noreturn]] void usage(const char *problem)
{
    std::fprintf(stderr,
                 "morlanex-directory: %s\n"
                 "usage: morlanex-directory [--address IPV4] [--port1 N] [--port2 N]"
                 " [--version-text TEXT] [--database PATH]\n",
                 problem);
    std::exit(2);
}

std::uint16_t parsePort(const std::string &text)
{
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > 65535)
        usage(("bad port: " + text).c_str());
    return static_cast<std::uint16_t>(value);
}

// $XDG_STATE_HOME/morlanex/directory.sqlite, or under ~/.local/state.
std::string defaultDatabase()
{
    std::filesystem::path base;
    if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state)
        base = state;
    else if (const char *home = std::getenv("HOME"); home && *home)
        base = std::filesystem::path(home) / ".local" / "state";
    else
        base = ".";
    return (base / "morlanex" / "directory.sqlite").string();
}

Options parse(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h")
            usage("the Morlanex directory daemon");
        if (i + 1 >= argc)
            usage(("missing value for " + flag).c_str());
        const std::string value = argv[++i];
        if (flag == "--address")
            options.address = value;
        else if (flag == "--port1")
            options.firstPort = parsePort(value);
        else if (flag == "--port2")
            options.secondPort = parsePort(value);
        else if (flag == "--version-text")
            options.versionText = value;
        else if (flag == "--database")
            options.database = value;
        else
            usage(("unknown option " + flag).c_str());
    }
    if (options.versionText.size() > layoutOf(Field::ChannelId).capacity)
        usage("the version text must fit 7 bytes");
    if (options.database.empty())
        options.database = defaultDatabase();
    return options;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parse(argc, argv);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (stopFd < 0) {
        log("cannot watch for signals");
        return 1;
    }

    try {
        const std::filesystem::path databasePath(options.database);
        if (databasePath.has_parent_path() && options.database != ":memory:")
            std::filesystem::create_directories(databasePath.parent_path());
        ChannelStore store(options.database);
        DirectoryServer server(store, options.versionText, log);
        ServerLoop loop(server, log);
        loop.bind(options.address, options.firstPort, options.secondPort);
        log("listening on " + options.address + " ports " + std::to_string(options.firstPort) +
            " and " + std::to_string(options.secondPort) + ", version " + options.versionText +
            ", database " + options.database);
        loop.run(stopFd);
        log("stopped");
    } catch (const std::exception &error) {
        std::string text = error.what();
        for (char &c : text)
            if (c == '\r' || c == '\n')
                c = ' ';
        log("cannot start: " + text);
        close(stopFd);
        return 1;
    }
    close(stopFd);
    return 0;
}
