#include "net/port_mapping/port_mapper.h"

#include "net/ipv4.h"
#include "net/port_mapping/announce_listener.h"
#include "net/port_mapping/gateway.h"
#include "net/port_mapping/natpmp_method.h"
#include "net/port_mapping/pcp_method.h"
#include "net/port_mapping/upnp_method.h"
#include "net/unique_fd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <random>
#include <utility>

namespace morlanex::portmap {

namespace {

// A burst of announcements (PCP and NAT-PMP both announce one restart) asks only once.
constexpr std::chrono::seconds kLeastRoundSpacing{1};
// What the worker keeps of stop()'s time for the removals, to leave and join in time.
constexpr std::chrono::milliseconds kJoinMargin{200};

}  // namespace

// The worker's state and its way back to the owner. The worker holds it too, so that a worker
// left behind by stop() never touches a destroyed PortMapper.
struct PortMapper::Shared {
    Config config;
    ReportCallback onReport;
    LogCallback onLog;
    UniqueFd stopFd{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};  // readable once stop() was asked

    std::mutex mutex;
    std::condition_variable changed;
    Clock::time_point stopAsked{};  // guarded by mutex
    bool finished = false;  // guarded by mutex
    bool silenced = false;  // guarded by mutex: no callback once set
    bool inCallback = false;  // guarded by mutex

    // Runs a callback unless silenced, without holding the lock while it runs.
    template <class F>
    void call(F &&f) {
        {
            std::lock_guard lock(mutex);
            if (silenced) return;
            inCallback = true;
        }
        f();
        {
            std::lock_guard lock(mutex);
            inCallback = false;
        }
        changed.notify_all();
    }
    void log(const std::string &line) {
        if (onLog) call([&] { onLog("port mapping: " + line); });
    }
};

namespace {

const char *kOutcomeTexts[] = {"all mapped", "some mapped", "no mapping service", "refused", "second NAT"};

class Worker {
public:
    explicit Worker(std::shared_ptr<PortMapper::Shared> shared)
        : s_(std::move(shared)), random_(std::random_device{}()) {}
    void run();

private:
    bool resolve(std::string *error);
    MappingReport round();
    MappingReport conclude(Method method, Round round);
    std::unique_ptr<MappingMethod> make(Method method);
    Clock::duration nextDelay(const MappingReport &report);
    void removeAll();
    bool stopping() const;

