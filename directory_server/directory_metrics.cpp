#include "directory_server/directory_metrics.h"

#include "directory_server/directory_server.h"
#include "directory_server/server_loop.h"

#include <cstdio>

namespace morlanex {
namespace {

void family(std::string &out, const char *name, const char *type, const char *help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string &out, const char *name, const std::string &labels, double value) {
    char number[32];
    std::snprintf(number, sizeof number, "%.17g", value);
    out += name + (labels.empty() ? std::string() : "{" + labels + "}") + " " + number + "\n";
}

// Label values are our own words (command names, reasons): plain ASCII without quotes.
void tally(std::string &out, const char *name, const char *label, const DirectoryServer::Tally &counts) {
    for (const auto &[value, count] : counts)
        sample(out, name, std::string(label) + "=\"" + value + "\"", static_cast<double>(count));
}

}  // namespace

std::string renderDirectoryMetrics(const DirectoryServer &server, const ServerLoop &loop) {
    std::string out;
    family(out, "morlanex_directory_channels_online", "gauge", "Channels online now.");
    sample(out, "morlanex_directory_channels_online", {}, static_cast<double>(server.onlineChannels()));
    family(out, "morlanex_directory_datagrams_total", "counter", "Datagrams received, by command.");
    tally(out, "morlanex_directory_datagrams_total", "kind", server.datagramsByKind());
    family(out, "morlanex_directory_refusals_total", "counter", "Datagrams dropped, by reason.");
    tally(out, "morlanex_directory_refusals_total", "reason", server.refusalsByReason());
    family(out, "morlanex_directory_liveness_checks_total", "counter",
           "Liveness checks of channels' streams, by outcome.");
    sample(out, "morlanex_directory_liveness_checks_total", "outcome=\"answered\"",
           static_cast<double>(loop.checksAnswered()));
    sample(out, "morlanex_directory_liveness_checks_total", "outcome=\"failed\"",
           static_cast<double>(loop.checksFailed()));
    family(out, "morlanex_directory_liveness_checks_running", "gauge", "Liveness checks waiting for an outcome.");
    sample(out, "morlanex_directory_liveness_checks_running", {}, static_cast<double>(loop.checksRunning()));
    family(out, "morlanex_directory_liveness_check_seconds_total", "counter",
           "Time from each liveness check's connect to its outcome, summed.");
    sample(out, "morlanex_directory_liveness_check_seconds_total", {}, loop.checkSeconds());
    return out;
}

}  // namespace morlanex
