#include "home_router.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <sstream>

namespace morlanex::testing {

namespace {

const char *modeName(HomeRouter::Mode mode) {
    switch (mode) {
    case HomeRouter::Mode::Upnp:
        return "upnp";
    case HomeRouter::Mode::NatPmp:
        return "natpmp";
    case HomeRouter::Mode::None:
        return "none";
    case HomeRouter::Mode::CgNat:
        return "cgnat";
    }
    return "none";
}

std::string field(const std::string &text, const std::string &key) {
    const size_t at = text.find(key + "=");
    if (at == std::string::npos) return {};
    const size_t begin = at + key.size() + 1;
    return text.substr(begin, text.find_first_of(" \n", begin) - begin);
}

}  // namespace

NetnsScope::NetnsScope(const std::string &name) : previous_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    const UniqueFd target(::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    entered_ = previous_ && target && ::setns(target.get(), CLONE_NEWNET) == 0;
}

NetnsScope::~NetnsScope() {
    if (entered_ && previous_) (void)::setns(previous_.get(), CLONE_NEWNET);
}

std::string HomeRouter::unavailable() {
    if (::geteuid() != 0) return "the home router needs root (network namespaces, nftables, miniupnpd)";
    if (::access("/usr/sbin/miniupnpd", X_OK) != 0) return "miniupnpd is not installed (scripts/setup)";
    return {};
}

HomeRouter::HomeRouter(Mode mode) : original_(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
    // Unique among test processes running side by side, and among routers of one process.
    static std::atomic<int> count{0};
    name_ = "mlxpm" + std::to_string(::getpid()) + "-" + std::to_string(count++);
    std::string out;
    up_ = script({"up", name_, modeName(mode)}, &out);
    if (!up_) {
        error_ = "home-router up failed: " + out;
        return;
    }
    home_ = field(out, "home");
    gateway_ = field(out, "gateway");
    outside_ = field(out, "outside");
    routerOutside_ = field(out, "router_outside");
}

HomeRouter::~HomeRouter() {
    std::string out;
    script({"down", name_}, &out);
}

bool HomeRouter::restartDaemon() {
    std::string out;
    if (script({"restart", name_}, &out)) return true;
    error_ = "home-router restart failed: " + out;
    return false;
}

bool HomeRouter::freezeDaemon() {
    std::string out;
    if (script({"freeze", name_}, &out)) return true;
    error_ = "home-router freeze failed: " + out;
    return false;
}

std::vector<std::string> HomeRouter::mappings() const {
    std::string out;
    script({"mappings", name_}, &out);
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

bool HomeRouter::script(const std::vector<std::string> &args, std::string *out) const {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    const std::string path = MORLANEX_HOME_ROUTER_SCRIPT;
    std::vector<char *> argv{const_cast<char *>(path.c_str())};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only system calls between fork and exec: the parent has other threads.
        if (original_ && ::setns(original_.get(), CLONE_NEWNET) != 0) _exit(126);
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(pipeFds[1]);
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        out->append(buffer, size_t(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace morlanex::testing
