// The cache tier under load (see bench/relay, which builds the machines in network namespaces
// and starts the broadcaster, the directory, the shield, the edges and HAProxy): many viewers
// fetch one channel's pieces through HAProxy as the relay player page does (relay_viewers.h).
// Halfway it SIGKILLs the edge that serves the channel (--kill-edge), at three quarters it
// restarts the broadcaster (--restart), and at the end it prints what the viewers got.
//
// Usage: relay_bench --tier ADDRESS:PORT --channel ID [--viewers N] [--seconds S]
//                    [--netns NAME] [--egress FILE] [--kill-edge CMD] [--restart CMD]
// --netns: the viewers' sockets are made in that network namespace; --egress: a byte counter
// (the broadcaster's veth in /sys) read at the steady window's ends; the commands run in sh.
#include "relay_viewers.h"

#include "net/ipv4.h"
#include "net/unique_fd.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

extern char **environ;

namespace {

using namespace morlanex;
using namespace morlanex::bench;
using namespace std::chrono_literals;

double secondsBetween(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

uint64_t readCounter(const std::string &path) {
    std::ifstream in(path);
    uint64_t value = 0;
    in >> value;
    return value;
}

// Busy and all jiffies of the machine so far (/proc/stat).
std::pair<uint64_t, uint64_t> cpuJiffies() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    uint64_t v[8] = {}, all = 0;
    in >> cpu;
    for (uint64_t &x : v) in >> x, all += x;
    return {all - v[3] - v[4], all};
}

pid_t runShell(const std::string &command) {
    if (command.empty()) return -1;
    pid_t pid = -1;
    const char *argv[] = {"sh", "-c", command.c_str(), nullptr};
    posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), environ);
    return pid;
}

// "median m, p95 p, max x s" of the values, or "none".
std::string spread(std::vector<double> values) {
    if (values.empty()) return "none";
    std::sort(values.begin(), values.end());
    char text[96];
    std::snprintf(text, sizeof text, "median %.2f s, p95 %.2f s, max %.2f s", values[values.size() / 2],
                  values[std::min(values.size() - 1, values.size() * 95 / 100)], values.back());
    return text;
}

