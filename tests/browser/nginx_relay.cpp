#include "nginx_relay.h"

#include "net/unique_fd.h"
#include "tests/support/poll_until.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace morlanex::test {
namespace {

constexpr uid_t kNobody = 65534;

bool listening(uint16_t port) {
    const morlanex::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
}

// What every configuration here shares: the process's files in its folder, no access log.
std::string frame(const std::string &dir) {
    return "worker_processes 1;\n"
           "daemon off;\n"
           "pid " +
        dir +
        "/nginx.pid;\n"
        "error_log " +
        dir +
        "/error.log warn;\n"
        "events { worker_connections 8192; }\n"
        "http {\n"
        "  access_log off;\n"
        "  client_body_temp_path " +
        dir +
        "/body;\n"
        "  proxy_temp_path " +
        dir +
        "/proxy;\n"
        "  fastcgi_temp_path " +
        dir +
        "/fastcgi;\n"
        "  uwsgi_temp_path " +
        dir +
        "/uwsgi;\n"
        "  scgi_temp_path " +
        dir + "/scgi;\n";
}

}  // namespace

uint16_t NginxRelay::freePort() {
    const morlanex::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd.get(), reinterpret_cast<sockaddr *>(&a), &size);
    return ntohs(a.sin_port);
}

std::string NginxRelay::config(const std::string &dir, uint16_t listenPort, uint16_t upstreamPort) {
    const std::string upstream = "http://127.0.0.1:" + std::to_string(upstreamPort);
    return frame(dir) + "  proxy_cache_path " + dir +
        "/cache levels=1 keys_zone=relay:8m max_size=512m inactive=2m use_temp_path=off;\n"
        "  server {\n"
        "    listen 127.0.0.1:" +
        std::to_string(listenPort) +
        ";\n"
        "    # The pieces: one fetch from the broadcaster fills the cache for every viewer.\n"
        "    location /live/ {\n"
        "      proxy_pass " +
        upstream +
        ";\n"
        "      proxy_cache relay;\n"
        "      proxy_cache_lock on;\n"
        "      proxy_cache_lock_timeout 5s;\n"
        "      proxy_cache_lock_age 5s;\n"
        "    }\n"
        "    # The same below a channel's prefix, as the cache tier puts it.\n"
        "    location /channel/7/live/ {\n"
        "      proxy_pass " +
        upstream +
        "/live/;\n"
        "      proxy_cache relay;\n"
        "      proxy_cache_lock on;\n"
        "    }\n"
        "    # The endless stream: passed through, one broadcaster connection per viewer.\n"
        "    location = /live.webm {\n"
        "      proxy_pass " +
        upstream +
        ";\n"
        "      proxy_buffering off;\n"
        "      proxy_read_timeout 30s;\n"
        "    }\n"
        "  }\n"
        "}\n";
}

std::string NginxRelay::shipped(const std::string &name, const std::map<std::string, std::string> &values) {
    const char *source = std::getenv("MORLANEX_SOURCE_DIR");
    std::ifstream file(std::string(source ? source : ".") + "/packaging/relay/" + name);
    std::string text(std::istreambuf_iterator<char>(file), {});
    for (const auto &[placeholder, value] : values)
        for (std::size_t at = 0; (at = text.find(placeholder, at)) != std::string::npos; at += value.size())
            text.replace(at, placeholder.size(), value);
    return text;
}

bool NginxRelay::startShipped(const std::string &name, uint16_t listenPort,
                              const std::map<std::string, std::string> &values, std::string *error,
                              const std::string &nginx) {
    return launch(
        listenPort,
        [&](const std::string &dir) {
            std::map<std::string, std::string> all = values;
            all["@LISTEN@"] = "127.0.0.1:" + std::to_string(listenPort);
            all["@CACHE@"] = dir + "/cache";
            // The shield's port for pushes, when the test does not push.
            all.try_emplace("@INGEST_LISTEN@", "127.0.0.1:" + std::to_string(freePort()));
            std::filesystem::create_directory(dir + "/cache");
            const std::string text = shipped(name, all);
            std::ofstream(dir + "/" + name) << text;
            return text.empty() ? std::string() : frame(dir) + "  include " + dir + "/" + name + ";\n}\n";
        },
        error, nginx);
}

bool NginxRelay::start(uint16_t listenPort, uint16_t upstreamPort, std::string *error, const std::string &nginx) {
    return launch(
        listenPort, [&](const std::string &dir) { return config(dir, listenPort, upstreamPort); }, error, nginx);
}

bool NginxRelay::launch(uint16_t listenPort, const std::function<std::string(const std::string &dir)> &config,
                        std::string *error, const std::string &nginx) {
    stop();
    char dir[] = "/tmp/morlanex-relay-XXXXXX";
    if (!mkdtemp(dir)) {
        *error = "cannot make a temporary folder";
        return false;
    }
    dir_ = dir;
    port_ = listenPort;
    const std::string text = config(dir_);
    if (text.empty()) {
        *error = "no configuration (is MORLANEX_SOURCE_DIR set?)";
        return false;
    }
    std::ofstream(dir_ + "/nginx.conf") << text;
    const bool root = geteuid() == 0;
    if (root && chown(dir_.c_str(), kNobody, kNobody) != 0) {
        *error = "cannot give the folder to nobody";
        return false;
    }
    if (root)
        for (const auto &entry : std::filesystem::directory_iterator(dir_))
            chown(entry.path().c_str(), kNobody, kNobody);
    const std::vector<std::string> args = {nginx, "-p", dir_, "-c", dir_ + "/nginx.conf", "-e", dir_ + "/error.log"};
    pid_ = fork();
    if (pid_ == 0) {
        if (root && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(126);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    bool ended = false;
    const auto listensOrEnded = [&] {
        ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
        return ended || listening(port_);
    };
    if (testing::pollUntil(listensOrEnded, std::chrono::seconds(10), std::chrono::milliseconds(100)) && !ended)
        return true;
    if (ended) {
        pid_ = -1;
        std::ifstream log(dir_ + "/error.log");
        *error = "nginx ended: " + std::string(std::istreambuf_iterator<char>(log), {});
        return false;
    }
    *error = "nginx did not listen within 10 s";
    stop();
    return false;
}

void NginxRelay::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);  // nginx's fast shutdown; its worker follows
        int status = 0;
        if (!testing::pollUntil([&] { return waitpid(pid_, &status, WNOHANG) != 0; }, std::chrono::seconds(5),
                                std::chrono::milliseconds(100))) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
}

}  // namespace morlanex::test
