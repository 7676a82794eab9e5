#include "directory_server/directory_metrics.h"

#include "common/metrics_text.h"
#include "directory_server/directory_server.h"
#include "directory_server/server_loop.h"

namespace morlanex {
namespace {

// Label values are our own words (command names, reasons): plain ASCII without quotes.
void tally(MetricsText &out, const char *name, const char *label, const DirectoryServer::Tally &counts) {
    for (const auto &[value, count] : counts)
        out.sample(name, std::string(label) + "=\"" + value + "\"", static_cast<double>(count));
}

}  // namespace

std::string renderDirectoryMetrics(const DirectoryServer &server, const ServerLoop &loop) {
    MetricsText out;
    out.family("morlanex_directory_channels_online", "gauge", "Channels online now.");
    out.sample("morlanex_directory_channels_online", {}, static_cast<double>(server.onlineChannels()));
    out.family("morlanex_directory_datagrams_total", "counter", "Datagrams received, by command.");
    tally(out, "morlanex_directory_datagrams_total", "kind", server.datagramsByKind());
    out.family("morlanex_directory_refusals_total", "counter", "Datagrams dropped, by reason.");
    tally(out, "morlanex_directory_refusals_total", "reason", server.refusalsByReason());
    out.family("morlanex_directory_liveness_checks_total", "counter",
               "Liveness checks of channels' streams, by outcome.");
    out.sample("morlanex_directory_liveness_checks_total", "outcome=\"answered\"",
               static_cast<double>(loop.checksAnswered()));
    out.sample("morlanex_directory_liveness_checks_total", "outcome=\"failed\"",
               static_cast<double>(loop.checksFailed()));
    out.family("morlanex_directory_liveness_checks_running", "gauge", "Liveness checks waiting for an outcome.");
    out.sample("morlanex_directory_liveness_checks_running", {}, static_cast<double>(loop.checksRunning()));
    out.family("morlanex_directory_liveness_check_seconds_total", "counter",
               "Time from each liveness check's connect to its outcome, summed.");
    out.sample("morlanex_directory_liveness_check_seconds_total", {}, loop.checkSeconds());
    return out.text();
}

}  // namespace morlanex
