#include "webrtc_load_figures.h"

#include <algorithm>
#include <cmath>

namespace morlanex::bench {
namespace {

constexpr double kLiveLimitSeconds = 1.0;

double seconds(LoadClock::duration d) { return std::chrono::duration<double>(d).count(); }

template <class T>
double quantile(std::vector<T> &v, double q) {
    if (v.empty()) return 0;
    const auto nth = v.begin() + ptrdiff_t(q * double(v.size() - 1));
    std::nth_element(v.begin(), nth, v.end());
    return double(*nth);
}

float origin(const ViewerFigures &v) {
    float o = v.frames.front().lateness;
    for (const WholeFrame &f : v.frames) o = std::min(o, f.lateness);
    return o;
}

// Which rendition the sink sent in each 2 s of the window (a group of pictures), told by the
// bytes that came to the viewer's link: the nearest, by ratio, of the renditions' rates.
std::vector<size_t> renditionsSent(const ViewerFigures &v, const std::vector<double> &rates) {
    std::vector<size_t> sent;
    if (rates.empty()) return sent;
    for (size_t i = 0; i + 1 < v.offeredPerSecond.size(); i += 2) {  // the last, partial second left out
        const double rate = double(v.offeredPerSecond[i] + v.offeredPerSecond[i + 1]) * 8 / 2;
        size_t best = 0;
        for (size_t r = 1; r < rates.size(); ++r)
            if (std::abs(std::log(rate / rates[r])) < std::abs(std::log(rate / rates[best]))) best = r;
        sent.push_back(best);
    }
    return sent;
}

void summarizeGroup(const std::vector<const ViewerFigures *> &viewers, const WebrtcLoadOptions &o, const WindowTimes &t,
                    WebrtcGroupResult &g, std::vector<float> &all) {
    g.endedOn.assign(o.renditionBitsPerSecond.size(), 0);
    std::vector<float> delays;
    double bits = 0;
    size_t receiving = 0;
    for (const ViewerFigures *v : viewers) {
        for (const TrackFigures *track : {&v->video, &v->audio})
            g.packetsExpected += track->expected, g.packetsReceived += track->received;
        const std::vector<size_t> seen = renditionsSent(*v, o.renditionBitsPerSecond);
        if (!seen.empty()) ++g.endedOn[seen.back()];
        for (size_t i = 1; i < seen.size(); ++i) g.moves += seen[i] != seen[i - 1];
        receiving += v->bytesAfterLink > 0;
        bits += double(v->bytesAfterLink) * 8;
        if (v->frames.empty()) continue;
        ++g.playing;
        const float o0 = origin(*v);
        float worst = 0;
        for (const WholeFrame &f : v->frames)
            delays.push_back(f.lateness - o0), worst = std::max(worst, f.lateness - o0);
        if (worst <= kLiveLimitSeconds && t.end - v->lastFrame <= std::chrono::seconds(1)) ++g.keptLive;
        for (size_t i = 1; i < v->frames.size(); ++i)
            if (v->frames[i].at - v->frames[i - 1].at > kLiveLimitSeconds) {
                ++g.froze;
                break;
            }
    }
    all.insert(all.end(), delays.begin(), delays.end());
    g.delayP50 = quantile(delays, 0.5);
    g.delayP95 = quantile(delays, 0.95);
    if (receiving) g.receivedBitsPerSecond = bits / double(receiving) / seconds(t.end - t.start);
}

// Whether a viewer already playing kept up while the storm came in; its delays then to `delays`.
bool keptUpInStorm(const ViewerFigures &v, const WindowTimes &t, std::vector<float> &delays) {
    const float from = float(seconds(t.stormStart - t.start)), to = float(seconds(t.stormEnd - t.start));
    const float o0 = origin(v);
    float last = from, worst = 0;
    bool ok = true;
    for (const WholeFrame &f : v.frames) {
        if (f.at < from || f.at > to) continue;
        ok = ok && f.at - last <= kLiveLimitSeconds;
        last = f.at;
        delays.push_back(f.lateness - o0);
        worst = std::max(worst, f.lateness - o0);
    }
    return ok && to - last <= kLiveLimitSeconds && worst <= kLiveLimitSeconds;
}

void summarizeStorm(const std::vector<ViewerFigures> &viewers, const WebrtcLoadOptions &o, const WindowTimes &t,
                    WebrtcStormResult &s) {
    s.viewers = o.stormViewers;
    std::vector<double> firstFrames;
    std::vector<float> watchingDelays;
    LoadClock::time_point first = LoadClock::time_point::max(), last{};
    for (const ViewerFigures &v : viewers) {
        if (!v.storm) {
            const float from = float(seconds(t.stormStart - t.start));
            if (v.frames.empty() || v.frames.front().at >= from) continue;
            ++s.watching;
            s.watchingKeptLive += keptUpInStorm(v, t, watchingDelays);
            continue;
        }
        ++s.joined;
        first = std::min(first, v.requested);
        last = std::max(last, v.requested);
        if (v.firstFrame == LoadClock::time_point{}) continue;
        ++s.playing;
        firstFrames.push_back(seconds(v.firstFrame - v.requested));
        s.playingWithin5s += firstFrames.back() <= 5.0;
    }
    if (s.joined) s.joinSeconds = seconds(last - first);
    s.firstFrameP50 = quantile(firstFrames, 0.5);
    s.firstFrameP95 = quantile(firstFrames, 0.95);
    s.firstFrameMax = quantile(firstFrames, 1.0);
    s.watchingDelayP95 = quantile(watchingDelays, 0.95);
}

}  // namespace

void summarize(const std::vector<ViewerFigures> &viewers, const WebrtcLoadOptions &o, const WindowTimes &t,
               WebrtcLoadResult &r) {
    const size_t groups = std::max<size_t>(o.linkBytesPerSecond.size(), 1);
    r.groups.assign(groups, {});
    std::vector<std::vector<const ViewerFigures *>> members(groups);
    for (size_t i = 0; i < o.viewers; ++i) ++r.groups[i % groups].viewers;
    for (const ViewerFigures &v : viewers)
        if (!v.storm) members[v.group].push_back(&v);
    std::vector<float> all;
    for (size_t g = 0; g < groups; ++g) {
        r.groups[g].linkBytesPerSecond = g < o.linkBytesPerSecond.size() ? o.linkBytesPerSecond[g] : 0;
        summarizeGroup(members[g], o, t, r.groups[g], all);
        r.playing += r.groups[g].playing;
        r.keptLive += r.groups[g].keptLive;
        r.packetsExpected += r.groups[g].packetsExpected;
        r.packetsReceived += r.groups[g].packetsReceived;
    }
    r.delayP50 = quantile(all, 0.5);
    r.delayP95 = quantile(all, 0.95);
    if (o.stormViewers) summarizeStorm(viewers, o, t, r.storm);
}

}  // namespace morlanex::bench
