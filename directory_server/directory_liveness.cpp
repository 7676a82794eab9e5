// The directory's liveness checks of the channels online, its housekeeping (pruning, the log's
// summary) and its rate-limited log lines.
#include "directory_server/directory_server.h"
#include "directory_server/server_texts.h"

#include <algorithm>

namespace morlanex {
namespace {

// Logged lines held back are summed up this often.
constexpr auto SummaryEvery = std::chrono::seconds(10);

}  // namespace

void DirectoryServer::schedule(Channel &channel, Clock::time_point when) {
    schedule_.erase({channel.nextCheck, channel.online.channelId});
    channel.nextCheck = when;
    schedule_.insert({when, channel.online.channelId});
}

void DirectoryServer::checkSoon(Channel &channel) {
    if (channel.checkRunning) return;
    const auto now = clock_.now();
    const auto earliest = std::max(now, channel.lastAnswer + rules_.checkRetry);
    if (channel.nextCheck > earliest) schedule(channel, earliest);
}

std::vector<LivenessCheck> DirectoryServer::dueChecks() {
    const auto now = clock_.now();
    housekeeping(now);
    std::vector<LivenessCheck> due;
    while (!schedule_.empty() && schedule_.begin()->first <= now && checks_.size() < rules_.maxChecksInFlight) {
        const std::string id = schedule_.begin()->second;
        schedule_.erase(schedule_.begin());
        Channel &channel = channels_.at(id);
        channel.nextCheck = Clock::time_point::max();
        channel.checkRunning = nextCheckId_++;
        checks_[channel.checkRunning] = {id, channel.instance};
        due.push_back({channel.checkRunning, channel.online.first});
    }
    return due;
}

std::vector<Outgoing> DirectoryServer::checkDone(std::uint64_t checkId, bool answered, std::string error) {
    const auto found = checks_.find(checkId);
    if (found == checks_.end()) return {};
    const auto [id, instance] = found->second;
    checks_.erase(found);
    auto it = channels_.find(id);
    if (it == channels_.end() || it->second.instance != instance) return {};  // the channel went offline meanwhile
    Channel &channel = it->second;
    channel.checkRunning = 0;
    const auto now = clock_.now();
    const Peer stream = channel.online.first;  // kept: closing the channel ends `channel`
    std::optional<Registration> takeover = std::move(channel.takeover);
    channel.takeover.reset();
    channel.lastCheck = StreamCheck{answered, answered ? std::string() : std::move(error), now, clock_.wallSeconds()};
    try {
        // Its pushes reach the tier: alive, though nobody may connect to its stream.
        if (answered || pushedRecently(channel, now)) {
            channel.failedChecks = 0;
            channel.lastAnswer = now;
            if (channel.restored) note(channel.online.first, "channel " + id + " is back online after the restart");
            channel.restored = false;
            if (takeover)
                drop("stream_answers", takeover->from,
                     "LinkKERF_CAM for channel " + id + " from another address refused: " +
                         (answered ? "its stream answers at " + endpoint(channel.online.first)
                                   : std::string("its node pushes")));
            schedule(channel, now + rules_.checkInterval);
            return {};
        }
        ++channel.failedChecks;
        if (takeover) {
            closeChannel(
                it, "stream at " + endpoint(stream) + " does not answer, taken over from " + takeover->from.address);
            return admit(*takeover);
        }
        if (channel.restored || channel.failedChecks >= rules_.failedChecksOffline) {
            closeChannel(it,
                         "stream at " + endpoint(stream) + " did not answer " + std::to_string(channel.failedChecks) +
                             " checks");
            return {};
        }
        schedule(channel, now + rules_.checkRetry);
    } catch (const std::exception &error) {
        note(stream, "liveness of channel " + id + " failed: " + error.what());
    }
    return {};
}

DirectoryServer::Clock::time_point DirectoryServer::nextWakeup() const {
    auto next = nextHousekeeping_;
    if (!schedule_.empty() && checks_.size() < rules_.maxChecksInFlight)
        next = std::min(next, schedule_.begin()->first);
    return next;
}

void DirectoryServer::housekeeping(Clock::time_point now) {
    if (now < nextHousekeeping_) return;
    nextHousekeeping_ = now + SummaryEvery;
    registrations_.forgetFull(now);
    if (auto summary = logLimiter_.summary(now); summary && log_) log_(*summary);
    if (now < nextPrune_) return;
    // Pruning runs a few times within each period, at least hourly.
    const auto period =
        std::clamp<std::chrono::seconds>(rules_.pruneAfter / 4, std::chrono::seconds(1), std::chrono::seconds(3600));
    nextPrune_ = now + period;
    nextHousekeeping_ = std::min(nextHousekeeping_, nextPrune_);
    const std::int64_t wall = clock_.wallSeconds();
    try {
        const int pruned = store_.prune(wall - rules_.pruneAfter.count(), wall - rules_.viewWindow.count());
        if (pruned > 0 && log_)
            log_("pruned " + std::to_string(pruned) + " channels offline for more than " +
                 std::to_string(rules_.pruneAfter.count()) + " s");
    } catch (const std::exception &error) {
        if (log_) log_(std::string("pruning failed: ") + error.what());
    }
}

void DirectoryServer::note(const Peer &peer, const std::string &text) {
    if (log_ && logLimiter_.allow(peer.address, clock_.now())) log_(endpoint(peer) + " " + text);
}

void DirectoryServer::drop(std::string_view why, const Peer &peer, const std::string &text) {
    const auto it = refusalsByReason_.find(why);
    if (it != refusalsByReason_.end())
        ++it->second;
    else
        refusalsByReason_.emplace(std::string(why), 1);
    note(peer, "dropped: " + text);
}

const DirectoryServer::Channel *DirectoryServer::ownedBy(const std::string &address, std::uint16_t port,
                                                         bool *several) const {
    if (several) *several = false;
    const auto source = onlineBySource_.find(address);
    if (source == onlineBySource_.end()) return nullptr;
    const Channel *own = nullptr;
    for (const std::string &id : source->second) {
        const Channel &channel = channels_.at(id);
        // Behind a NAT the port the node knows may not be the one seen here: alone, it is its channel.
        if (channel.online.first.port == port || source->second.size() == 1) own = &channel;
    }
    if (!own && several) *several = true;
    return own;
}

std::optional<OwnChannel> DirectoryServer::ownChannel(const std::string &address, std::uint16_t port,
                                                      bool *several) const {
    const Channel *own = ownedBy(address, port, several);
    if (!own) return std::nullopt;
    return OwnChannel{own->online.channelId, own->instance, own->online.first, own->lastCheck};
}

void DirectoryServer::noteOnDemandCheck(const std::string &channelId, std::uint64_t instance,
                                        const StreamCheck &check) {
    const auto it = channels_.find(channelId);
    if (it == channels_.end() || it->second.instance != instance) return;
    it->second.lastCheck = check;
    note(it->second.online.first,
         "reachability of channel " + channelId +
             " asked by its node: " + (check.answered ? std::string("its stream answers") : check.error));
}

std::optional<Peer> DirectoryServer::liveOrigin(std::string_view channelId) const {
    const auto it = channels_.find(std::string(channelId));
    if (it == channels_.end() || it->second.restored || it->second.failedChecks > 0) return std::nullopt;
    return it->second.online.first;
}

}  // namespace morlanex