struct Options {
    std::string tier, channel, netns, egress, killEdge, restart;
    int viewers = 2000, seconds = 60;
};

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
        if (flag == "--tier")
            o.tier = value;
        else if (flag == "--channel")
            o.channel = value;
        else if (flag == "--viewers")
            o.viewers = std::atoi(value.c_str());
        else if (flag == "--seconds")
            o.seconds = std::atoi(value.c_str());
        else if (flag == "--netns")
            o.netns = value;
        else if (flag == "--egress")
            o.egress = value;
        else if (flag == "--kill-edge")
            o.killEdge = value;
        else if (flag == "--restart")
            o.restart = value;
        else
            o.tier.clear(), i = argc;
    }
    const size_t colon = o.tier.find(':');
    const auto address = colon == std::string::npos ? std::nullopt : parseDottedQuad(o.tier.substr(0, colon));
    if (!address || o.channel.empty() || o.viewers < 1 || o.seconds < 20) {
        std::fprintf(stderr,
                     "usage: relay_bench --tier ADDRESS:PORT --channel ID [--viewers N] [--seconds S >= 20]\n"
                     "       [--netns NAME] [--egress FILE] [--kill-edge CMD] [--restart CMD]\n");
        return 2;
    }
    if (!o.netns.empty()) {
        const UniqueFd ns(::open(("/var/run/netns/" + o.netns).c_str(), O_RDONLY | O_CLOEXEC));
        if (!ns || ::setns(ns.get(), CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "relay_bench: cannot enter network namespace %s\n", o.netns.c_str());
            return 1;
        }
    }

    const auto begin = Clock::now();
    const auto seconds = [&](double s) { return begin + std::chrono::milliseconds(int64_t(s * 1000)); };
    const double ramp = std::min(5.0, o.seconds / 6.0);
    const auto steadyFrom = seconds(ramp + 6), killAt = seconds(o.seconds / 2.0),
               restartAt = seconds(o.seconds * 3 / 4.0), end = seconds(o.seconds);
    ViewerPlan plan;
    plan.tier.sin_family = AF_INET;
    plan.tier.sin_addr = *address;
    plan.tier.sin_port = htons(uint16_t(std::atoi(o.tier.c_str() + colon + 1)));
    plan.prefix = "/channel/" + o.channel + "/live/";
    plan.viewers = o.viewers;
    plan.ramp = std::chrono::milliseconds(int64_t(ramp * 1000));
    plan.end = end;
    uint64_t egress[2] = {}, bytes[2] = {};
    std::pair<uint64_t, uint64_t> cpu[2];
    bool marked[4] = {};
    std::vector<pid_t> commands;
    RelayViewers viewers(plan);
    viewers.plan().tick = [&](Clock::time_point now) {
        if (!marked[0] && now >= steadyFrom) {
            marked[0] = true;
            egress[0] = readCounter(o.egress), bytes[0] = viewers.bytesReceived(), cpu[0] = cpuJiffies();
        }
        if (!marked[1] && now >= killAt) {
            marked[1] = true;
            egress[1] = readCounter(o.egress), bytes[1] = viewers.bytesReceived(), cpu[1] = cpuJiffies();
            commands.push_back(runShell(o.killEdge));
        }
        if (!marked[2] && now >= restartAt) {
            marked[2] = true;
            commands.push_back(runShell(o.restart));
        }
    };
    std::string error;
    if (!viewers.run(&error)) {
        std::fprintf(stderr, "relay_bench: %s\n", error.c_str());
        return 1;
    }
    for (pid_t pid : commands)
        if (pid > 0) waitpid(pid, nullptr, 0);

    // The steady window: before the faults.
    const Announcements &announced = viewers.announcements();
    auto announcedAt = [&](const std::string &session, uint64_t n) -> std::optional<Clock::time_point> {
        const auto s = announced.find(session);
        if (s == announced.end()) return std::nullopt;
        const auto a = s->second.find(n);
        return a == s->second.end() ? std::nullopt : std::optional(a->second);
    };
    const double window = secondsBetween(steadyFrom, killAt);
    std::map<std::pair<std::string, uint64_t>, uint64_t> streamPieces;
    std::vector<double> startDelays, continued, followed;
    int live = 0, neverStarted = 0, notFollowed = 0;
    uint64_t failures = 0, notFound = 0;
    std::string firstSession;
    for (const ViewerLog &log : viewers.logs()) {
        failures += log.failures;
        notFound += log.notFound;
        if (log.segments.empty()) {
            ++neverStarted;
            continue;
        }
        const ViewerLog::Piece &first = log.segments.front();
        if (firstSession.empty()) firstSession = first.session;
        startDelays.push_back(secondsBetween(log.started, first.at));
        // Kept live: each segment in the window arrived within a second of when playback from the
        // first one needed it, and none was stepped over.
        bool kept = log.skipped == 0;
        const auto firstAnnounced = announcedAt(first.session, first.number);
        uint64_t expected = first.number;
        for (const ViewerLog::Piece &p : log.segments) {
            if (p.at >= killAt) break;
            const auto a = announcedAt(p.session, p.number);
            if (p.number != expected++ || p.session != first.session) kept = false;
            if (a && firstAnnounced && p.at > first.at + (*a - *firstAnnounced) + 1s) kept = false;
            if (p.at >= steadyFrom && a && *a >= steadyFrom) streamPieces[{p.session, p.number}] = p.bytes;
        }
        live += kept;
        // After the edge's end: how long after a segment was there to have (or after the kill,
        // if it was there before) the viewer had it.
        for (const ViewerLog::Piece &p : log.segments)
            if (p.at > killAt) {
                const auto a = announcedAt(p.session, p.number);
                continued.push_back(secondsBetween(a ? std::max(*a, killAt) : killAt, p.at));
                break;
            }
        // After the broadcaster's restart: the first segment of the new session.
        const auto next = std::find_if(log.segments.begin(), log.segments.end(), [&](const ViewerLog::Piece &p) {
            return p.at > restartAt && p.session != first.session;
        });
        if (next == log.segments.end())
            ++notFollowed;
        else
            followed.push_back(secondsBetween(restartAt, next->at));
    }
    // When "latest" first named the new session to any viewer, and that session's first segment.
    std::optional<Clock::time_point> newNamed;
    for (const auto &[session, numbers] : announced)
        for (const auto &[number, at] : numbers)
            if (session != firstSession && at > restartAt && (!newNamed || at < *newNamed)) newNamed = at;
    uint64_t stream = 0;
    for (const auto &piece : streamPieces) stream += piece.second;
    const double delivered = double(bytes[1] - bytes[0]) * 8 / window;
    const double busy =
        100.0 * double(cpu[1].first - cpu[0].first) / double(std::max<uint64_t>(1, cpu[1].second - cpu[0].second));
    double load[3] = {};
    std::ifstream("/proc/loadavg") >> load[0] >> load[1] >> load[2];

    std::printf("viewers: %d through HAProxy, %d s (steady window %.0f s before the faults)\n", o.viewers, o.seconds,
                window);
    std::printf("delivered: %.1f Mbit/s in all (%.0f kbit/s per viewer)\n", delivered / 1e6,
                delivered / 1e3 / o.viewers);
    if (!o.egress.empty())
        std::printf("origin egress: %.2f MB for %.2f MB of stream = %.2f copies\n", (egress[1] - egress[0]) / 1e6,
                    stream / 1e6, stream ? double(egress[1] - egress[0]) / double(stream) : 0.0);
    std::printf("kept live: %d of %d (fell behind or never started: %d, never started: %d); requests failed: %llu, "
                "segments not found: %llu\n",
                live, o.viewers, o.viewers - live, neverStarted, (unsigned long long)failures,
                (unsigned long long)notFound);
    std::printf("start delay (first request to first segment): %s\n", spread(startDelays).c_str());
    std::printf("edge killed at %.0f s: viewers had their next segment after %s\n", secondsBetween(begin, killAt),
                spread(continued).c_str());
    std::printf("broadcaster restarted at %.0f s: viewers on the new session after %s; not followed: %d\n",
                secondsBetween(begin, restartAt), spread(followed).c_str(), notFollowed);
    if (newNamed)
        std::printf("  (\"latest\" named the new session %.2f s after the restart)\n",
                    secondsBetween(restartAt, *newNamed));
    std::printf("machine in the steady window: CPU %.0f %% busy; load average at the end %.2f %.2f %.2f\n", busy,
                load[0], load[1], load[2]);
    const bool ok = !continued.empty() && *std::max_element(continued.begin(), continued.end()) <= 5.0 &&
        !followed.empty() && notFollowed == 0 && *std::max_element(followed.begin(), followed.end()) <= 10.0;
    std::printf("bounds (continue <= 5 s, follow <= 10 s): %s\n", ok ? "met" : "NOT met");
    return ok ? 0 : 3;
}
