#include "stream_server.h"

#include "net/socket.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace morlanex::bench {

using namespace std::chrono_literals;

bool listening(uint16_t port) {
    const UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
}

StreamServer::StreamServer(const ServerSpec &spec, uint16_t port, size_t maxClients) : vlc_(spec.vlc) {
    ProcessOptions po;
    if (vlc_) {
        // VLC will not run as root: run it as nobody with a HOME it can write.
        const passwd *nobody = ::getpwnam("nobody");
        po.uid = nobody ? nobody->pw_uid : 65534;
        po.gid = nobody ? nobody->pw_gid : 65534;
        po.home = "/tmp/morlanex-bench-vlc-home";
        ::mkdir(po.home.c_str(), 0777);
        ::chmod(po.home.c_str(), 0777);
        po.quiet = true;
        const std::string sout = "#std{access=http,mux=asfh,dst=127.0.0.1:" + std::to_string(port) + "/}";
        ok_ = child_.start({"cvlc", "--quiet", "--loop", spec.stream, "--sout", sout}, po);
        for (int i = 0; ok_ && i < 100 && !listening(port); ++i) std::this_thread::sleep_for(100ms);
        ok_ = ok_ && listening(port);
        std::this_thread::sleep_for(3s);  // let the stream begin and VLC settle
    } else {
        std::vector<std::string> argv = {spec.program, spec.stream, std::to_string(port), std::to_string(maxClients)};
        if (!spec.fanOutMs.empty()) argv.push_back(spec.fanOutMs);
        ok_ = child_.start(argv, po, true);
        ok_ = ok_ && child_.readLine(60000).rfind("ready", 0) == 0;
        std::this_thread::sleep_for(1s);
    }
}

std::string StreamServer::stats() {
    if (vlc_ || child_.pid() <= 0) return {};
    ::kill(child_.pid(), SIGUSR1);
    for (std::string line; !(line = child_.readLine(10000)).empty();)
        if (line.rfind("stats ", 0) == 0) return line;
    return {};
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

}  // namespace morlanex::bench
