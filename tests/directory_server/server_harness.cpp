#include "tests/directory_server/server_harness.h"

#include "net/ipv4.h"
#include "tests/support/poll_until.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace morlanex::testing {

std::filesystem::path buildDir() {
    const char *dir = std::getenv("MORLANEX_BUILD_DIR");
    return dir ? std::filesystem::path(dir) : std::filesystem::current_path();
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "morlanex-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScriptedPeer::ScriptedPeer(const std::string &address, std::uint16_t port) : address_(address) {
    fd_ = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = *parseDottedQuad(address);
    local.sin_port = htons(port);
    if (!fd_ || ::bind(fd_.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        throw std::runtime_error("cannot bind scripted peer on " + address);
    socklen_t length = sizeof local;
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr *>(&local), &length);
    port_ = ntohs(local.sin_port);
}

ScriptedPeer::~ScriptedPeer() = default;

void ScriptedPeer::send(const std::string &host, std::uint16_t port, const std::vector<std::uint8_t> &bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = *parseDottedQuad(host);
    to.sin_port = htons(port);
    if (::sendto(fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
        throw std::runtime_error("scripted peer cannot send");
}

void ScriptedPeer::send(const std::string &host, std::uint16_t port, const DirectoryMessage &msg) {
    send(host, port, std::vector<std::uint8_t>(msg.bytes().begin(), msg.bytes().end()));
}

std::optional<Received> ScriptedPeer::receive(std::chrono::milliseconds wait) {
    pollfd fds{fd_.get(), POLLIN, 0};
    if (::poll(&fds, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
    std::vector<std::uint8_t> buffer(65536);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t size =
        ::recvfrom(fd_.get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from), &length);
    if (size < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(size));
    return Received{dottedQuad(from.sin_addr), ntohs(from.sin_port), std::move(buffer)};
}

std::optional<DirectoryMessage> ScriptedPeer::receiveCommand(std::string_view word, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        auto got = receive(left);
        if (!got) return std::nullopt;
        auto msg = got->message();
        if (msg && msg->matches(word)) return msg;
    }
}

StreamStandIn::StreamStandIn(const std::string &address, std::uint16_t port) {
    fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = *parseDottedQuad(address);
    local.sin_port = htons(port);
    // A deep backlog: the checks' connections are never accepted, the kernel completes them.
    if (!fd_ || ::bind(fd_.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ::listen(fd_.get(), 4096) != 0)
        throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port));
    socklen_t length = sizeof local;
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr *>(&local), &length);
    port_ = ntohs(local.sin_port);
}

StreamStandIn::~StreamStandIn() { stop(); }

void StreamStandIn::stop() { fd_.reset(); }

ScriptedNode::ScriptedNode(std::string id, const std::string &address)
    : nodeId(std::move(id)), stream(std::in_place, address, 0), cam(address, stream->port()), udp(address) {}

std::optional<DirectoryMessage> ScriptedNode::registerAt(const std::string &server, const std::string &name,
                                                         std::chrono::milliseconds wait) {
    cam.send(server, 20, DirectoryMessage::linkKerfCam(nodeId, "192.168.7.7", name, "live from the stall", "food"));
    auto ok = cam.receiveCommand(cmd::LinkKerfOk, wait);
    if (ok) channelId = ok->readText(Field::ChannelId);
    return ok;
}

void ScriptedNode::showSecondEndpoint(const std::string &server, DirectoryMessage ok) {
    ok.answerLinkKerfPort(channelId, nodeId);
    udp.send(server, 22, ok);
}

std::optional<DirectoryMessage> ScriptedNode::goLive(const std::string &server) {
    auto ok = registerAt(server);
    if (ok) showSecondEndpoint(server, *ok);
    return ok;
}

bool ScriptedNode::countNextViewer(const std::string &server) {
    auto p2p = udp.receiveCommand(cmd::SendP2PData);
    if (!p2p) return false;
    p2p->answerCamChannelRate(channelId, nodeId);
    udp.send(server, 22, *p2p);
    return true;
}

bool ScriptedNode::sync(const std::string &server) {
    udp.send(server, 22, DirectoryMessage::getVersion());
    return udp.receiveCommand(cmd::GetVersion).has_value();
}

DirectoryMessage viewerRequest(std::string_view word, const std::string &channelId, const std::string &privateAddress,
                               std::uint16_t port) {
    DirectoryMessage msg;
    msg.writeCommand(word);
    msg.writeText(Field::ChannelId, channelId);
    msg.writeText(Field::PrivateAddress, privateAddress);
    msg.writeText(Field::PeerPort, port ? std::to_string(port) : "");
    return msg;
}

DirectoryProcess::DirectoryProcess(std::string address, std::filesystem::path database,
                                   std::vector<std::string> extraArgs)
    : address_(std::move(address)), database_(std::move(database)), extraArgs_(std::move(extraArgs)) {
    logFile_ = database_.parent_path() / ("directory-" + address_ + ".log");
}

DirectoryProcess::~DirectoryProcess() {
    if (running()) stop();
}

bool DirectoryProcess::start() {
    const std::string program = (buildDir() / "directory_server" / "morlanex-directory").string();
    std::vector<std::string> args = {program, "--address", address_, "--database", database_.string()};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const std::size_t logged = log().size();  // a restart appends to the same log
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logFile_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int result = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        pid_ = -1;
        return false;
    }
    // Ours has bound its ports when it says so in its log (an answer alone may come from a
    // stale daemon of an aborted run), and serves when it answers.
    ScriptedPeer probe;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    pollUntil([&] { return !running() || log().find("morlanex-directory: listening on", logged) != std::string::npos; },
              5s, 20ms);
    while (running() && std::chrono::steady_clock::now() < deadline) {
        if (log().find("morlanex-directory: listening on", logged) == std::string::npos) return false;
        probe.send(address_, 22, DirectoryMessage::getVersion());
        if (probe.receiveCommand(cmd::GetVersion, 100ms)) return running();
    }
    return false;
}

bool DirectoryProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;  // reaped: never signal that number again
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
}

int DirectoryProcess::stop() {
    if (!running()) return exitStatus_;
    ::kill(pid_, SIGTERM);
    if (pollUntil([&] { return !running(); }, 5s, 50ms)) return exitStatus_;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    exitStatus_ = -1;
    return exitStatus_;
}

void DirectoryProcess::crash() {
    if (!running()) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    exitStatus_ = -1;
}

CommandResult runDirectory(const std::vector<std::string> &args, const std::vector<std::string> &prefix) {
    TempDir temp;
    const std::string program = (buildDir() / "directory_server" / "morlanex-directory").string();
    std::vector<std::string> all = prefix;
    all.push_back(program);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const auto outFile = temp.path() / "out", errFile = temp.path() / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, all.front().c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    CommandResult result;
    if (spawned != 0) return result;
    int status = 0;
    if (!pollUntil([&] { return ::waitpid(pid, &status, WNOHANG) != 0; }, 10s, 50ms)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    auto slurp = [](const std::filesystem::path &file) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    result.out = slurp(outFile);
    result.err = slurp(errFile);
    return result;
}

std::string DirectoryProcess::log() const {
    std::ifstream in(logFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace morlanex::testing
