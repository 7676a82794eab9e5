// Directory benchmark: morlanex-directory with many channels online, each a
// scripted node with its UDP endpoint and a TCP listener on the same port
// (its "stream"), all on loopback addresses of their own (127.1.x.y).
//
//   directory_bench --directory PATH [--channels 10000] [--check-seconds 20]
//                   [--check-interval 10] [--flood-seconds 10]
//
// Prints two figures, measured as the daemon's own CPU time (/proc), so the
// machine's other load does not skew them:
//   - liveness: CPU per check, and the share of one core the documented
//     schedule (each channel every 60 s) costs at this many channels;
//   - datagrams: the rate one daemon core handles with all channels online,
//     for a realistic mix (a viewer's "WatchChannel", the node's
//     "ChannelOnline", the viewer's "LeaveChannel"; each one SQLite write).
#include "bench_process.h"

#include "directory_link/directory_message.h"
#include "net/ipv4.h"
#include "net/socket.h"
#include "directory_server/server_loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace morlanex;
using namespace std::chrono_literals;

namespace {

constexpr const char *DirectoryAddress = "127.0.6.1";
constexpr std::uint16_t FirstPort = 40620;
constexpr std::uint16_t SecondPort = 40622;

struct Node {
    std::string address;
    std::string nodeId;
    std::string channelId;
    std::uint16_t port = 0;  // CAM and stream port
    UniqueFd udp;  // CAM endpoint, also the second endpoint here; while registering
    UniqueFd stream;  // TCP listener on the same port
};

sockaddr_in socketAddress(const std::string &address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_addr = *parseDottedQuad(address);
    result.sin_port = htons(port);
    return result;
}

void sendTo(int fd, std::uint16_t port, const DirectoryMessage &msg) {
    const sockaddr_in to = socketAddress(DirectoryAddress, port);
    ::sendto(fd, msg.bytes().data(), msg.bytes().size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

// The node's stream: a TCP listener on its address, port chosen by the system.
bool openStream(Node &node) {
    node.stream = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in local = socketAddress(node.address, 0);
    socklen_t length = sizeof local;
    if (::bind(node.stream.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ::listen(node.stream.get(), 64) != 0)
        return false;
    ::getsockname(node.stream.get(), reinterpret_cast<sockaddr *>(&local), &length);
    node.port = ntohs(local.sin_port);
    return true;
}

// The node's UDP endpoint on the stream's port, open only while it registers
// (the open-file limit allows one socket a channel, not two).
bool openEndpoint(Node &node) {
    node.udp = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_in local = socketAddress(node.address, node.port);
    if (::bind(node.udp.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0) return true;
    node.udp.reset();
    return false;
}

void closeEndpoint(Node &node) { node.udp.reset(); }

// Sends from any local address through one socket (all of 127/8 is ours).
void sendFrom(int fd, const std::string &source, std::uint16_t port, const DirectoryMessage &msg) {
    sendRecordFrom(fd, {DirectoryAddress, port}, source, msg.span());
}

std::optional<DirectoryMessage> receiveRecord(int fd) {
    std::uint8_t buffer[1024];
    const ssize_t size = ::recv(fd, buffer, sizeof buffer, 0);
    if (size < 0) return std::nullopt;
    return DirectoryMessage::fromBytes({buffer, static_cast<std::size_t>(size)});
}

// Registers the nodes in small batches (the daemon's receive buffer holds a few
// hundred records), each waited for with one deadline; lost ones go again.
std::size_t registerNodes(std::vector<Node> &nodes) {
    constexpr std::size_t Batch = 50;
    for (int pass = 0; pass < 3; ++pass) {
        std::vector<Node *> left;
        for (Node &node : nodes)
            if (node.channelId.empty()) left.push_back(&node);
        for (std::size_t start = 0; start < left.size(); start += Batch) {
            const std::size_t end = std::min(left.size(), start + Batch);
            for (std::size_t i = start; i < end; ++i)
                if (openEndpoint(*left[i]))
                    sendTo(left[i]->udp.get(), FirstPort,
                           DirectoryMessage::linkKerfCam(left[i]->nodeId, left[i]->address, "bench channel",
                                                         "a scripted node", "bench"));
            const auto deadline = std::chrono::steady_clock::now() + 1s;
            for (std::size_t i = start; i < end; ++i) {
                const auto wait =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                pollfd ready{left[i]->udp.get(), POLLIN, 0};
                if (!left[i]->udp || ::poll(&ready, 1, static_cast<int>(std::max<long>(0, wait.count()))) <= 0)
                    continue;
                auto ok = receiveRecord(left[i]->udp.get());
                if (!ok || !ok->matches(cmd::LinkKerfOk)) continue;
                left[i]->channelId = ok->readText(Field::ChannelId);
                ok->answerLinkKerfPort(left[i]->channelId, left[i]->nodeId);
                sendTo(left[i]->udp.get(), SecondPort, *ok);
            }
            // Answers to the second endpoint (none expected before the flood) would go
            // nowhere once it is closed; the daemon is not told, as with a real node.
            for (std::size_t i = start; i < end; ++i) closeEndpoint(*left[i]);
        }
    }
    return static_cast<std::size_t>(
        std::count_if(nodes.begin(), nodes.end(), [](const Node &node) { return !node.channelId.empty(); }));
}

// Accepts and closes every check's connection, counting them.
class StreamListeners {
public:
    explicit StreamListeners(const std::vector<Node> &nodes) {
        epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
        for (const Node &node : nodes) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = node.stream.get();
            ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, node.stream.get(), &event);
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~StreamListeners() {
        running_ = false;
        thread_.join();
    }
    std::uint64_t accepted() const { return accepted_; }

private:
    void serve() {
        epoll_event events[256];
        while (running_) {
            const int ready = ::epoll_wait(epoll_.get(), events, 256, 100);
            for (int i = 0; i < ready; ++i) {
                while (UniqueFd(::accept4(events[i].data.fd, nullptr, nullptr, SOCK_CLOEXEC))) ++accepted_;
            }
        }
    }

    UniqueFd epoll_;
    std::atomic<bool> running_{true};
    std::atomic<std::uint64_t> accepted_{0};
    std::thread thread_;
};

std::string fileText(const std::filesystem::path &file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// "stopped after N datagrams" from the daemon's log.
std::uint64_t datagramsHandled(const std::string &log) {
    const auto at = log.find("stopped after ");
    return at == std::string::npos ? 0 : std::stoull(log.substr(at + 14));
}

}  // namespace

int main(int argc, char **argv) {
    std::string program;
    std::size_t channels = 10000;
    int checkSeconds = 20, checkInterval = 10, floodSeconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
        if (flag == "--directory")
            program = value;
        else if (flag == "--channels")
            channels = std::stoul(value);
        else if (flag == "--check-seconds")
            checkSeconds = std::stoi(value);
        else if (flag == "--check-interval")
            checkInterval = std::stoi(value);
        else if (flag == "--flood-seconds")
            floodSeconds = std::stoi(value);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (program.empty()) {
        std::fprintf(stderr,
                     "usage: directory_bench --directory PATH [--channels N] [--check-seconds S]"
                     " [--check-interval S] [--flood-seconds S]\n");
        return 2;
    }
    // A listener a node, the viewers, the registering batch.
    const rlim_t wanted = channels + 2000;
    rlimit files{wanted, wanted};
    if (::setrlimit(RLIMIT_NOFILE, &files) != 0) {
        ::getrlimit(RLIMIT_NOFILE, &files);
        channels = std::min<std::size_t>(channels, files.rlim_cur - 2000);
        std::printf("open-file limit %llu: %zu channels\n", static_cast<unsigned long long>(files.rlim_cur), channels);
    }

    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("morlanex-directory-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(work);
    const auto logFile = work / "directory.log";
    bench::ChildProcess daemon;
    const std::string command = "exec '" + program + "' --address " + DirectoryAddress + " --port1 " +
        std::to_string(FirstPort) + " --port2 " + std::to_string(SecondPort) + " --database '" +
        (work / "directory.sqlite").string() + "' --check-interval " + std::to_string(checkInterval) +
        " --max-channels-per-source 1 2>'" + logFile.string() + "'";
    if (!daemon.start({"sh", "-c", command}, {})) {
        std::fprintf(stderr, "cannot start %s\n", program.c_str());
        return 1;
    }
    std::this_thread::sleep_for(500ms);
    if (fileText(logFile).find("listening") == std::string::npos) {
        std::fprintf(stderr, "the directory did not start:\n%s", fileText(logFile).c_str());
        return 1;
    }

    std::vector<Node> nodes(channels);
    for (std::size_t i = 0; i < channels; ++i) {
        nodes[i].address = "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        char nodeId[16];
        std::snprintf(nodeId, sizeof nodeId, "0E%010X", static_cast<unsigned>(i));
        nodes[i].nodeId = nodeId;
        if (!openStream(nodes[i])) {
            std::fprintf(stderr, "cannot open node %zu on %s\n", i, nodes[i].address.c_str());
            return 1;
        }
    }
    StreamListeners listeners(nodes);
    const auto registeredAt = std::chrono::steady_clock::now();
    const std::size_t online = registerNodes(nodes);
    std::printf("channels online: %zu of %zu (registered in %.1f s)\n", online, channels,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - registeredAt).count());

    // Liveness: an idle directory whose only work is the checks; first checks
    // come 1/2..1 interval after registration, so skip the first interval.
    std::this_thread::sleep_for(std::chrono::seconds(checkInterval));
    const double cpuBefore = bench::cpuSeconds(daemon.pid());
    const std::uint64_t checksBefore = listeners.accepted();
    std::this_thread::sleep_for(std::chrono::seconds(checkSeconds));
    const double checkCpu = bench::cpuSeconds(daemon.pid()) - cpuBefore;
    const std::uint64_t checks = listeners.accepted() - checksBefore;
    const double perCheck = checks ? checkCpu / static_cast<double>(checks) : 0;
    std::printf("liveness: %llu checks in %d s (every %d s), daemon CPU %.3f s: %.1f us a check\n",
                static_cast<unsigned long long>(checks), checkSeconds, checkInterval, checkCpu, perCheck * 1e6);
    std::printf("liveness at the documented schedule (every 60 s): %.0f checks/s, %.2f %% of one core"
                " for %zu channels\n",
                static_cast<double>(online) / 60.0, 100.0 * perCheck * static_cast<double>(online) / 60.0, online);

    // Datagrams: viewers watch and leave random channels, the node reports its count.
    std::vector<UniqueFd> viewers;
    for (int i = 0; i < 200; ++i) {
        UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const sockaddr_in local =
            socketAddress("127.2." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1), 0);
        ::bind(fd.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local);
        viewers.push_back(std::move(fd));
    }
    std::vector<Node *> live;
    for (Node &node : nodes)
        if (!node.channelId.empty()) live.push_back(&node);
    const UniqueFd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    std::minstd_rand pick(7);
    std::uint64_t sent = 0;
    const double floodCpuBefore = bench::cpuSeconds(daemon.pid());
    const auto floodEnd = std::chrono::steady_clock::now() + std::chrono::seconds(floodSeconds);
    while (std::chrono::steady_clock::now() < floodEnd) {
        for (int round = 0; round < 100; ++round) {
            Node &node = *live[pick() % live.size()];
            const int viewer = viewers[pick() % viewers.size()].get();
            DirectoryMessage watch;
            watch.writeCommand(cmd::WatchChannel);
            watch.writeText(Field::ChannelId, node.channelId);
            sendTo(viewer, SecondPort, watch);
            DirectoryMessage count;
            count.answerChannelOnline(node.channelId, node.nodeId, "1");
            sendFrom(sender.get(), node.address, SecondPort, count);
            watch.writeCommand(cmd::LeaveChannel);
            sendTo(viewer, SecondPort, watch);
            sent += 3;
        }
        std::this_thread::sleep_for(1ms);  // the sender must not starve the daemon on a small machine
    }
    std::this_thread::sleep_for(1s);  // the queue drains
    const double floodCpu = bench::cpuSeconds(daemon.pid()) - floodCpuBefore;
    daemon.stop();
    const std::string log = fileText(logFile);
    // Before the flood: two datagrams a registered node; lost attempts never arrived.
    const std::uint64_t total = datagramsHandled(log);
    const std::uint64_t beforeFlood = 2 * online;
    const std::uint64_t handled = total > beforeFlood ? total - beforeFlood : 0;
    std::printf("datagrams: sent %llu in %d s, handled %llu, daemon CPU %.2f s: %.0f datagrams a second"
                " on one core with %zu channels online\n",
                static_cast<unsigned long long>(sent), floodSeconds, static_cast<unsigned long long>(handled), floodCpu,
                floodCpu > 0 ? static_cast<double>(handled) / floodCpu : 0.0, online);
    std::error_code ignored;
    std::filesystem::remove_all(work, ignored);
    return handled > 0 ? 0 : 1;
}
