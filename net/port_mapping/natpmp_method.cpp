// strnatpmperr() is declared only with this set, before the first inclusion.
#define ENABLE_STRNATPMPERR
#include <natpmp.h>

#include "net/port_mapping/natpmp_method.h"

#include "net/ipv4.h"
#include "net/port_mapping/pcp_message.h"

#include <sys/socket.h>

#include <cerrno>

namespace morlanex::portmap {

namespace {

constexpr size_t kAddressResponseSize = 12;
constexpr size_t kMappingResponseSize = 16;
constexpr std::chrono::milliseconds kRemovalPatience{500};

int natpmpProtocol(Protocol protocol) { return protocol == Protocol::Tcp ? NATPMP_PROTOCOL_TCP : NATPMP_PROTOCOL_UDP; }
int responseType(Protocol protocol) {
    return protocol == Protocol::Tcp ? NATPMP_RESPTYPE_TCPPORTMAPPING : NATPMP_RESPTYPE_UDPPORTMAPPING;
}

}  // namespace

NatPmpMethod::~NatPmpMethod() {
    if (open_) closenatpmp(&natpmp_);
}

NatPmpMethod::Exchange NatPmpMethod::exchange(const std::function<void()> &send, int type, uint16_t insidePort,
                                              Deadline deadline, bool cancellable, natpmpresp_t *response, int *code) {
    const std::string ignored = "NAT-PMP: ignored a reply from " + dottedQuad(context_.gateway) + ": ";
    send();
    for (;;) {
        timeval resend{};
        getnatpmprequesttimeout(&natpmp_, &resend);
        const Deadline next = std::min(
            deadline, Clock::now() + std::chrono::seconds(resend.tv_sec) + std::chrono::microseconds(resend.tv_usec));
        const Wait wait = waitReadable(natpmp_.s, cancellable ? context_.cancelFd : -1, next);
        if (wait == Wait::Cancelled) return Exchange::NoAnswer;
        if (wait == Wait::TimedOut && Clock::now() >= deadline) return Exchange::NoAnswer;
        if (wait == Wait::Readable) {
            // libnatpmp reads a datagram without checking its length: short ones are taken out first.
            uint8_t peek[kMappingResponseSize];
            const ssize_t n = ::recv(natpmp_.s, peek, sizeof peek, MSG_PEEK | MSG_TRUNC);
            const size_t needed = type == NATPMP_RESPTYPE_PUBLICADDRESS ? kAddressResponseSize : kMappingResponseSize;
            // An error answer needs only its result code and epoch (8 bytes).
            if (n >= 0 && size_t(n) < needed && (n < 8 || (peek[2] == 0 && peek[3] == 0))) {
                ::recv(natpmp_.s, peek, sizeof peek, 0);
                context_.log(ignored + "too short");
                continue;
            }
        }
        // Reads the answer, or resends when the resend time passed.
        const int r = readnatpmpresponseorretry(&natpmp_, response);
        if (r == NATPMP_TRYAGAIN) continue;
        if (r == NATPMP_ERR_NOGATEWAYSUPPORT) return Exchange::NoService;  // ICMP port unreachable
        if (r == NATPMP_ERR_UNSUPPORTEDOPCODE || r == NATPMP_ERR_WRONGPACKETSOURCE ||
            (r == NATPMP_ERR_UNSUPPORTEDVERSION && response->resultcode != 1)) {
            context_.log(ignored + strnatpmperr(r));
            continue;
        }
        if (r < 0) {
            *code = r;
            return Exchange::Refused;
        }
        if (response->type != type ||
            (type != NATPMP_RESPTYPE_PUBLICADDRESS && response->pnu.newportmapping.privateport != insidePort)) {
            context_.log(ignored + "answers another request");
            send();  // the library took it for the answer: ask again
            continue;
        }
        return Exchange::Answered;
    }
}

Round NatPmpMethod::map(const std::vector<PortRequest> &ports, std::chrono::seconds lease, Deadline deadline) {
    Round round;
    if (!open_) {
        const int r = initnatpmp(&natpmp_, 1, context_.gateway.s_addr);
        if (r < 0) {
            context_.log(std::string("NAT-PMP: ") + strnatpmperr(r));
            return round;
        }
        open_ = true;
    }
    natpmpresp_t response{};
    int code = 0;
    const Exchange asked = exchange([this] { sendpublicaddressrequest(&natpmp_); }, NATPMP_RESPTYPE_PUBLICADDRESS, 0,
                                    deadline, true, &response, &code);
    if (asked == Exchange::NoService || asked == Exchange::NoAnswer) {
        if (!granted_.empty()) context_.log("NAT-PMP: the gateway no longer answers");
        return round;
    }
    round.answered = true;
    const auto noteEpoch = [&](uint32_t epoch) {
        if (epoch_.note(epoch) && !round.restarted) {
            round.restarted = true;
            context_.log("NAT-PMP: the router lost its mappings (its epoch went back); mapping again");
        }
    };
    noteEpoch(response.epoch);
    if (asked == Exchange::Refused) {
        round.error = std::string("the router has no outside address: ") + strnatpmperr(code);
        context_.log("NAT-PMP: " + round.error);
    } else {
        round.outsideAddress = response.pnu.publicaddress.addr;
    }
    for (const PortRequest &port : ports) {
        PortResult result;
        result.request = port;
        const auto key = std::make_pair(port.protocol, port.insidePort);
        const auto known = granted_.find(key);
        const bool renewing = known != granted_.end() && !round.restarted;
        const uint16_t suggested = known != granted_.end() ? known->second.second : port.insidePort;
        const auto send = [&] {
            sendnewportmappingrequest(&natpmp_, natpmpProtocol(port.protocol), port.insidePort, suggested,
                                      uint32_t(lease.count()));
        };
        const Exchange exchanged =
            exchange(send, responseType(port.protocol), port.insidePort, deadline, true, &response, &code);
        if (exchanged == Exchange::Answered && response.pnu.newportmapping.mappedpublicport != 0) {
            noteEpoch(response.epoch);
            result.outsidePort = response.pnu.newportmapping.mappedpublicport;
            result.lifetime = std::chrono::seconds(response.pnu.newportmapping.lifetime);
            granted_[key] = {port, result.outsidePort};
            context_.log(std::string(renewing ? "NAT-PMP: renewed " : "NAT-PMP: mapped ") + describe(port) + " to " +
                         (round.outsideAddress ? dottedQuad(*round.outsideAddress) : std::string("?")) + ":" +
                         std::to_string(result.outsidePort) + " for " + std::to_string(result.lifetime.count()) + " s");
        } else {
            granted_.erase(key);
            result.error = exchanged == Exchange::Refused ? std::string("the router refused: ") + strnatpmperr(code)
                                                          : std::string("no answer from the router");
            if (exchanged == Exchange::Refused) round.error = result.error;
            context_.log("NAT-PMP: could not map " + describe(port) + ": " + result.error);
        }
        round.ports.push_back(result);
    }
    return round;
}

void NatPmpMethod::unmapAll(Deadline deadline) {
    bool routerAnswers = true;
    for (const auto &[key, granted] : granted_) {
        const PortRequest &port = granted.first;
        // A lifetime of 0 with outside port 0 removes the mapping (RFC 6886, section 3.4).
        const auto send = [&] {
            sendnewportmappingrequest(&natpmp_, natpmpProtocol(port.protocol), port.insidePort, 0, 0);
        };
        const Deadline until = routerAnswers ? std::min(deadline, Clock::now() + kRemovalPatience) : Clock::now();
        natpmpresp_t response{};
        int code = 0;
        const Exchange exchanged =
            exchange(send, responseType(port.protocol), port.insidePort, until, false, &response, &code);
        if (exchanged == Exchange::Answered) {
            context_.log("NAT-PMP: removed " + describe(port));
        } else if (exchanged == Exchange::Refused) {
            context_.log("NAT-PMP: the router would not remove " + describe(port) + ": " + strnatpmperr(code));
        } else {
            routerAnswers = false;
            context_.log("NAT-PMP: no answer removing " + describe(port) + "; it ends with its lease");
        }
    }
    granted_.clear();
}

}  // namespace morlanex::portmap
