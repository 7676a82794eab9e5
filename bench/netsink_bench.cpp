// Benchmark of the network sink against VLC's HTTP streaming output.
//
// For each viewer count it starts the server in its own process (our netsink_bench_server,
// then VLC with the asfh muxer), attaches that many viewers from the load generator in this
// process, and reports: viewers served and dropped, the share that kept up with the stream
// (>= 99% of the reference rate over the whole window, give or take 500 ms at its edges),
// the server's CPU seconds per GB delivered and its resident memory per viewer. The reference
// rate of each server is what one lone viewer receives from it (a calibration run), so both
// are judged against their own unloaded output.
//
// Usage: netsink_bench --server PATH --stream FILE --vlc-stream FILE [--duration S]
//                      [--viewers 100,1000,6000] [--no-vlc] [--fan-out-ms N]
#include "bench_process.h"
#include "load_generator.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace morlanex::bench;
using namespace std::chrono_literals;

struct Row {
    size_t viewers = 0;
    LoadResult load;
    double cpuPerGB = 0, kibPerViewer = 0;
    bool ok = false;
};

struct Options {
    std::string server, stream, vlcStream, fanOutMs;
    std::chrono::seconds duration{60};
    std::vector<size_t> viewers{100, 1000, 6000};
    bool vlc = true;
};

bool listening(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

// One server process for one measurement.
class Server {
public:
    Server(const Options &o, bool vlc, uint16_t port, size_t maxClients) : vlc_(vlc), port_(port) {
        ProcessOptions po;
        if (vlc) {
            // VLC will not run as root: run it as nobody with a HOME it can write.
            const passwd *nobody = ::getpwnam("nobody");
            po.uid = nobody ? nobody->pw_uid : 65534;
            po.gid = nobody ? nobody->pw_gid : 65534;
            po.home = "/tmp/morlanex-bench-vlc-home";
            ::mkdir(po.home.c_str(), 0777);
            ::chmod(po.home.c_str(), 0777);
            po.quiet = true;
            const std::string sout = "#std{access=http,mux=asfh,dst=127.0.0.1:" + std::to_string(port) + "/}";
            ok_ = child_.start({"cvlc", "--quiet", "--loop", o.vlcStream, "--sout", sout}, po);
            for (int i = 0; ok_ && i < 100 && !listening(port); ++i) std::this_thread::sleep_for(100ms);
            ok_ = ok_ && listening(port);
            std::this_thread::sleep_for(3s);  // let the stream begin and VLC settle
        } else {
            std::vector<std::string> argv = {o.server, o.stream, std::to_string(port), std::to_string(maxClients)};
            if (!o.fanOutMs.empty()) argv.push_back(o.fanOutMs);
            ok_ = child_.start(argv, po, true);
            ok_ = ok_ && child_.readLine(60000).rfind("ready", 0) == 0;
            std::this_thread::sleep_for(1s);
        }
    }
    bool ok() const { return ok_; }
    pid_t pid() const { return child_.pid(); }
    uint16_t port() const { return port_; }

private:
    bool vlc_;
    uint16_t port_;
    ChildProcess child_;
    bool ok_ = false;
};

double calibrate(const Options &o, bool vlc, uint16_t port) {
    Server s(o, vlc, port, 10);
    if (!s.ok()) return 0;
    LoadOptions lo;
    lo.port = port;
    lo.viewers = 1;
    lo.window = 30s;
    const LoadResult r = runLoad(lo);
    return r.served == 1 ? r.meanBytesPerSecond : 0;
}

Row measure(const Options &o, bool vlc, uint16_t port, size_t viewers, double reference) {
    Row row;
    row.viewers = viewers;
    Server s(o, vlc, port, viewers);
    if (!s.ok()) return row;
    const double baseKiB = residentKiB(s.pid());
    double cpu0 = 0, cpu1 = 0, endKiB = 0;
    LoadOptions lo;
    lo.port = port;
    lo.viewers = viewers;
    lo.window = o.duration;
    lo.referenceBytesPerSecond = reference;
    lo.onWindowStart = [&] { cpu0 = cpuSeconds(s.pid()); };
    lo.onWindowEnd = [&] {
        cpu1 = cpuSeconds(s.pid());
        endKiB = residentKiB(s.pid());
    };
    row.load = runLoad(lo);
    const double gb = double(row.load.windowBytes) / 1e9;
    row.cpuPerGB = gb > 0 ? (cpu1 - cpu0) / gb : 0;
    row.kibPerViewer = row.load.served > 0 ? (endKiB - baseKiB) / double(row.load.served) : 0;
    row.ok = true;
    return row;
}

void raiseFileLimit() {
    rlimit rl{};
    ::getrlimit(RLIMIT_NOFILE, &rl);
    rlimit want = rl;
    want.rlim_max = std::max<rlim_t>(rl.rlim_max, 65536);  // root may raise the hard limit
    want.rlim_cur = want.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &want) != 0) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

