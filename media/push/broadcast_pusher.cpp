#include "media/push/broadcast_pusher.h"

#include <sys/random.h>

#include <cstdio>

namespace morlanex {
namespace {

constexpr int kCredentialAttempts = 3;
constexpr auto kCredentialRetry = std::chrono::seconds(2);
constexpr auto kSummaryEvery = std::chrono::seconds(10);

// 8 hex digits, random per pusher: its pieces never mix with another broadcast's in a cache.
std::string newSession() {
    uint32_t value = 0;
    if (::getrandom(&value, sizeof value, 0) != ssize_t(sizeof value))
        value = uint32_t(std::chrono::steady_clock::now().time_since_epoch().count());
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::span<const uint8_t> bytesOf(const std::string &text) {
    return {reinterpret_cast<const uint8_t *>(text.data()), text.size()};
}

// The tracks a manifest lists (those with a codec DASH names), in the header's order.
bool listed(const WebmTrack &t) { return !t.codec.empty() && (t.video() || t.audio()); }

}  // namespace

const char *toString(PushState state) {
    switch (state) {
    case PushState::Asking:
        return "asking for the credential";
    case PushState::Unavailable:
        return "no push";
    case PushState::Ready:
        return "ready";
    case PushState::Pushing:
        return "pushing";
    case PushState::Refused:
        return "refused";
    case PushState::Stopped:
        return "stopped";
    }
    return "?";
}

BroadcastPusher::BroadcastPusher(Config config)
    : config_(std::move(config)), queue_(config_.maxQueuedSegments, config_.maxQueuedBytes) {
    HttpClient::Options options = config_.http;
    options.localAddress = config_.settings.localAddress;
    directory_ = std::make_unique<HttpClient>(config_.settings.directoryAddress,
                                              uint16_t(config_.settings.directoryHttpPort), options);
}

BroadcastPusher::~BroadcastPusher() { stop(); }

void BroadcastPusher::start() {
    if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
}

void BroadcastPusher::activate() {
    std::lock_guard lock(mutex_);
    active_ = true;
    wake_.notify_all();
}

bool BroadcastPusher::active() const {
    std::lock_guard lock(mutex_);
    return active_;
}

void BroadcastPusher::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        directory_->cancel();
        if (ingest_) ingest_->cancel();
        wake_.notify_all();
    }
    if (worker_.joinable()) worker_.join();
}

PushReport BroadcastPusher::report() const {
    std::lock_guard lock(mutex_);
    return report_;
}

void BroadcastPusher::header(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (!assembler_.header(bytes)) return;
    queue_.clear();
    headerPending_ = true;
    wake_.notify_all();
}

void BroadcastPusher::chunk(std::span<const uint8_t> bytes, bool startPoint) {
    std::lock_guard lock(mutex_);
    std::optional<PushSegment> done = assembler_.chunk(bytes, startPoint, &report_.segmentsSkipped);
    if (!done) return;
    report_.segmentsSkipped += queue_.add(std::move(*done));
    report_.queuedBytes = queue_.bytes();
    report_.mostQueuedBytes = std::max(report_.mostQueuedBytes, queue_.bytes());
    wake_.notify_all();
}

void BroadcastPusher::log(const std::string &line) const {
    if (config_.settings.log) config_.settings.log(line);
}

void BroadcastPusher::setState(PushState state, const std::string &detail) {
    {
        std::lock_guard lock(mutex_);
        report_.state = state;
        report_.detail = detail;
    }
    log(std::string(toString(state)) + (detail.empty() ? "" : ": " + detail));
    publish();
}

void BroadcastPusher::publish() {
    if (config_.settings.report) config_.settings.report(report());
}

bool BroadcastPusher::pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, delay, [this] { return stopping_; });
}

bool BroadcastPusher::obtainCredential() {
    for (int attempt = 1;; ++attempt) {
        const CredentialAnswer answer = askPushCredential(*directory_, config_.streamPort, config_.settings.nodeId);
        if (answer.credential) {
            credential_ = answer.credential;
            std::lock_guard lock(mutex_);
            report_.channelId = credential_->channelId;
            ingest_ = std::make_unique<HttpClient>(credential_->ingest.host, credential_->ingest.port, config_.http);
            if (stopping_) ingest_->cancel();
            return true;
        }
        if (attempt >= kCredentialAttempts || !answer.retry()) {
            setState(PushState::Unavailable, "the directory gave no push credential: " + answer.error);
            return false;
        }
        if (!pause(kCredentialRetry)) return false;
    }
}

void BroadcastPusher::run() {
    setState(PushState::Asking);
    if (!obtainCredential()) return;
    setState(PushState::Ready, "channel " + credential_->channelId);
    {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || active_; });
        if (stopping_) return;
    }
    setState(PushState::Pushing, "to http://" + ingest_->where() + credential_->ingest.path);
    std::optional<WebmHeaderInfo> info;
    for (;;) {
        std::vector<uint8_t> header;
        std::optional<PushSegment> segment;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || headerPending_ || !queue_.empty(); });
            if (stopping_) break;
            if (headerPending_) {
                headerPending_ = false;
                header = assembler_.headerBytes();
                info = assembler_.info();
            } else {
                segment = queue_.take();
                report_.queuedBytes = queue_.bytes();
            }
        }
        bool refused = false;
        if (!header.empty()) {
            session_ = newSession();
            window_.reset(session_, *info);
            refused = !pushHeaders(header, *info);
        } else if (segment && info) {
            const Put outcome = pushSegment(*segment, *info);
            std::lock_guard lock(mutex_);
            if (outcome == Put::Done) ++report_.segmentsPushed;
            if (outcome == Put::Failed || outcome == Put::Abandoned) ++report_.segmentsSkipped;
            refused = outcome == Put::Refused;
        }
        if (refused) {
            // The credential ended on the directory's side: one more ask, for a directory that
            // restarted while the channel lives on.
            if (!obtainCredential()) {
                setState(PushState::Refused, "the tier refused the credential, and the directory gave no other");
                break;
            }
            std::lock_guard lock(mutex_);
            headerPending_ = !assembler_.headerBytes().empty();
            continue;
        }
        publish();
        if (std::chrono::steady_clock::now() - lastSummary_ >= kSummaryEvery) summarize();
    }
    summarize();
    const PushReport r = report();
    setState(r.state == PushState::Pushing || r.state == PushState::Ready ? PushState::Stopped : r.state, r.detail);
}

