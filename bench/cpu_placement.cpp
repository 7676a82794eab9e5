#include "cpu_placement.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <unistd.h>

namespace morlanex::bench {
namespace {

const char *const kLoopbackSteering = "/sys/class/net/lo/queues/rx-0/rps_cpus";

std::string readFirstLine(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool writeFile(const std::string &path, const std::string &text, std::string *error) {
    std::ofstream out(path);
    out << text << '\n';
    out.flush();
    if (out) return true;
    if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
}

// A hexadecimal CPU mask with one bit (rps_cpus' format), or "0".
std::string maskOf(int cpu) {
    if (cpu < 0) return "0";
    std::string mask;
    for (int word = 0; word <= cpu / 32; ++word) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08x", word == cpu / 32 ? 1u << (cpu % 32) : 0u);
        mask = (word ? std::string(hex) + "," : std::string(hex)) + mask;
    }
    return mask;
}

// The counts of one /proc/softirqs row, per CPU.
std::vector<uint64_t> softirqRow(const std::string &name) {
    std::ifstream in("/proc/softirqs");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string label;
        fields >> label;
        if (label != name + ":") continue;
        std::vector<uint64_t> counts;
        for (uint64_t n; fields >> n;) counts.push_back(n);
        return counts;
    }
    return {};
}

}  // namespace

bool pinThisThread(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

int cpuCount() { return int(::sysconf(_SC_NPROCESSORS_ONLN)); }

ReceiveSteering::ReceiveSteering() : original_(readFirstLine(kLoopbackSteering)) {}

ReceiveSteering::~ReceiveSteering() {
    if (changed_) writeFile(kLoopbackSteering, original_, nullptr);
}

bool ReceiveSteering::steerTo(int cpu, std::string *error) {
    if (original_.empty()) {
        if (error) *error = std::string("no ") + kLoopbackSteering + " (a kernel without RPS?)";
        return false;
    }
    changed_ = true;
    return writeFile(kLoopbackSteering, maskOf(cpu), error);
}

std::vector<CpuSample> sampleCpus() {
    std::vector<CpuSample> cpus;
    const double tick = double(::sysconf(_SC_CLK_TCK));
    std::ifstream stat("/proc/stat");
    std::string line;
    while (std::getline(stat, line)) {
        if (line.rfind("cpu", 0) != 0 || line.size() < 4 || line[3] == ' ') continue;  // "cpu " sums them
        std::istringstream fields(line);
        std::string label;
        uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
        fields >> label >> user >> nice >> system >> idle >> iowait >> irq >> softirq;
        CpuSample s;
        s.user = double(user + nice) / tick;
        s.system = double(system) / tick;
        s.idle = double(idle + iowait) / tick;
        s.irq = double(irq) / tick;
        s.softirq = double(softirq) / tick;
        cpus.push_back(s);
    }
    const auto rx = softirqRow("NET_RX"), tx = softirqRow("NET_TX");
    for (size_t i = 0; i < cpus.size(); ++i) {
        cpus[i].netRx = i < rx.size() ? rx[i] : 0;
        cpus[i].netTx = i < tx.size() ? tx[i] : 0;
    }
    // softnet_stat: a row per CPU that has one, its 13th field that CPU's index (kernel 5.10 on).
    std::ifstream softnet("/proc/net/softnet_stat");
    for (size_t row = 0; std::getline(softnet, line); ++row) {
        std::istringstream fields(line);
        std::vector<uint64_t> v;
        for (std::string f; fields >> f;) v.push_back(std::stoull(f, nullptr, 16));
        const size_t cpu = v.size() >= 13 ? size_t(v[12]) : row;
        if (v.size() >= 2 && cpu < cpus.size()) cpus[cpu].backlogDrops = v[1];
    }
    return cpus;
}

std::vector<CpuSample> difference(const std::vector<CpuSample> &after, const std::vector<CpuSample> &before) {
    std::vector<CpuSample> d(std::min(after.size(), before.size()));
    for (size_t i = 0; i < d.size(); ++i) {
        const CpuSample &a = after[i], &b = before[i];
        d[i] = {a.user - b.user, a.system - b.system, a.softirq - b.softirq, a.irq - b.irq,
                a.idle - b.idle, a.netRx - b.netRx,   a.netTx - b.netTx,     a.backlogDrops - b.backlogDrops};
    }
    return d;
}

std::string describeSoftirqs(const std::vector<CpuSample> &delta, double seconds) {
    std::string text;
    for (size_t i = 0; i < delta.size(); ++i) {
        const CpuSample &c = delta[i];
        char b[200];
        std::snprintf(b, sizeof b,
                      "%scpu%zu %.2f s softirq (NET_RX %llu, NET_TX %llu, backlog drops %llu), %.0f %% busy",
                      i ? "; " : "", i, c.softirq + c.irq, (unsigned long long)c.netRx, (unsigned long long)c.netTx,
                      (unsigned long long)c.backlogDrops, seconds > 0 ? 100 * c.busy() / seconds : 0.0);
        text += b;
    }
    return text;
}

pid_t kernelThread(const std::string &name) {
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (readFirstLine(entry.path().string() + "/comm") == name) return pid_t(std::stol(pid));
    }
    return -1;
}

double loadAverage() {
    double one = -1;
    std::ifstream("/proc/loadavg") >> one;
    return one;
}

}  // namespace morlanex::bench
