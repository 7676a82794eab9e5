#include "net/port_mapping/mapping_method.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace morlanex::portmap {

std::string describe(const PortRequest &port) {
    std::string text = std::string(toString(port.protocol)) + " " + std::to_string(port.insidePort);
    if (!port.purpose.empty()) text += " (" + port.purpose + ")";
    return text;
}

Wait waitReadable(int fd, int cancelFd, Clock::time_point until) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return Wait::TimedOut;
        pollfd fds[2] = {{fd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
        const int n = ::poll(fds, cancelFd >= 0 ? 2 : 1, int(std::min<long long>(left, 60'000)));
        if (n < 0 && errno != EINTR) return Wait::TimedOut;
        if (n <= 0) continue;
        if (cancelFd >= 0 && fds[1].revents) return Wait::Cancelled;
        // POLLERR too: the pending error (an ICMP port unreachable) is read by the caller.
        if (fds[0].revents) return Wait::Readable;
    }
}

}  // namespace morlanex::portmap
