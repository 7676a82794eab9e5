// Internal header file.
//
// AnnounceListener: hears the gateway say it restarted. A PCP server sends an unsolicited
// ANNOUNCE (RFC 6887, section 14.1.3) and a NAT-PMP server its public address (RFC 6886,
// section 3.2.1) to 224.0.0.1:5350 when it starts or its outside address changes; either
// means the mappings may be gone. Only datagrams from the gateway count; anything else is
// ignored with a log line (at most one every 10 s, so a flood cannot fill the log).
//
// The socket shares port 5350 with other programs (SO_REUSEADDR): each gets its own copy.
//
// Threads: belongs to the port mapper's worker thread, which polls fd().
#pragma once

#include "net/port_mapping/mapping_method.h"
#include "net/unique_fd.h"

namespace morlanex::portmap {

class AnnounceListener {
public:
    // Listens on `inside`'s interface; not listening (fd() < 0) when the port cannot be had.
    AnnounceListener(in_addr gateway, in_addr inside, LogLine log);
    int fd() const { return socket_.get(); }
    // Reads what is waiting; true when the gateway announced a restart.
    bool readAnnouncements();

private:
    void ignore(const std::string &why, in_addr from);

    in_addr gateway_;
    LogLine log_;
    UniqueFd socket_;
    Clock::time_point lastIgnoredLog_{};
};

}  // namespace morlanex::portmap
