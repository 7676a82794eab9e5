// Internal header of the directory daemon.
//
// The daemon's counters in the Prometheus text format (version 0.0.4), for
// the channel page's /metrics: channels online, datagrams by kind, refusals
// by reason, liveness checks by outcome, their running count and their cost
// (seconds from connect to outcome, summed).
//
// Threads: a plain function; call it on the daemon's loop.
#pragma once

#include <string>

namespace morlanex {

class DirectoryServer;
class ServerLoop;

std::string renderDirectoryMetrics(const DirectoryServer &server, const ServerLoop &loop);

}  // namespace morlanex
