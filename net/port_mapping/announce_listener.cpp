#include "net/port_mapping/announce_listener.h"

#include "net/ipv4.h"
#include "net/port_mapping/pcp_message.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace morlanex::portmap {

namespace {

constexpr uint32_t kAllHosts = 0xE0000001;  // 224.0.0.1
constexpr size_t kNatPmpAddressAnnounceSize = 12;
constexpr std::chrono::seconds kIgnoredLogInterval{10};

}  // namespace

AnnounceListener::AnnounceListener(in_addr gateway, in_addr inside, LogLine log)
    : gateway_(gateway), log_(std::move(log)) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_addr.s_addr = htonl(kAllHosts);
    group.sin_port = htons(kPcpClientAnnouncePort);
    ip_mreq membership{};
    membership.imr_multiaddr = group.sin_addr;
    membership.imr_interface = inside;
    // Bound to the group: only datagrams sent to 224.0.0.1 arrive here.
    if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd.get(), reinterpret_cast<sockaddr *>(&group), sizeof group) != 0 ||
        ::setsockopt(fd.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        log_(std::string("announcements: cannot listen on 224.0.0.1:5350 (") + std::strerror(errno) +
             "); a router restart shows at the next renewal");
        return;
    }
    socket_ = std::move(fd);
}

void AnnounceListener::ignore(const std::string &why, in_addr from) {
    const auto now = Clock::now();
    if (now - lastIgnoredLog_ < kIgnoredLogInterval) return;
    lastIgnoredLog_ = now;
    log_("announcements: ignored a datagram from " + dottedQuad(from) + ": " + why);
}

bool AnnounceListener::readAnnouncements() {
    bool restarted = false;
    for (;;) {
        uint8_t buffer[kPcpMaxMessageSize + 1];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n =
            ::recvfrom(socket_.get(), buffer, sizeof buffer, MSG_TRUNC, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0) return restarted;
        if (from.sin_addr.s_addr != gateway_.s_addr) {
            ignore("not the gateway", from.sin_addr);
            continue;
        }
        const std::span<const uint8_t> datagram(buffer, std::min<size_t>(size_t(n), sizeof buffer));
        PcpResponse response;
        const PcpError error = readPcpResponse(datagram, &response);
        if (error == PcpError::NotPcp) {
            // NAT-PMP: version 0, opcode 128 (public address), result 0.
            if (datagram.size() != kNatPmpAddressAnnounceSize || datagram[1] != 128 || datagram[2] || datagram[3]) {
                ignore("not a NAT-PMP announcement", from.sin_addr);
                continue;
            }
        } else if (error != PcpError::None) {
            ignore(toString(error), from.sin_addr);
            continue;
        } else if (response.opcode != PcpOpcode::Announce || response.result != PcpResult::Success) {
            ignore("not a PCP announcement", from.sin_addr);
            continue;
        }
        restarted = true;
    }
}

}  // namespace morlanex::portmap
