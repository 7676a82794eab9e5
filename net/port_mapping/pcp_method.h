// Internal header file.
//
// PcpMethod: port mappings by the Port Control Protocol (RFC 6887), MAP requests sent by
// hand over one UDP socket connected to the gateway's port 5351 (so the kernel drops
// datagrams from any other address). Each port keeps the nonce it was mapped with: renewing
// and removing must present it. A request is sent again after 250, 500, 1000 ms... until its
// deadline; a reply that is not the answer to it (short, another opcode or nonce or port) is
// logged and ignored. No answer, an ICMP port unreachable, or a NAT-PMP-only server's reply
// means there is no PCP service.
//
// Threads: see MappingMethod.
#pragma once

#include "net/port_mapping/mapping_method.h"
#include "net/port_mapping/pcp_message.h"
#include "net/unique_fd.h"

#include <map>
#include <utility>

namespace morlanex::portmap {

class PcpMethod : public MappingMethod {
public:
    explicit PcpMethod(MethodContext context) : context_(std::move(context)) {}
    Method method() const override { return Method::Pcp; }
    Round map(const std::vector<PortRequest> &ports, std::chrono::seconds lease, Deadline deadline) override;
    void unmapAll(Deadline deadline) override;

private:
    struct Mapping {
        PortRequest request;
        PcpNonce nonce{};
        uint16_t outsidePort = 0;  // granted; 0 while not mapped
    };
    enum class Exchange { Answered, NoServer, NatPmpOnly, NoAnswer };

    bool openSocket(std::string *error);
    // Sends the request until its answer comes or `deadline` passes.
    Exchange exchange(const MapRequest &request, Deadline deadline, PcpResponse *response);
    // Whether a reply answers `request`; logs why not.
    bool answers(std::span<const uint8_t> reply, const MapRequest &request, PcpResponse *response);
    Mapping &mappingFor(const PortRequest &port);

    MethodContext context_;
    UniqueFd socket_;
    std::map<std::pair<Protocol, uint16_t>, Mapping> mappings_;  // by protocol and inside port
    EpochWatch epoch_;
};

}  // namespace morlanex::portmap
