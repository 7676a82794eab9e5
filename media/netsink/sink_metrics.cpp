// The sink's counters at /metrics (see HttpRouter::metrics), in the Prometheus text format.
#include "media/netsink/sink_loop.h"

#include "common/metrics_text.h"

namespace morlanex {

std::string SinkLoop::renderMetrics() const {
    const NetworkSinkStats s = stats();
    MetricsText out;
    const auto one = [&](const char *name, const char *type, const char *help, double value) {
        out.family(name, type, help);
        out.sample(name, {}, value);
    };
    // Stream labels are the sink's own paths, which hold no quotes or backslashes.
    out.family("morlanex_sink_viewers", "gauge", "Viewers streaming now, by stream (its path, or webrtc).");
    out.sample("morlanex_sink_viewers", "stream=\"" + config_.path + "\"", double(s.viewers - s.mediaViewers));
    for (const auto &m : media_)
        out.sample("morlanex_sink_viewers", "stream=\"" + m->config.path + "\"", double(m->viewers));
    out.sample("morlanex_sink_viewers", "stream=\"webrtc\"", double(s.webrtcViewers));
    if (buffer_.renditionCount() > 1) {
        out.family("morlanex_sink_viewers_on_rendition", "gauge",
                   "Viewers of the Windows Media stream by video rendition (1: the lowest).");
        for (size_t r = 0; r < buffer_.renditionCount() && r < s.viewersOnRendition.size(); ++r)
            out.sample("morlanex_sink_viewers_on_rendition", "rendition=\"" + std::to_string(r + 1) + "\"",
                       double(s.viewersOnRendition[r]));
    }
    one("morlanex_sink_pending_requests", "gauge", "Connections whose request is not complete yet.",
        double(s.pendingRequests));
    out.family("morlanex_sink_requests_total", "counter", "Requests answered, by outcome.");
    const std::pair<const char *, uint64_t> outcomes[] = {
        {"stream", s.servedTotal},      {"refused", s.refusedTotal},    {"bad_request", s.badRequestTotal},
        {"not_found", s.notFoundTotal}, {"timed_out", s.timedOutTotal}, {"too_large", s.tooLargeTotal}};
    for (const auto &[outcome, count] : outcomes)
        out.sample("morlanex_sink_requests_total", std::string("outcome=\"") + outcome + "\"", double(count));
    one("morlanex_sink_segment_requests_total", "counter",
        "Requests for the cacheable pieces of a further stream (latest, manifest, header, segments).",
        double(s.segmentAnswers));
    one("morlanex_sink_dropped_slow_total", "counter", "Viewers dropped for falling too far behind.",
        double(s.droppedSlowTotal));
    one("morlanex_sink_sent_bytes_total", "counter", "Bytes written to clients.", double(s.bytesSent));
    out.family("morlanex_sink_packets_total", "counter", "Windows Media packets from the muxer, by outcome.");
    out.sample("morlanex_sink_packets_total", "outcome=\"accepted\"", double(s.packetsIn));
    out.sample("morlanex_sink_packets_total", "outcome=\"rejected\"", double(s.packetsRejected));
    one("morlanex_sink_chunks_total", "counter", "Chunks of the further streams accepted.", double(s.chunksIn));
    return out.text();
}

}  // namespace morlanex
