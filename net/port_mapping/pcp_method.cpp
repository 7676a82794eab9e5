#include "net/port_mapping/pcp_method.h"

#include "net/ipv4.h"

#include <sys/random.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace morlanex::portmap {

namespace {

constexpr std::chrono::milliseconds kFirstResend{250};
// When removing, a router that does not answer the first removal soon is taken as gone.
constexpr std::chrono::milliseconds kRemovalPatience{500};

uint8_t ianaProtocol(Protocol protocol) { return protocol == Protocol::Tcp ? IPPROTO_TCP : IPPROTO_UDP; }

PcpNonce freshNonce() {
    PcpNonce nonce{};
    if (::getrandom(nonce.data(), nonce.size(), 0) != ssize_t(nonce.size())) {
        std::random_device device;
        for (uint8_t &byte : nonce) byte = uint8_t(device());
    }
    return nonce;
}

}  // namespace

bool PcpMethod::openSocket(std::string *error) {
    if (socket_) return true;
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    // Bound to the inside address: it must be ours, and the server sees it as the client.
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr = context_.inside;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr = context_.gateway;
    server.sin_port = htons(kPcpServerPort);
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr *>(&self), sizeof self) != 0 ||
        ::connect(fd.get(), reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) {
        *error = "cannot open a socket from " + dottedQuad(context_.inside) + ": " + std::strerror(errno);
        return false;
    }
    socket_ = std::move(fd);
    return true;
}

PcpMethod::Mapping &PcpMethod::mappingFor(const PortRequest &port) {
    auto [it, added] = mappings_.try_emplace({port.protocol, port.insidePort});
    if (added) {
        it->second.request = port;
        it->second.nonce = freshNonce();
    }
    return it->second;
}

bool PcpMethod::answers(std::span<const uint8_t> reply, const MapRequest &request, PcpResponse *response) {
    const std::string from = "PCP: ignored a reply from " + dottedQuad(context_.gateway) + ": ";
    if (const PcpError error = readPcpResponse(reply, response); error != PcpError::None) {
        context_.log(from + toString(error));
        return false;
    }
    if (response->opcode != PcpOpcode::Map) {
        context_.log(from + "not a MAP response");
        return false;
    }
    if (response->nonce != request.nonce) {
        context_.log(from + "wrong nonce");
        return false;
    }
    if (response->protocol != request.protocol || response->insidePort != request.insidePort) {
        context_.log(from + "answers another port");
        return false;
    }
    return true;
}

PcpMethod::Exchange PcpMethod::exchange(const MapRequest &request, Deadline deadline, PcpResponse *response) {
    const auto bytes = encodeMapRequest(request);
    // Removal goes on after stop() was asked: only a mapping's own waits may end it early.
    const int cancelFd = request.lifetime.count() == 0 ? -1 : context_.cancelFd;
    auto resend = kFirstResend;
    for (;;) {
        if (::send(socket_.get(), bytes.data(), bytes.size(), 0) < 0 && errno == ECONNREFUSED)
            return Exchange::NoServer;
        const Deadline next = std::min(deadline, Clock::now() + resend);
        for (;;) {
            const Wait wait = waitReadable(socket_.get(), cancelFd, next);
            if (wait == Wait::Cancelled) return Exchange::NoAnswer;
            if (wait == Wait::TimedOut) break;
            uint8_t buffer[kPcpMaxMessageSize + 1];
            // MSG_TRUNC: the datagram's real length, so that an oversized one reads as too long.
            const ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, MSG_TRUNC);
            if (n < 0 && errno == ECONNREFUSED) return Exchange::NoServer;  // ICMP port unreachable
            if (n < 0) continue;
            const std::span<const uint8_t> reply(buffer, std::min<size_t>(size_t(n), sizeof buffer));
            PcpResponse parsed;
            if (readPcpResponse(reply, &parsed) == PcpError::NotPcp) {
                context_.log("PCP: the gateway speaks NAT-PMP only");
                return Exchange::NatPmpOnly;
            }
            if (answers(reply, request, response)) return Exchange::Answered;
        }
        if (Clock::now() >= deadline) return Exchange::NoAnswer;
        resend *= 2;
    }
}