    std::shared_ptr<PortMapper::Shared> s_;
    const PortMapper::Config &config() const { return s_->config; }
    MethodContext context_;
    // One of each configured method for the gateway, kept from round to round: each holds what
    // it mapped (PCP's nonces among it), to renew and to remove.
    std::vector<std::unique_ptr<MappingMethod>> methods_;
    MappingMethod *current_ = nullptr;  // the one that mapped last
    std::unique_ptr<AnnounceListener> announcements_;
    std::mt19937 random_;
};

bool Worker::stopping() const {
    pollfd fd = {s_->stopFd.get(), POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

bool Worker::resolve(std::string *error) {
    std::optional<in_addr> gateway =
        config().gateway.empty() ? defaultGateway(error) : parseDottedQuad(config().gateway);
    if (!gateway) {
        if (!config().gateway.empty()) *error = "the gateway " + config().gateway + " is not a dotted quad";
        return false;
    }
    // A home router's inside address is private (or shared, behind a carrier's NAT). A public
    // gateway is no home router: nothing is sent to it.
    if (config().gateway.empty() && !isPrivateOrShared(*gateway)) {
        *error = "the default gateway " + dottedQuad(*gateway) + " is not on a private network";
        return false;
    }
    std::optional<in_addr> inside = config().insideAddress.empty() ? insideAddressTowards(*gateway, error)
                                                                   : parseDottedQuad(config().insideAddress);
    if (!inside) {
        if (!config().insideAddress.empty())
            *error = "the inside address " + config().insideAddress + " is not a dotted quad";
        return false;
    }
    if (!methods_.empty() && gateway->s_addr == context_.gateway.s_addr && inside->s_addr == context_.inside.s_addr)
        return true;
    // A new network (or the first): what was mapped on another gateway is out of reach.
    context_.gateway = *gateway;
    context_.inside = *inside;
    context_.cancelFd = s_->stopFd.get();
    context_.log = [shared = s_.get()](const std::string &line) { shared->log(line); };
    s_->log("asking the gateway " + dottedQuad(*gateway) + " for " + dottedQuad(*inside));
    current_ = nullptr;
    methods_.clear();
    for (const Method method : config().methods)
        if (auto made = make(method)) methods_.push_back(std::move(made));
    announcements_ = std::make_unique<AnnounceListener>(*gateway, *inside, context_.log);
    return true;
}

std::unique_ptr<MappingMethod> Worker::make(Method method) {
    switch (method) {
    case Method::Pcp:
        return std::make_unique<PcpMethod>(context_);
    case Method::NatPmp:
        return std::make_unique<NatPmpMethod>(context_);
    case Method::Upnp:
        return std::make_unique<UpnpMethod>(context_);
    case Method::None:
        break;
    }
    return nullptr;
}

MappingReport Worker::conclude(Method method, Round round) {
    MappingReport report;
    report.method = method;
    report.ports = std::move(round.ports);
    if (round.outsideAddress) report.outsideAddress = dottedQuad(*round.outsideAddress);
    const auto mapped = std::count_if(report.ports.begin(), report.ports.end(), [](auto &p) { return p.mapped(); });
    if (round.outsideAddress && isPrivateOrShared(*round.outsideAddress)) {
        report.outcome = Outcome::SecondNat;
        report.error = "the router's outside address " + report.outsideAddress +
            " is private or shared: another NAT lies beyond it, and no mapping on this router helps";
    } else if (mapped == 0) {
        report.outcome = Outcome::Refused;
        report.error = round.error.empty() ? "the router mapped no port" : round.error;
    } else {
        report.outcome = size_t(mapped) == report.ports.size() ? Outcome::AllMapped : Outcome::SomeMapped;
    }
    return report;
}

MappingReport Worker::round() {
    MappingReport noService;
    std::string error;
    if (!resolve(&error)) {
        noService.error = "no gateway to ask: " + error;
        return noService;
    }
    const auto deadline = [this] { return Clock::now() + config().discoveryTime; };
    MappingMethod *failed = nullptr;
    if (current_) {
        Round renewed = current_->map(config().ports, config().lease, deadline());
        if (renewed.answered) return conclude(current_->method(), std::move(renewed));
        failed = std::exchange(current_, nullptr);
    }
    std::optional<MappingReport> refused;
    bool port5351Dead = false;  // PCP found nothing there: NAT-PMP, on the same port, is not asked
    for (const auto &candidate : methods_) {
        if (stopping()) break;
        if (candidate.get() == failed || (candidate->method() == Method::NatPmp && port5351Dead)) continue;
        Round round = candidate->map(config().ports, config().lease, deadline());
        if (!round.answered) {
            port5351Dead = candidate->method() == Method::Pcp && round.noServer;
            continue;
        }
        MappingReport report = conclude(candidate->method(), std::move(round));
        // A method that refused everything is kept only if no later one does better.
        if (report.outcome == Outcome::Refused) {
            if (!refused) refused = std::move(report);
            continue;
        }
        if (report.outcome == Outcome::SecondNat)
            candidate->unmapAll(deadline());
        else
            current_ = candidate.get();
        return report;
    }
    if (refused) return *refused;
    noService.error =
        "no port mapping service (PCP, NAT-PMP or UPnP) answered at the gateway " + dottedQuad(context_.gateway);
    return noService;
}

Clock::duration Worker::nextDelay(const MappingReport &report) {
    if (report.outcome != Outcome::AllMapped && report.outcome != Outcome::SomeMapped) return config().retryInterval;
    std::chrono::seconds lifetime = config().lease;
    for (const PortResult &port : report.ports)
        if (port.mapped() && port.lifetime.count() > 0) lifetime = std::min(lifetime, port.lifetime);
    // RFC 6887, section 11.2.1: renew between 1/2 and 5/8 of the lifetime.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(lifetime).count();
    std::uniform_int_distribution<long long> pick(ms / 2, ms * 5 / 8);
    return std::max<Clock::duration>(std::chrono::milliseconds(pick(random_)), std::chrono::seconds(1));
}

void Worker::removeAll() {
    Clock::time_point asked;
    {
        std::lock_guard lock(s_->mutex);
        asked = s_->stopAsked;
    }
    const Deadline deadline = asked + config().stopTime - kJoinMargin;
    // The method in use first; the others remove what they mapped before, if anything.
    if (current_) current_->unmapAll(deadline);
    for (const auto &method : methods_)
        if (method.get() != current_) method->unmapAll(deadline);
    methods_.clear();
}

void Worker::run() {
    auto next = Clock::now();
    auto lastRound = Clock::time_point{};
    for (;;) {
        pollfd fds[2] = {{s_->stopFd.get(), POLLIN, 0}, {announcements_ ? announcements_->fd() : -1, POLLIN, 0}};
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
        if (wait > 0 && ::poll(fds, 2, int(std::min<long long>(wait, 60'000))) > 0) {
            if (fds[0].revents) break;
            if (fds[1].revents && announcements_->readAnnouncements() &&
                Clock::now() - lastRound >= kLeastRoundSpacing) {
                s_->log("the gateway announced a restart; mapping again");
                next = Clock::now();
            }
        }
        if (Clock::now() < next) continue;
        const MappingReport report = round();
        lastRound = Clock::now();
        if (stopping()) break;  // no report after stop() was asked
        s_->log(std::string("outcome: ") + kOutcomeTexts[int(report.outcome)] +
                (report.error.empty() ? "" : " (" + report.error + ")"));
        if (s_->onReport) s_->call([&] { s_->onReport(report); });
        next = lastRound + nextDelay(report);
    }
    removeAll();
    {
        std::lock_guard lock(s_->mutex);
        s_->finished = true;
    }
    s_->changed.notify_all();
}

}  // namespace

const char *toString(Outcome outcome) { return kOutcomeTexts[int(outcome)]; }

const char *toString(Protocol protocol) { return protocol == Protocol::Tcp ? "TCP" : "UDP"; }

const char *toString(Method method) {
    switch (method) {
    case Method::Pcp:
        return "PCP";
    case Method::NatPmp:
        return "NAT-PMP";
    case Method::Upnp:
        return "UPnP";
    case Method::None:
        break;
    }
    return "none";
}

PortMapper::PortMapper(Config config, ReportCallback onReport, LogCallback onLog)
    : config_(std::move(config)), onReport_(std::move(onReport)), onLog_(std::move(onLog)) {}

PortMapper::~PortMapper() { stop(); }

void PortMapper::start() {
    if (worker_.joinable()) return;
    shared_ = std::make_shared<Shared>();
    shared_->config = config_;
    shared_->onReport = onReport_;
    shared_->onLog = onLog_;
    worker_ = std::thread([shared = shared_] { Worker(shared).run(); });
}

void PortMapper::stop() {
    if (!worker_.joinable()) return;
    const auto asked = Clock::now();
    std::unique_lock lock(shared_->mutex);
    shared_->stopAsked = asked;
    const uint64_t one = 1;
    if (::write(shared_->stopFd.get(), &one, sizeof one) != sizeof one) shared_->silenced = true;
    const bool finished =
        shared_->changed.wait_until(lock, asked + config_.stopTime, [this] { return shared_->finished; });
    if (!finished) {
        // Stuck in a blocking call: it may finish alone, but calls nobody back from now on.
        shared_->silenced = true;
        shared_->changed.wait(lock, [this] { return !shared_->inCallback; });
    }
    lock.unlock();
    if (finished)
        worker_.join();
    else
        worker_.detach();
    shared_.reset();
}

}  // namespace morlanex::portmap
