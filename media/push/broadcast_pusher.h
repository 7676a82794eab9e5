// Public header. Push mode (BroadcastPusher): a broadcaster that viewers cannot reach (behind a
// second NAT, say) sends its browser rendition to the cache tier's shield itself, over outbound
// HTTP PUT, and the tier serves the channel as if it had pulled it.
//
// At start it asks the directory for the broadcast's push credential (see push_credential.h),
// at once, so that nobody sharing its outside address gets it first. Once activated it takes the
// rendition as the network sink does (a WebM header, then chunks with start points) through the
// LiveServer's tap, cuts it into segments and puts them in the channel's folder at the tier,
// under a session of its own: the header and each track's header once, then per segment each
// track's piece (named by its start, as the DASH manifest wants), the whole segment, a manifest
// listing the segments pushed and "latest" naming the newest, in that order, so that nothing is
// named before it is there. The player page goes up as "watch".
//
// On one kept-alive connection; a failed PUT is sent again after 0.25 s, 0.5 s, ... up to 8 s.
// While the uplink is slower than the rendition the segments waiting are at most
// maxQueuedSegments (and maxQueuedBytes): a newer one drops the oldest waiting whole, and the one
// being sent is given up when it fails while the queue is full. Memory stays bounded by those,
// the segment being sent and the one being gathered. A push the shield refuses (403: the
// credential ended, the directory restarted) makes it ask for a credential once more; refused
// again, it stops and says so.
//
// Threads: built, activated, stopped and destroyed on one thread (the UI's); the tap's calls
// come on the browser encoder's streaming thread and only copy under a short lock; all network
// I/O runs on the pusher's own thread. `report` and `log` are called on that thread.
//
// Example:
//   BroadcastPusher pusher(config);   // asks for the credential on its own thread
//   pusher.activate();                 // when nobody outside reaches the broadcaster
//   server.setBrowserTap(tap);         // the rendition flows in
//   ...
//   pusher.stop();
#pragma once

#include "media/push/push_credential.h"
#include "media/push/push_report.h"
#include "media/push/push_plan.h"
#include "net/http_client.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

namespace morlanex {

const char *toString(PushState state);

// Push mode's settings for a broadcast.
struct PushSettings {
    PushMode mode = PushMode::Off;
    std::string directoryAddress;
    int directoryHttpPort = 0;  // 0: the directory is not asked, no push
    std::string nodeId;
    std::string localAddress;  // where the node's endpoints are bound; empty: anywhere
    // After each change of state and each segment; on the pusher's thread: post it to your own.
    std::function<void(const PushReport &)> report;
    std::function<void(const std::string &)> log;
};

class BroadcastPusher {
public:
    struct Config {
        PushSettings settings;
        uint16_t streamPort = 0;  // the node's stream port as it knows it
        std::string playerPage;  // pushed as "watch"
        size_t maxQueuedSegments = 2;
        size_t maxQueuedBytes = 4 * 1024 * 1024;
        std::chrono::milliseconds firstRetry{250}, lastRetry{8000};
        HttpClient::Options http;
    };

    explicit BroadcastPusher(Config config);
    ~BroadcastPusher();  // stops
    BroadcastPusher(const BroadcastPusher &) = delete;
    BroadcastPusher &operator=(const BroadcastPusher &) = delete;

    // The worker: asks for the credential now.
    void start();
    // Pushes from now on (once the credential is there).
    void activate();
    bool active() const;
    // Ends the pushes (the one under way is cut off) and joins the worker.
    void stop();
    PushReport report() const;

    // The rendition (the tap): the header, then chunks; any thread, one at a time.
    void header(std::span<const uint8_t> bytes);
    void chunk(std::span<const uint8_t> bytes, bool startPoint);

private:
    enum class Put { Done, Refused, Failed, Abandoned, Stopped };
    void run();
    bool obtainCredential();
    bool pushHeaders(const std::vector<uint8_t> &header, const WebmHeaderInfo &info);
    Put pushSegment(const PushSegment &segment, const WebmHeaderInfo &info);
    // One PUT of `body` at `piece` below the channel's folder, sent again as the rules say.
    Put put(const std::string &piece, std::span<const uint8_t> body, bool abandonable);
    // Waits `delay` unless stopped first; false when stopped.
    bool pause(std::chrono::milliseconds delay);
    void setState(PushState state, const std::string &detail = {});
    void publish();
    // One log line: segments pushed and skipped, bytes, the queue now and at its fullest.
    void summarize();
    void log(const std::string &line) const;

    const Config config_;
    std::thread worker_;
    std::string session_;  // the worker's

    mutable std::mutex mutex_;
    std::condition_variable wake_;  // guarded by mutex_: stopping_, active_, work
    bool stopping_ = false;  // guarded by mutex_
    bool active_ = false;  // guarded by mutex_
    bool headerPending_ = false;  // guarded by mutex_: a new header for the worker
    PushAssembler assembler_;  // guarded by mutex_
    PushQueue queue_;  // guarded by mutex_
    PushReport report_;  // guarded by mutex_
    std::unique_ptr<HttpClient> directory_, ingest_;  // made under mutex_; used by the worker
    std::optional<PushCredential> credential_;  // the worker's
    PushedWindow window_;  // the worker's
    std::chrono::steady_clock::time_point lastSummary_{};  // the worker's
};

}  // namespace morlanex
