// Debian's nginx as a cache tier in front of a broadcaster, for tests and benchmarks: its own
// configuration and folders in a temporary folder, run as an unprivileged process (as nobody
// when started by root), listening on 127.0.0.1.
//
// It caches the rendition's pieces (/live/..., and the same below /channel/7/live/ as the cache
// tier's prefix) with proxy_cache and proxy_cache_lock, taking their lifetimes from the
// broadcaster's Cache-Control, and passes the endless /live.webm through with proxy_buffering off.
//
// Threads: use from one thread. The relay owns its process and folder; stop() or the
// destructor ends and removes them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>

namespace morlanex::test {

class NginxRelay {
public:
    NginxRelay() = default;
    ~NginxRelay() { stop(); }
    NginxRelay(const NginxRelay &) = delete;
    NginxRelay &operator=(const NginxRelay &) = delete;

    // Starts nginx on 127.0.0.1:`listenPort` (a free port) in front of 127.0.0.1:`upstreamPort`;
    // false with a reason when it does not come up within 10 s.
    bool start(uint16_t listenPort, uint16_t upstreamPort, std::string *error, const std::string &nginx = "nginx");
    // Starts nginx with one of the cache tier's shipped files (packaging/relay/<name>, found
    // under $MORLANEX_SOURCE_DIR) included as it is but for its placeholders: @LISTEN@ becomes
    // 127.0.0.1:`listenPort`, @CACHE@ a folder of its own, @INGEST_LISTEN@ (unless given) a free
    // port on 127.0.0.1, the rest as `values` has them.
    bool startShipped(const std::string &name, uint16_t listenPort, const std::map<std::string, std::string> &values,
                      std::string *error, const std::string &nginx = "nginx");
    void stop();
    uint16_t port() const { return port_; }
    // Its folder (a shipped file's @CACHE@ is "<folder>/cache").
    const std::string &folder() const { return dir_; }
    // A TCP port on 127.0.0.1 that nothing listens on now.
    static uint16_t freePort();
    // The shipped file with its placeholders replaced; empty when it cannot be read.
    static std::string shipped(const std::string &name, const std::map<std::string, std::string> &values);
    // The configuration it runs with.
    static std::string config(const std::string &dir, uint16_t listenPort, uint16_t upstreamPort);

private:
    // Runs nginx on the configuration `config` makes for the relay's folder.
    bool launch(uint16_t listenPort, const std::function<std::string(const std::string &dir)> &config,
                std::string *error, const std::string &nginx);

    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string dir_;
};

}  // namespace morlanex::test
