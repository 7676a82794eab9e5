// Internal header.
//
// NotifiedEndpoint: a UdpEndpoint read on the Qt event loop of the thread that owns it: while
// its socket is open a QSocketNotifier watches it and calls readReady(), so datagrams are
// handled on that thread between its other events, a batch at a time.
//
// Threads: the owner's (the UI thread for the session); the endpoint owns the socket, the
// notifier only watches it.
//
// Example:
//   NotifiedEndpoint cam;
//   cam.endpoint.setReadHandler([&](const Datagram &d) { onCamDatagram(d); });
//   cam.endpoint.activate();
#pragma once

#include "directory_link/udp_endpoint.h"

#include <memory>

class QSocketNotifier;

namespace morlanex {

class NotifiedEndpoint {
public:
    NotifiedEndpoint();
    ~NotifiedEndpoint();
    NotifiedEndpoint(const NotifiedEndpoint &) = delete;
    NotifiedEndpoint &operator=(const NotifiedEndpoint &) = delete;

private:
    void watch(int fd, bool open);
    std::unique_ptr<QSocketNotifier> notifier_;  // declared first: it outlives the endpoint's last word

public:
    UdpEndpoint endpoint;
};

}  // namespace morlanex
