// Internal header. Keeps the stream's TCP port for the whole run.
//
// The live stream is served on the TCP port whose number the system gave the first UDP
// endpoint. Nothing stops the system from handing the same number to some other program's
// outgoing TCP connection before the broadcast starts, which would make the sink fail to open.
// A TCP socket bound (not listening) to the port keeps it out of the system's automatic choice;
// both it and the sink use SO_REUSEADDR, so the sink can still bind and listen on it.
#pragma once

#include "net/socket.h"

#include <cstdint>

class ServingPortReservation {
public:
    ServingPortReservation() = default;
    ~ServingPortReservation();
    ServingPortReservation(const ServingPortReservation &) = delete;
    ServingPortReservation &operator=(const ServingPortReservation &) = delete;

    // False when the TCP port is already taken (the caller picks another UDP port).
    bool reserve(std::uint16_t port);
    void release();
    bool held() const { return bool(fd_); }

private:
    morlanex::UniqueFd fd_;
};
