#include "bench_process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace morlanex::bench {

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::start(const std::vector<std::string> &argv, const ProcessOptions &o, bool stdoutPipe) {
    int fds[2] = {-1, -1};
    if (stdoutPipe && ::pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        ::setpgid(0, 0);
        if (stdoutPipe) ::dup2(writeEnd.get(), STDOUT_FILENO);
        if (o.quiet) {
            const int null = ::open("/dev/null", O_WRONLY);
            if (!stdoutPipe) ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        if (!o.home.empty()) ::setenv("HOME", o.home.c_str(), 1);
        if (o.cpu >= 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(o.cpu, &set);
            if (::sched_setaffinity(0, sizeof set, &set) != 0) ::_exit(125);
        }
        if (o.uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(o.gid) != 0 || ::setuid(o.uid) != 0)) ::_exit(126);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    out_ = std::move(readEnd);
    return true;
}

std::string ChildProcess::readLine(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out_) {
        if (const size_t nl = pending_.find('\n'); nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{out_.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) break;
        char buf[512];
        const ssize_t n = ::read(out_.get(), buf, sizeof buf);
        if (n <= 0) break;
        pending_.append(buf, size_t(n));
    }
    return {};
}

bool ChildProcess::signalAndWait(int signal, int timeoutMs) {
    if (pid_ <= 0) return true;
    if (signal) ::kill(pid_, signal);
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void ChildProcess::stop() {
    out_.reset();
    if (pid_ <= 0 || signalAndWait(SIGTERM, 3000)) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

uint16_t freeLoopbackPort() {
    const UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a);
    return boundPort(fd.get());
}

namespace {

// utime and stime of a /proc stat file, in seconds.
CpuTimes statCpuTimes(const std::string &path) {
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t paren = all.rfind(')');
    if (paren == std::string::npos) return {};
    std::istringstream fields(all.substr(paren + 2));
    std::string f;
    unsigned long utime = 0, stime = 0;
    // Fields after the command name start at field 3 (state); utime and stime are 14 and 15.
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stoul(f);
        if (i == 15) stime = std::stoul(f);
    }
    const double tick = double(::sysconf(_SC_CLK_TCK));
    return {double(utime) / tick, double(stime) / tick};
}

double seconds(const CpuTimes &t) { return t.user < 0 ? -1 : t.total(); }

}  // namespace

CpuTimes cpuTimes(pid_t pid) { return statCpuTimes("/proc/" + std::to_string(pid) + "/stat"); }

double cpuSeconds(pid_t pid) { return seconds(cpuTimes(pid)); }

double threadCpuSeconds(pid_t tid) { return seconds(statCpuTimes("/proc/self/task/" + std::to_string(tid) + "/stat")); }

double residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6);
    return -1;
}

std::set<uint16_t> udpPorts(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::set<std::string> inodes;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(proc + "/fd", error)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
    }
    std::set<uint16_t> ports;
    std::ifstream table(proc + "/net/udp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode &&
            inodes.count(inode))
            ports.insert(static_cast<uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16)));
    }
    return ports;
}

}  // namespace morlanex::bench
