// Internal header file.
//
// NatPmpMethod: port mappings by NAT-PMP (RFC 6886) through libnatpmp, for gateways without
// PCP. libnatpmp keeps one UDP socket connected to the gateway's port 5351 and resends a
// request after 250, 500, 1000 ms...; we wait on its socket ourselves, bounded by the deadline.
// A reply that is too short or answers another request is logged and ignored.
//
// Threads: see MappingMethod.
#pragma once

#include "net/port_mapping/mapping_method.h"
#include "net/port_mapping/pcp_message.h"

#include <natpmp.h>

#include <map>
#include <utility>

namespace morlanex::portmap {

class NatPmpMethod : public MappingMethod {
public:
    explicit NatPmpMethod(MethodContext context) : context_(std::move(context)) {}
    ~NatPmpMethod() override;
    Method method() const override { return Method::NatPmp; }
    Round map(const std::vector<PortRequest> &ports, std::chrono::seconds lease, Deadline deadline) override;
    void unmapAll(Deadline deadline) override;

private:
    enum class Exchange { Answered, Refused, NoService, NoAnswer };
    // Sends a request (by `send`) and waits for its answer; on Refused, `*code` is libnatpmp's error.
    Exchange exchange(const std::function<void()> &send, int responseType, uint16_t insidePort, Deadline deadline,
                      bool cancellable, natpmpresp_t *response, int *code);

    MethodContext context_;
    natpmp_t natpmp_{};
    bool open_ = false;
    std::map<std::pair<Protocol, uint16_t>, std::pair<PortRequest, uint16_t>> granted_;  // port, outside port
    EpochWatch epoch_;
};

}  // namespace morlanex::portmap
