#include "media/netsink/dash_manifest.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numeric>

namespace morlanex {
namespace {

using std::chrono::milliseconds;
using std::chrono::system_clock;

// A repeated change of this much between the newest segment's end and the clock means the
// encoder's clock jumped (restarted, or paused without its time going on), not chunking jitter.
constexpr int64_t kReanchorMs = 1000;
constexpr uint64_t kMinUpdateMs = 500, kMaxUpdateMs = 5000, kMinPresentationDelayMs = 3000;
constexpr size_t kKeepOldest = 2;  // with this many segments or fewer, the oldest stays listed

// xs:duration, e.g. "PT2.000S".
std::string duration(uint64_t ms) {
    char text[40];
    std::snprintf(text, sizeof text, "PT%" PRIu64 ".%03" PRIu64 "S", ms / 1000, ms % 1000);
    return text;
}

// xs:dateTime in UTC with ms, e.g. "2026-12-08T10:04:41.250Z".
std::string dateTime(system_clock::time_point t) {
    const int64_t ms = std::chrono::duration_cast<milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = std::time_t(ms / 1000 - (ms % 1000 < 0));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, int((ms % 1000 + 1000) % 1000));
    return text;
}

// A frame duration as DASH's frame rate: a whole number where it is one (the muxer writes
// 66666666 ns for 15 frames/s), else a fraction.
std::string frameRate(uint64_t frameDurationNs) {
    constexpr uint64_t kSecondNs = 1000000000;
    const uint64_t whole = (kSecondNs + frameDurationNs / 2) / frameDurationNs;
    if (whole && std::llabs(int64_t(whole * frameDurationNs) - int64_t(kSecondNs)) < int64_t(whole))
        return std::to_string(whole);
    const uint64_t d = std::gcd(kSecondNs, frameDurationNs);
    return std::to_string(kSecondNs / d) + "/" + std::to_string(frameDurationNs / d);
}

}  // namespace

std::string DashManifest::text() const {
    std::vector<uint64_t> durations;
    for (const DashSegment &s : segments) durations.push_back(s.durationMs);
    // The typical segment, not one that spans a pause of the encoders.
    std::nth_element(durations.begin(), durations.begin() + std::ptrdiff_t(durations.size() / 2), durations.end());
    const uint64_t typical = durations.empty() ? kMinUpdateMs : durations[durations.size() / 2];
    const uint64_t depth =
        segments.empty() ? 0 : segments.back().startMs + segments.back().durationMs - segments.front().startMs;

    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" profiles=\"urn:mpeg:dash:profile:isoff-live:2011\""
                    " type=\"dynamic\"";
    s += " availabilityStartTime=\"" + dateTime(availabilityStart) + "\"";
    s += " publishTime=\"" + dateTime(published) + "\"";
    s += " minimumUpdatePeriod=\"" + duration(std::clamp(typical, kMinUpdateMs, kMaxUpdateMs)) + "\"";
    s += " timeShiftBufferDepth=\"" + duration(depth) + "\"";
    s += " suggestedPresentationDelay=\"" + duration(std::max(kMinPresentationDelayMs, 2 * typical)) + "\"";
    s += " minBufferTime=\"" + duration(typical) + "\">\n";
    s += "  <Period id=\"0\" start=\"PT0S\">\n";
    std::string timeline = "          <SegmentTimeline>\n";
    for (const DashSegment &segment : segments)
        timeline += "            <S t=\"" + std::to_string(segment.startMs) + "\" d=\"" +
            std::to_string(segment.durationMs) + "\"/>\n";
    timeline += "          </SegmentTimeline>\n";
    for (size_t i = 0; i < stream.tracks.size(); ++i) {
        const WebmTrack &t = stream.tracks[i];
        if (t.codec.empty() || !(t.video() || t.audio())) continue;
        const std::string kind = t.video() ? "video" : "audio";
        const std::string number = std::to_string(t.number);
        s += "    <AdaptationSet contentType=\"" + kind + "\" mimeType=\"" + kind +
            "/webm\" segmentAlignment=\"true\" startWithSAP=\"1\">\n";
        s += "      <Representation id=\"" + number + "\" codecs=\"" + t.codec + "\"";
        if (t.width && t.height)
            s += " width=\"" + std::to_string(t.width) + "\" height=\"" + std::to_string(t.height) + "\"";
        if (t.video() && t.frameDurationNs) s += " frameRate=\"" + frameRate(t.frameDurationNs) + "\"";
        if (t.audio() && t.sampleRateHz) s += " audioSamplingRate=\"" + std::to_string(t.sampleRateHz) + "\"";
        s += " bandwidth=\"" + std::to_string(i < bandwidthBps.size() ? bandwidthBps[i] : 0) + "\">\n";
        s += "        <SegmentTemplate timescale=\"1000\" initialization=\"" + session + "/t" + number +
            "/header\" media=\"" + session + "/t" + number + "/$Time$\" startNumber=\"0\">\n";
        s += timeline;
        s += "        </SegmentTemplate>\n"
             "      </Representation>\n"
             "    </AdaptationSet>\n";
    }
    s += "  </Period>\n";
    // The sink's clock, which availabilityStartTime was reckoned by, for players to set theirs to.
    s += "  <UTCTiming schemeIdUri=\"urn:mpeg:dash:utc:direct:2014\" value=\"" + dateTime(published) + "\"/>\n";
    s += "</MPD>\n";
    return s;
}