Round PcpMethod::map(const std::vector<PortRequest> &ports, std::chrono::seconds lease, Deadline deadline) {
    Round round;
    std::string error;
    if (!openSocket(&error)) {
        context_.log("PCP: " + error);
        return round;
    }
    for (const PortRequest &port : ports) {
        Mapping &mapping = mappingFor(port);
        const bool renewing = mapping.outsidePort != 0;
        MapRequest request;
        request.nonce = mapping.nonce;
        request.protocol = ianaProtocol(port.protocol);
        request.insidePort = port.insidePort;
        request.suggestedOutsidePort = renewing ? mapping.outsidePort : port.insidePort;
        request.lifetime = lease;
        request.client = context_.inside;
        PcpResponse response;
        const Exchange exchanged = exchange(request, deadline, &response);
        if (exchanged == Exchange::NoServer || exchanged == Exchange::NatPmpOnly ||
            (exchanged == Exchange::NoAnswer && !round.answered)) {
            if (renewing) context_.log("PCP: the gateway no longer answers");
            Round absent;
            absent.noServer = exchanged != Exchange::NatPmpOnly;
            return absent;
        }
        PortResult result;
        result.request = port;
        if (exchanged == Exchange::NoAnswer) {
            result.error = "no answer from the router";
            context_.log("PCP: no answer mapping " + describe(port));
            round.ports.push_back(result);
            continue;
        }
        round.answered = true;
        if (epoch_.note(response.epoch)) {
            round.restarted = true;
            context_.log("PCP: the router lost its mappings (its epoch went back); mapping again");
        }
        if (response.outsideAddress.s_addr != 0) round.outsideAddress = response.outsideAddress;
        if (response.result == PcpResult::Success && response.lifetime > 0 && response.outsidePort != 0) {
            mapping.outsidePort = response.outsidePort;
            result.outsidePort = response.outsidePort;
            result.lifetime = std::chrono::seconds(response.lifetime);
            context_.log(std::string(renewing && !round.restarted ? "PCP: renewed " : "PCP: mapped ") + describe(port) +
                         " to " + dottedQuad(response.outsideAddress) + ":" + std::to_string(response.outsidePort) +
                         " for " + std::to_string(response.lifetime) + " s");
        } else {
            mapping.outsidePort = 0;
            result.error = std::string("the router refused: ") + toString(response.result);
            round.error = result.error;
            context_.log("PCP: the router refused " + describe(port) + ": " + toString(response.result));
        }
        round.ports.push_back(result);
    }
    return round;
}

void PcpMethod::unmapAll(Deadline deadline) {
    bool routerAnswers = true;
    for (auto &[key, mapping] : mappings_) {
        if (mapping.outsidePort == 0 || !socket_) continue;
        MapRequest request;
        request.nonce = mapping.nonce;
        request.protocol = ianaProtocol(mapping.request.protocol);
        request.insidePort = mapping.request.insidePort;
        request.suggestedOutsidePort = mapping.outsidePort;
        request.lifetime = std::chrono::seconds(0);
        request.client = context_.inside;
        // Once the router has failed to answer, the rest are sent once without waiting.
        const Deadline until = routerAnswers ? std::min(deadline, Clock::now() + kRemovalPatience) : Clock::now();
        PcpResponse response;
        const Exchange exchanged = exchange(request, until, &response);
        const std::string port = describe(mapping.request);
        if (exchanged != Exchange::Answered) {
            routerAnswers = false;
            context_.log("PCP: no answer removing " + port + "; it ends with its lease");
        } else if (response.result != PcpResult::Success) {
            context_.log("PCP: the router would not remove " + port + ": " + toString(response.result));
        } else {
            context_.log("PCP: removed " + port);
        }
        mapping.outsidePort = 0;
    }
}

}  // namespace morlanex::portmap
