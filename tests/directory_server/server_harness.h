// Test support: the real morlanex-directory process on a loopback address of
// the test's own, and scripted UDP peers (nodes, viewers) that talk to it.
// Every wait is bounded.
#pragma once

#include "net/socket.h"

#include "directory_link/directory_message.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace morlanex::testing {

using namespace std::chrono_literals;

struct Received {
    std::string fromAddress;
    std::uint16_t fromPort = 0;
    std::vector<std::uint8_t> bytes;
    std::optional<DirectoryMessage> message() const { return DirectoryMessage::fromBytes(bytes); }
};

// One UDP socket on a loopback address, port chosen by the system.
class ScriptedPeer {
public:
    explicit ScriptedPeer(const std::string &address = "127.0.0.1", std::uint16_t port = 0);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

    std::uint16_t port() const { return port_; }
    const std::string &address() const { return address_; }
    void send(const std::string &host, std::uint16_t port, const std::vector<std::uint8_t> &bytes);
    void send(const std::string &host, std::uint16_t port, const DirectoryMessage &msg);
    std::optional<Received> receive(std::chrono::milliseconds wait = 3s);
    // The next datagram whose command is word, skipping others; bounded.
    std::optional<DirectoryMessage> receiveCommand(std::string_view word, std::chrono::milliseconds wait = 3s);

private:
    UniqueFd fd_;
    std::string address_;
    std::uint16_t port_ = 0;
};

// A TCP listener standing in for a node's stream on its CAM address and port:
// the directory's liveness checks connect to it. stop() makes the port refuse.
class StreamStandIn {
public:
    // Port 0: one the system chooses.
    StreamStandIn(const std::string &address, std::uint16_t port);
    std::uint16_t port() const { return port_; }
    ~StreamStandIn();
    StreamStandIn(const StreamStandIn &) = delete;
    StreamStandIn &operator=(const StreamStandIn &) = delete;
    void stop();

private:
    UniqueFd fd_;
    std::uint16_t port_ = 0;
};

// A node with its two endpoints, as the application has them, and a stream
// stand-in on its CAM port (so the directory's liveness checks find it live).
struct ScriptedNode {
    explicit ScriptedNode(std::string id, const std::string &address = "127.0.0.1");

    std::optional<DirectoryMessage> registerAt(const std::string &server, const std::string &name = "Night Market",
                                               std::chrono::milliseconds wait = 3s);
    // The answer in place that shows the second endpoint.
    void showSecondEndpoint(const std::string &server, DirectoryMessage ok);
    // Registration and second endpoint, as a node that went live; the reply.
    std::optional<DirectoryMessage> goLive(const std::string &server);
    void sendFromUdp(const std::string &server, std::uint16_t port, const DirectoryMessage &msg) {
        udp.send(server, port, msg);
    }
    // Answers the next "SendP2PData" in place with "CAMChannelRate", as the
    // node does; false when none came.
    bool countNextViewer(const std::string &server);
    // A round trip on port 22: everything sent there before has been handled.
    bool sync(const std::string &server);

    std::string nodeId;
    // First: the CAM endpoint takes the stream's port (TCP ports are the busier ones).
    std::optional<StreamStandIn> stream;
    ScriptedPeer cam;
    ScriptedPeer udp;
    std::string channelId;
};

DirectoryMessage viewerRequest(std::string_view word, const std::string &channelId, const std::string &privateAddress,
                               std::uint16_t port);

// morlanex-directory run from the build tree with its stderr in a log file.
class DirectoryProcess {
public:
    DirectoryProcess(std::string address, std::filesystem::path database, std::vector<std::string> extraArgs = {});
    ~DirectoryProcess();  // stops it if still running

    // Starts the process and waits until it answers "GetVersion" (bounded).
    // False when it does not come up; log() then says why.
    bool start();
    // SIGTERM, then waits (bounded); the exit status, or -1 when it had to be
    // killed or died of a signal.
    int stop();
    // SIGKILL, as a crash; waits for the end.
    void crash();
    bool running();

    const std::string &address() const { return address_; }
    std::string log() const;

private:
    std::string address_;
    std::filesystem::path database_;
    std::vector<std::string> extraArgs_;
    std::filesystem::path logFile_;
    pid_t pid_ = -1;  // -1 once reaped
    int exitStatus_ = -1;
};

// morlanex-directory run to its end with these arguments (bounded): its exit
// code (-1 when killed) and what it wrote on stdout and stderr.
struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
CommandResult runDirectory(const std::vector<std::string> &args, const std::vector<std::string> &prefix = {});

// A fresh directory for one test's files, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::filesystem::path buildDir();

}  // namespace morlanex::testing