std::string cell(const Row &r, int what) {
    if (!r.ok) return "failed";
    char b[64];
    const LoadResult &l = r.load;
    switch (what) {
        case 0: std::snprintf(b, sizeof b, "%zu/%zu", l.served, l.viewers); break;
        case 1: std::snprintf(b, sizeof b, "%zu", l.dropped); break;
        case 2: std::snprintf(b, sizeof b, "%.1f%%", l.served ? 100.0 * double(l.keptUp) / double(l.viewers) : 0.0); break;
        case 3: std::snprintf(b, sizeof b, "%.2f", r.cpuPerGB); break;
        case 4: std::snprintf(b, sizeof b, "%.2f", r.kibPerViewer); break;
        case 5: std::snprintf(b, sizeof b, "%.1f", l.meanBytesPerSecond * 8 / 1000); break;
        default: b[0] = 0;
    }
    return b;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--server") o.server = v, ++i;
        else if (a == "--stream") o.stream = v, ++i;
        else if (a == "--vlc-stream") o.vlcStream = v, ++i;
        else if (a == "--duration") o.duration = std::chrono::seconds(std::atoi(v)), ++i;
        else if (a == "--fan-out-ms") o.fanOutMs = v, ++i;
        else if (a == "--no-vlc") o.vlc = false;
        else if (a == "--viewers") {
            o.viewers.clear();
            std::stringstream ss(v);
            for (std::string n; std::getline(ss, n, ',');) o.viewers.push_back(size_t(std::stoul(n)));
            ++i;
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (o.server.empty() || o.stream.empty() || (o.vlc && o.vlcStream.empty())) {
        std::fprintf(stderr, "usage: %s --server PATH --stream FILE --vlc-stream FILE [--duration S] [--viewers a,b] [--no-vlc]\n", argv[0]);
        return 2;
    }
    raiseFileLimit();
    ::signal(SIGPIPE, SIG_IGN);

    uint16_t port = 18600;
    std::vector<Row> sink, vlc;
    const double sinkRef = calibrate(o, false, port++);
    std::printf("reference rate, one viewer: netsink %.1f kbit/s\n", sinkRef * 8 / 1000);
    std::fflush(stdout);
    for (size_t n : o.viewers) {
        sink.push_back(measure(o, false, port++, n, sinkRef));
        std::printf("netsink %zu viewers: served %s, dropped %s, kept up %s, %s CPU s/GB, %s KiB/viewer\n", n,
                    cell(sink.back(), 0).c_str(), cell(sink.back(), 1).c_str(), cell(sink.back(), 2).c_str(),
                    cell(sink.back(), 3).c_str(), cell(sink.back(), 4).c_str());
        std::fflush(stdout);
    }
    double vlcRef = 0;
    if (o.vlc) {
        vlcRef = calibrate(o, true, port++);
        std::printf("reference rate, one viewer: VLC %.1f kbit/s\n", vlcRef * 8 / 1000);
        for (size_t n : o.viewers) {
            Row row;
            row.viewers = n;
            vlc.push_back(vlcRef > 0 ? measure(o, true, port++, n, vlcRef) : row);
            std::printf("VLC %zu viewers: served %s, dropped %s, kept up %s, %s CPU s/GB, %s KiB/viewer\n", n,
                        cell(vlc.back(), 0).c_str(), cell(vlc.back(), 1).c_str(), cell(vlc.back(), 2).c_str(),
                        cell(vlc.back(), 3).c_str(), cell(vlc.back(), 4).c_str());
            std::fflush(stdout);
        }
    }

    std::printf("\n%lld s window per row; reference rates: netsink %.1f kbit/s, VLC %.1f kbit/s\n",
                (long long)o.duration.count(), sinkRef * 8 / 1000, vlcRef * 8 / 1000);
    std::printf("%-8s | %-12s %-12s | %-8s %-8s | %-10s %-10s | %-10s %-10s | %-10s %-10s | %-9s %-9s\n", "viewers",
                "served", "", "dropped", "", "kept up", "", "CPU s/GB", "", "KiB/viewer", "", "kbit/s", "");
    std::printf("%-8s | %-12s %-12s | %-8s %-8s | %-10s %-10s | %-10s %-10s | %-10s %-10s | %-9s %-9s\n", "",
                "netsink", "VLC", "netsink", "VLC", "netsink", "VLC", "netsink", "VLC", "netsink", "VLC", "netsink", "VLC");
    for (size_t i = 0; i < o.viewers.size(); ++i) {
        const Row none{};
        const Row &a = sink[i], &b = i < vlc.size() ? vlc[i] : none;
        std::printf("%-8zu | %-12s %-12s | %-8s %-8s | %-10s %-10s | %-10s %-10s | %-10s %-10s | %-9s %-9s\n",
                    o.viewers[i], cell(a, 0).c_str(), cell(b, 0).c_str(), cell(a, 1).c_str(), cell(b, 1).c_str(),
                    cell(a, 2).c_str(), cell(b, 2).c_str(), cell(a, 3).c_str(), cell(b, 3).c_str(), cell(a, 4).c_str(),
                    cell(b, 4).c_str(), cell(a, 5).c_str(), cell(b, 5).c_str());
    }
    return 0;
}