std::optional<SegmentAt> segmentStartingAt(const StreamBuffer &b, uint64_t startMs) {
    const std::optional<uint64_t> newest = b.newestSegment();
    const std::optional<WebmHeaderInfo> info = b.header() ? readWebmHeader(b.header()->raw) : std::nullopt;
    if (!newest || !info) return std::nullopt;
    const auto startsAt = [&](uint64_t seq) {
        const PacketBytes *chunk = b.packet(seq);
        return chunk && clusterTimeMs(**chunk, info->timecodeScaleNs) == startMs;
    };
    // The one being made begins where the newest complete one ends.
    if (startsAt(b.segment(*newest)->second)) return SegmentAt{*newest + 1, false};
    for (uint64_t n = *newest;; --n) {
        const auto range = b.segment(n);
        if (!range) return std::nullopt;
        if (startsAt(range->first)) return SegmentAt{n, true};
        if (n == 0) return std::nullopt;
    }
}

std::optional<DashManifest> DashTimeline::describe(const StreamBuffer &b, const std::string &session) {
    const std::optional<uint64_t> newest = b.newestSegment();
    if (!b.header() || !newest) return std::nullopt;
    const std::optional<WebmHeaderInfo> info = readWebmHeader(b.header()->raw);
    if (!info) return std::nullopt;
    const auto timeOf = [&](uint64_t seq) {
        const PacketBytes *chunk = b.packet(seq);
        return chunk ? clusterTimeMs(**chunk, info->timecodeScaleNs) : std::nullopt;
    };

    DashManifest m;
    m.session = session;
    m.stream = *info;
    // From the newest back to the window's start, a change of header, or a time that does not read.
    uint64_t newestEnd = 0;  // the start point that completed the newest segment
    std::optional<uint64_t> end;
    for (uint64_t n = *newest;; --n) {
        const auto range = b.segment(n);
        if (!range || range->first < b.headerStart()) break;
        if (n == *newest) {
            newestEnd = range->second;
            end = timeOf(newestEnd);
        }
        const std::optional<uint64_t> start = timeOf(range->first);
        if (!start || !end || *end <= *start) break;
        m.segments.push_back({n, *start, *end - *start});
        end = start;
        if (n == 0) break;
    }
    if (m.segments.empty()) return std::nullopt;
    if (m.segments.size() > kKeepOldest) m.segments.pop_back();
    std::reverse(m.segments.begin(), m.segments.end());
    // Each track's bit rate over the listed segments, each segment cut once.
    std::erase_if(trackBytes_, [&](const auto &entry) { return entry.first < m.segments.front().number; });
    m.bandwidthBps.assign(info->tracks.size(), 0);
    std::vector<uint8_t> whole, track;
    for (const DashSegment &segment : m.segments) {
        auto [it, added] = trackBytes_.try_emplace(segment.number);
        if (added) {
            whole.clear();
            b.appendSegment(segment.number, &whole);
            for (const WebmTrack &t : info->tracks) {
                track.clear();
                appendWebmTrackClusters(whole, t.number, &track);
                it->second.push_back(track.size());
            }
        }
        for (size_t i = 0; i < it->second.size() && i < m.bandwidthBps.size(); ++i) m.bandwidthBps[i] += it->second[i];
    }
    const uint64_t spanMs = m.segments.back().startMs + m.segments.back().durationMs - m.segments.front().startMs;
    for (uint64_t &bps : m.bandwidthBps) bps = bps * 8000 / spanMs;

    // When the newest listed segment became complete, by the wall clock.
    m.published = system_clock::now();
    const auto completed = m.published -
        std::chrono::duration_cast<system_clock::duration>(StreamBuffer::Clock::now() - b.arrivedAt(newestEnd));
    const int64_t candidate = std::chrono::duration_cast<milliseconds>(completed.time_since_epoch()).count() -
        int64_t(m.segments.back().startMs + m.segments.back().durationMs);
    if (!startMs_ || std::abs(candidate - *startMs_) > kReanchorMs) startMs_ = candidate;
    m.availabilityStart = system_clock::time_point(milliseconds(*startMs_));
    return m;
}

}  // namespace morlanex