void BroadcastPusher::summarize() {
    lastSummary_ = std::chrono::steady_clock::now();
    const PushReport r = report();
    log(std::to_string(r.segmentsPushed) + " segments pushed, " + std::to_string(r.segmentsSkipped) + " skipped, " +
        std::to_string(r.bytesPushed) + " bytes; waiting " + std::to_string(r.queuedBytes) + " bytes (at most " +
        std::to_string(r.mostQueuedBytes) + ")");
}

bool BroadcastPusher::pushHeaders(const std::vector<uint8_t> &header, const WebmHeaderInfo &info) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> pieces;
    pieces.emplace_back(session_ + "/header", header);
    for (const WebmTrack &t : info.tracks)
        if (listed(t))
            pieces.emplace_back(session_ + "/t" + std::to_string(t.number) + "/header",
                                webmTrackHeader(header, t.number));
    pieces.emplace_back("watch", std::vector<uint8_t>(config_.playerPage.begin(), config_.playerPage.end()));
    for (const auto &[piece, body] : pieces) {
        const Put outcome = put(piece, body, false);
        if (outcome == Put::Refused) return false;
        if (outcome != Put::Done) return true;  // stopped, or a piece the shield will not take (logged)
    }
    return true;
}

BroadcastPusher::Put BroadcastPusher::pushSegment(const PushSegment &segment, const WebmHeaderInfo &info) {
    std::vector<uint64_t> trackBytes(info.tracks.size(), 0);
    std::vector<uint8_t> cut;
    for (size_t i = 0; i < info.tracks.size(); ++i) {
        const WebmTrack &t = info.tracks[i];
        if (!listed(t)) continue;
        cut.clear();
        if (!appendWebmTrackClusters(*segment.bytes, t.number, &cut)) {
            log("segment " + std::to_string(segment.number) + " does not read; left out");
            return Put::Failed;
        }
        trackBytes[i] = cut.size();
        const Put outcome =
            put(session_ + "/t" + std::to_string(t.number) + "/" + std::to_string(segment.startMs), cut, true);
        if (outcome != Put::Done) return outcome;
    }
    if (const Put outcome = put(session_ + "/" + std::to_string(segment.number), *segment.bytes, true);
        outcome != Put::Done)
        return outcome;
    // On the tier now: named from here on.
    window_.pushed(segment, std::move(trackBytes));
    for (const auto &[piece, body] :
         {std::pair<std::string, std::string>("manifest.mpd", window_.manifest(std::chrono::system_clock::now())),
          std::pair<std::string, std::string>("latest", window_.latest())}) {
        const Put outcome = put(piece, bytesOf(body), true);
        if (outcome == Put::Refused || outcome == Put::Stopped) return outcome;
    }
    return Put::Done;
}

BroadcastPusher::Put BroadcastPusher::put(const std::string &piece, std::span<const uint8_t> body, bool abandonable) {
    const std::string target = credential_->ingest.path + piece;
    const HttpHeaders headers = {{"Authorization", "Bearer " + credential_->token},
                                 {"Content-Type", "application/octet-stream"}};
    std::chrono::milliseconds delay = config_.firstRetry;
    for (bool told = false;; delay = std::min(delay * 2, config_.lastRetry)) {
        const HttpResult r = ingest_->request("PUT", target, headers, body);
        if (r.ok() && r.answer.status >= 200 && r.answer.status < 300) {
            std::lock_guard lock(mutex_);
            report_.bytesPushed += body.size();
            return Put::Done;
        }
        if (r.failure == HttpFailure::Cancelled) return Put::Stopped;
        if (r.ok() && (r.answer.status == 401 || r.answer.status == 403)) {
            log("the tier refused " + piece + " (" + std::to_string(r.answer.status) + ")");
            return Put::Refused;
        }
        if (r.ok() && r.answer.status >= 400 && r.answer.status < 500 && r.answer.status != 408 &&
            r.answer.status != 429) {
            log("the tier will not take " + piece + " (" + std::to_string(r.answer.status) + "); left out");
            return Put::Failed;
        }
        // Unreachable, a time-out, or busy (5xx, 408, 429): again after a pause.
        if (!told)
            log("pushing " + piece + " failed (" + (r.ok() ? "HTTP " + std::to_string(r.answer.status) : r.error) +
                "); trying again");
        told = true;
        {
            std::lock_guard lock(mutex_);
            if (abandonable && queue_.full()) return Put::Abandoned;  // newer segments wait: this one goes
        }
        if (!pause(delay)) return Put::Stopped;
    }
}

}  // namespace morlanex
