// The viewers of the cache-tier benchmark: each one HTTP/1.1 connection (kept alive) to the
// tier, fetching a channel's pieces as the relay player page does: "latest", then the session's
// header, then each segment once "latest" names it (asked once a second while there is no new
// one). A 404 for a segment sends it back to "latest"; a new session in "latest" to its header
// and its newest segment; a refused or failed request is retried a second later on a fresh
// connection.
//
// Threads: one; run() drives every viewer on one epoll loop and returns at the end.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace morlanex::bench {

using Clock = std::chrono::steady_clock;

// What one viewer saw: when it started, each segment it received, and its failed requests.
struct ViewerLog {
    Clock::time_point started;
    struct Piece {
        std::string session;
        uint64_t number = 0;
        uint64_t bytes = 0;
        Clock::time_point at;
    };
    std::vector<Piece> segments;
    std::vector<Clock::time_point> answers;  // every successful answer (latest, header, segment)
    uint64_t failures = 0, notFound = 0, skipped = 0;
};

// When "latest" first named each segment, to any viewer, per session.
using Announcements = std::map<std::string, std::map<uint64_t, Clock::time_point>>;

struct ViewerPlan {
    sockaddr_in tier{};
    std::string prefix;  // "/channel/<id>/live/"
    int viewers = 0;
    std::chrono::milliseconds ramp{5000};  // viewers start evenly over this
    Clock::time_point end;
    // Called about ten times a second on the loop, with the time; for the run's events.
    std::function<void(Clock::time_point)> tick;
};

class RelayViewers {
public:
    explicit RelayViewers(ViewerPlan plan) : plan_(std::move(plan)) {}
    // False with a reason when the loop cannot run.
    bool run(std::string *error);
    ViewerPlan &plan() { return plan_; }
    const std::vector<ViewerLog> &logs() const { return logs_; }
    const Announcements &announcements() const { return announced_; }
    uint64_t bytesReceived() const { return bytes_; }

private:
    struct Viewer;
    void start(Viewer &v, int epoll);
    void request(Viewer &v, int epoll, Clock::time_point now);
    void onReadable(Viewer &v, int epoll, Clock::time_point now);
    void onAnswer(Viewer &v, int status, const std::string &body, Clock::time_point now);
    void fail(Viewer &v, Clock::time_point now);

    ViewerPlan plan_;
    std::vector<ViewerLog> logs_;
    Announcements announced_;
    uint64_t bytes_ = 0;
};

}  // namespace morlanex::bench
