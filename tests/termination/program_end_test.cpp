// The real program ended by a signal: it runs the exit item's shutdown (the close notice reaches
// the directory's first port), leaves its files as they were and exits with 0. The directory is
// a scripted pair of ports 20 and 22 on a loopback address of the test's own (tests run as root).
#include "bench/bench_process.h"
#include "directory_link/directory_message.h"
#include "tests/directory_server/server_harness.h"
#include "tests/support/poll_until.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <set>
#include <sstream>

extern char **environ;

using namespace morlanex;
using namespace morlanex::testing;

namespace {

// A hang guard, not a speed target: start-up loads GStreamer and the windows on a busy machine.
constexpr auto kPatience = 30s;

std::string fileText(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The program from the build tree with a configuration folder of its own, which is also its
// runtime folder, so copies run by other tests at the same time are not handed over to.
class ProgramProcess {
public:
    explicit ProgramProcess(const std::filesystem::path &configHome) : log_(configHome / "program.log") {
        const std::string program = (buildDir() / "app" / "morlanex").string();
        std::vector<std::string> variables = {
            "XDG_CONFIG_HOME=" + configHome.string(),
            "XDG_RUNTIME_DIR=" + configHome.string(),
            "QT_QPA_PLATFORM=offscreen",
            "GST_PLUGIN_PATH=" + (buildDir() / "media" / "testdevices").string(),
            "GST_REGISTRY=" + (configHome / "registry.bin").string(),
        };
        for (char **entry = environ; *entry; ++entry) {
            const std::string_view text(*entry);
            const auto name = text.substr(0, text.find('=') + 1);
            if (name != "XDG_CONFIG_HOME=" && name != "XDG_RUNTIME_DIR=" && name != "QT_QPA_PLATFORM=" &&
                name != "GST_PLUGIN_PATH=" && name != "GST_REGISTRY=")
                variables.emplace_back(text);
        }
        std::vector<char *> envp;
        for (std::string &variable : variables) envp.push_back(variable.data());
        envp.push_back(nullptr);
        std::string name = program;
        char *argv[] = {name.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ProgramProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }
    std::string log() const { return fileText(log_); }

    // The ports of the program's two UDP endpoints, once both are open (the TCP port it keeps
    // for the stream is bound without listening, which /proc does not list).
    std::set<std::uint16_t> endpointPorts() {
        std::set<std::uint16_t> udp;
        pollUntil([&] { return pid_ <= 0 || (udp = bench::udpPorts(pid_)).size() >= 2; }, kPatience, 50ms);
        return udp.size() >= 2 ? udp : std::set<std::uint16_t>();
    }

    // The wait status once the program has ended; nullopt when it does not end in time.
    std::optional<int> waitForEnd() {
        int status = 0;
        if (!pollUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, kPatience, 20ms)) return std::nullopt;
        pid_ = -1;
        return status;
    }

private:
    std::filesystem::path log_;
    pid_t pid_ = -1;
};

struct EndingSignal {
    int number;
    const char *name;
    const char *directoryAddress;
};

void PrintTo(const EndingSignal &ending, std::ostream *out) { *out << ending.name; }

class ProgramEnd : public ::testing::TestWithParam<EndingSignal> {};

}  // namespace

TEST_P(ProgramEnd, SignalRunsTheExitShutdown) {
    const EndingSignal ending = GetParam();
    const std::string server = ending.directoryAddress;
    TempDir home;
    const auto folder = home.path() / "Ulma" / "Morlanex";
    std::filesystem::create_directories(folder);
    const std::string conf = "[Directory]\nAddress=" + server + "\n";
    std::ofstream(folder / "Morlanex.conf", std::ios::binary) << conf;
    const std::string settings = "Night market\r\n  live from the stall \r\n0\r\n0\r\n0\r\n1\r\nfood\r\n";
    std::ofstream(folder / "DefData.ini", std::ios::binary) << settings;

    ScriptedPeer first(server, 20);
    ScriptedPeer second(server, 22);
    ProgramProcess program(home.path());
    ASSERT_GT(program.pid(), 0);
    const auto endpoints = program.endpointPorts();
    ASSERT_EQ(endpoints.size(), 2u) << program.log();

    // The program is not registering: an acknowledgement is answered with a close notice for
    // its channel. Which endpoint is the first does not show from outside; the other ignores it.
    DirectoryMessage ok;
    ok.writeCommand(cmd::LinkKerfOk);
    ok.writeText(Field::ChannelId, "4711");
    ok.writeText(Field::PublicAddress, "127.0.0.1");
    ok.writeText(Field::ViewerCount, "12");
    for (std::uint16_t port : endpoints) first.send("127.0.0.1", port, ok);
    const auto refused = first.receiveCommand(cmd::CloseKerf, kPatience);
    ASSERT_TRUE(refused) << program.log();
    EXPECT_EQ(refused->readText(Field::ChannelId), "4711");

    ASSERT_EQ(::kill(program.pid(), ending.number), 0);
    const auto notice = first.receiveCommand(cmd::CloseKerf, kPatience);
    ASSERT_TRUE(notice) << ending.name << " sent no close notice\n" << program.log();
    EXPECT_EQ(notice->readText(Field::AdapterAddress), refused->readText(Field::AdapterAddress));
    EXPECT_FALSE(second.receiveCommand(cmd::LinkKerfPort, 300ms)) << "nothing was registered";

    const auto status = program.waitForEnd();
    ASSERT_TRUE(status) << ending.name << " did not end the program\n" << program.log();
    EXPECT_TRUE(WIFEXITED(*status)) << ending.name << " killed the program";
    EXPECT_EQ(WEXITSTATUS(*status), 0) << program.log();
    EXPECT_FALSE(first.receiveCommand(cmd::CloseKerf, 300ms)) << "the shutdown runs once";
    EXPECT_EQ(fileText(folder / "DefData.ini"), settings);
    EXPECT_EQ(fileText(folder / "Morlanex.conf"), conf);
}

INSTANTIATE_TEST_SUITE_P(EveryEndingSignal, ProgramEnd,
                         ::testing::Values(EndingSignal{SIGTERM, "SIGTERM", "127.0.9.1"},
                                           EndingSignal{SIGINT, "SIGINT", "127.0.9.2"},
                                           EndingSignal{SIGHUP, "SIGHUP", "127.0.9.3"}),
                         [](const auto &info) { return std::string(info.param.name); });
