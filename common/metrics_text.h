// Internal header file.
//
// MetricsText: counters written in the Prometheus text exposition format (version 0.0.4), as
// both servers answer /metrics: a HELP and TYPE line per family, then its samples. Label
// values are the caller's own words (no quotes, backslashes or line breaks), so nothing is
// escaped.
//
// Threads: a plain value; use from one thread.
//
// Example:
//   MetricsText m;
//   m.family("morlanex_sink_sent_bytes_total", "counter", "Bytes written to clients.");
//   m.sample("morlanex_sink_sent_bytes_total", {}, 1234);
//   answer(m.text());
#pragma once

#include <string>
#include <string_view>

namespace morlanex {

class MetricsText {
public:
    // `type`: "counter" or "gauge".
    void family(std::string_view name, std::string_view type, std::string_view help);
    // `labels`: empty, or `key="value"` pairs joined by commas.
    void sample(std::string_view name, std::string_view labels, double value);
    const std::string &text() const { return text_; }

private:
    std::string text_;
};

}  // namespace morlanex
