// Junk at the program's UDP endpoints: the real morlanex (offscreen, a configuration folder of
// its own, its directory on a loopback address of the bench's own) takes rounds of junk
// datagrams at both endpoints, and its resident memory is printed after each round.
//
// Each round sends the same mix: a quarter random bytes of random sizes from a stranger
// (127.0.0.77), a quarter of them from the directory's own ports 20 and 22, and half
// directory-shaped 663-byte records with random words and fields, from the directory's ports.
// The endpoint hands one datagram at a time to the UI thread, so what it does not take in
// time the kernel drops; the figures say how many the program read (its sockets' drop counters).
//
// Usage: udp_junk_bench --program PATH [--plugins DIR] [--rounds N] [--datagrams N]
//                       [--directory 127.0.0.x]
#include "bench_process.h"
#include "net/socket.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace morlanex::bench;
using namespace std::chrono_literals;

struct Options {
    std::string program;
    std::string plugins;
    int rounds = 5;
    long datagrams = 200000;
    std::string directory = "127.0.0.211";
};

morlanex::UniqueFd boundSocket(const std::string &address, uint16_t port) {
    morlanex::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "cannot bind %s:%u: %s\n", address.c_str(), port, std::strerror(errno));
        std::exit(2);
    }
    return fd;
}

void putText(std::vector<uint8_t> &record, size_t offset, const std::string &text) {
    record[offset] = static_cast<uint8_t>(text.size());
    std::copy(text.begin(), text.end(), record.begin() + static_cast<long>(offset) + 1);
}

// A fixed set of junk payloads: random bytes, and records with random words and fields.
std::vector<std::vector<uint8_t>> junkPayloads() {
    std::mt19937 random(1);
    const char *words[] = {"SendP2PData", "DelChannelOnline", "LinkKERF_OK", "CAMChannelMSG", "Zzz", "SendP2PDat"};
    const size_t sizes[] = {1, 20, 663, 700, 1400, 4000, 9000};
    std::vector<std::vector<uint8_t>> payloads;
    for (int i = 0; i < 1024; ++i) {
        std::vector<uint8_t> bytes(i % 2 ? sizes[random() % 7] : 663);
        for (uint8_t &b : bytes) b = static_cast<uint8_t>(random());
        if (i % 2 == 0) {
            putText(bytes, 0, words[random() % 6]);
            putText(bytes, 21, std::to_string(random() % 1000000));
            putText(bytes, 48, "127.0.0." + std::to_string(2 + random() % 248));
            putText(bytes, 64, "127.0.0." + std::to_string(2 + random() % 248));
            putText(bytes, 80, random() % 5 ? std::to_string(1 + random() % 65535) : "x");
            putText(bytes, 396, std::to_string(random() % 1000000));
        }
        payloads.push_back(std::move(bytes));
    }
    return payloads;
}

// Datagrams the kernel dropped at the process's UDP sockets so far.
unsigned long droppedAt(pid_t pid, const std::set<uint16_t> &ports) {
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/udp");
    std::string line;
    std::getline(table, line);
    unsigned long drops = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string word; fields >> word;) f.push_back(word);
        if (f.size() >= 13 &&
            ports.count(static_cast<uint16_t>(std::stoul(f[1].substr(f[1].find(':') + 1), nullptr, 16))))
            drops += std::stoul(f[12]);
    }
    return drops;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--program")
            o.program = value;
        else if (key == "--plugins")
            o.plugins = value;
        else if (key == "--rounds")
            o.rounds = std::atoi(value.c_str());
        else if (key == "--datagrams")
            o.datagrams = std::atol(value.c_str());
        else if (key == "--directory")
            o.directory = value;
    }
    if (o.program.empty()) {
        std::fprintf(stderr,
                     "usage: udp_junk_bench --program PATH [--plugins DIR] [--rounds N] [--datagrams N] [--directory "
                     "ADDRESS]\n");
        return 2;
    }

    char pattern[] = "/tmp/morlanex-junk-XXXXXX";
    if (!::mkdtemp(pattern)) return 2;
    const std::filesystem::path home = pattern;
    std::filesystem::create_directories(home / "Ulma" / "Morlanex");
    std::ofstream(home / "Ulma" / "Morlanex" / "Morlanex.conf") << "[Directory]\nAddress=" << o.directory << "\n";
    ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!o.plugins.empty()) ::setenv("GST_PLUGIN_PATH", o.plugins.c_str(), 1);

    // The directory's ports, held by the bench: the program's datagrams to them land here unread.
    const morlanex::UniqueFd first = boundSocket(o.directory, 20);
    const morlanex::UniqueFd second = boundSocket(o.directory, 22);
    const morlanex::UniqueFd stranger = boundSocket("127.0.0.77", 0);

    ChildProcess program;
    ProcessOptions quiet;
    quiet.quiet = true;
    if (!program.start({o.program}, quiet)) return 2;
    std::set<uint16_t> ports;
    for (int i = 0; i < 600 && ports.size() < 2; ++i) {
        std::this_thread::sleep_for(50ms);
        ports = udpPorts(program.pid());
    }
    if (ports.size() < 2) {
        std::fprintf(stderr, "the program did not open its two endpoints\n");
        return 1;
    }
    std::this_thread::sleep_for(3s);  // start-up settles

    const auto payloads = junkPayloads();
    std::vector<sockaddr_in> targets;
    for (uint16_t port : ports) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        targets.push_back(to);
    }
    const double startKiB = residentKiB(program.pid());
    std::printf("morlanex pid %d, endpoints", program.pid());
    for (uint16_t port : ports) std::printf(" %u", port);
    std::printf("; resident at start %.0f KiB\n", startKiB);
    std::printf("%5s %10s %10s %14s %14s\n", "round", "sent", "read", "resident KiB", "change KiB");
    double previousKiB = startKiB;
    unsigned long previousDrops = droppedAt(program.pid(), ports);
    for (int round = 1; round <= o.rounds; ++round) {
        long sent = 0;
        for (long i = 0; i < o.datagrams; ++i) {
            const auto &bytes = payloads[static_cast<size_t>(i) % payloads.size()];
            const int from = (i % 4 == 1 ? stranger : (i % 2 ? first : second)).get();
            const sockaddr_in &to = targets[static_cast<size_t>(i / 4) % targets.size()];
            if (::sendto(from, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) >= 0)
                ++sent;
        }
        std::this_thread::sleep_for(3s);  // what the sockets still hold is read meanwhile
        const double nowKiB = residentKiB(program.pid());
        const unsigned long drops = droppedAt(program.pid(), ports);
        std::printf("%5d %10ld %10ld %14.0f %+14.0f\n", round, sent, sent - static_cast<long>(drops - previousDrops),
                    nowKiB, nowKiB - previousKiB);
        std::fflush(stdout);
        previousKiB = nowKiB;
        previousDrops = drops;
    }
    std::printf("resident change over all rounds: %+.0f KiB\n", previousKiB - startKiB);
    program.stop();
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return 0;
}
