// Public header.
//
// DTLS-SRTP for WebRTC (RFC 5764): one DtlsContext for the process, made at start with a fresh
// ECDSA P-256 self-signed certificate whose SHA-256 fingerprint goes into every SDP answer; one
// DtlsEndpoint per peer, a DTLS 1.2 server (or, for clients of our own such as the load
// generator, a client that starts the handshake with start()) on memory: datagrams go in
// with receive(), datagrams come out through the send callback, no sockets inside. The peer's
// certificate is checked against the fingerprint of its offer during the handshake (a mismatch
// ends it with a bad_certificate alert). On completion the endpoint holds the negotiated SRTP
// profile and keys, exported as RFC 5764 lays them out.
//
// The handshake retransmits by timer: nextTimeout() says when the loop should call
// handleTimeout() (empty when no timer runs).
//
// Threads: a DtlsContext is immutable after create() and may be shared by endpoints on any
// thread; a DtlsEndpoint belongs to the one thread that calls it, and calls `send` on that
// thread from within receive(), handleTimeout() and close(). An endpoint neither moves nor copies.
//
// Example:
//   auto context = DtlsContext::create(&error);                 // once, at start
//   DtlsEndpoint dtls(*context, offer.fingerprintAlgorithm, offer.fingerprint,
//                     [&](auto datagram) { socket.sendTo(peer, datagram); });
//   if (dtls.receive(datagram) == DtlsState::Connected) startSrtp(dtls.keys());
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;
struct x509_store_ctx_st;

namespace morlanex::webrtc {

enum class SrtpProfile { None, Aes128CmSha1_80, AeadAes128Gcm };

// Master key then salt: 16 + 14 bytes for AES-CM, 16 + 12 for AES-GCM.
std::size_t srtpKeySaltSize(SrtpProfile profile);

struct SrtpKeys {
    SrtpProfile profile = SrtpProfile::None;
    std::array<std::uint8_t, 30> local{};  // ours: what we protect with
    std::array<std::uint8_t, 30> remote{};  // the peer's: what we unprotect with
    std::span<const std::uint8_t> localKeySalt() const { return {local.data(), srtpKeySaltSize(profile)}; }
    std::span<const std::uint8_t> remoteKeySalt() const { return {remote.data(), srtpKeySaltSize(profile)}; }
};

class DtlsContext {
public:
    // Empty with `*error` set when OpenSSL cannot make the key, certificate or context.
    static std::unique_ptr<DtlsContext> create(std::string *error);
    ~DtlsContext();
    DtlsContext(const DtlsContext &) = delete;
    DtlsContext &operator=(const DtlsContext &) = delete;

    const std::string &fingerprint() const { return fingerprint_; }  // "sha-256" value, "AB:CD:..."
    ssl_ctx_st *sslContext() const { return ctx_; }

private:
    DtlsContext() = default;
    ssl_ctx_st *ctx_ = nullptr;
    std::string fingerprint_;
};

enum class DtlsState { Handshaking, Connected, Failed, Closed };
enum class DtlsRole { Server, Client };

class DtlsEndpoint {
public:
    using SendDatagram = std::function<void(std::span<const std::uint8_t>)>;

    // `fingerprintAlgorithm` ("sha-256") and `fingerprint` ("AB:CD:...") come from the offer.
    DtlsEndpoint(const DtlsContext &context, std::string fingerprintAlgorithm, std::string fingerprint,
                 SendDatagram send, DtlsRole role = DtlsRole::Server);
    ~DtlsEndpoint();
    DtlsEndpoint(const DtlsEndpoint &) = delete;
    DtlsEndpoint &operator=(const DtlsEndpoint &) = delete;

    // A client's first flight (its hello); a server waits for the peer's.
    DtlsState start();
    // One datagram from the peer; junk that is not DTLS records is dropped unread.
    DtlsState receive(std::span<const std::uint8_t> datagram);
    // Time until handleTimeout() is due while the handshake waits; empty otherwise.
    std::optional<std::chrono::milliseconds> nextTimeout() const;
    DtlsState handleTimeout();
    // Sends close_notify once connected; the endpoint is Closed after.
    void close();
    // Once the peer has shown it holds the keys (its SRTCP opened), the handshake can no longer
    // need repeating: the OpenSSL connection (some 40 KiB) goes. What stays is the close_notify
    // that close() will send and the peer's record key, so its close_notify and fatal alerts
    // still end the endpoint and forged ones do not. False, keeping the connection, for a
    // cipher suite other than ECDHE-ECDSA-AES128-GCM-SHA256 (what browsers take from us).
    bool release();
    bool released() const { return released_ != nullptr; }

    DtlsState state() const { return state_; }
    const std::string &failure() const { return failure_; }  // why it Failed
    const SrtpKeys &keys() const { return keys_; }  // valid once Connected

private:
    DtlsState drive();
    DtlsState fail(std::string reason);
    bool finishHandshake();
    static int checkPeerCertificate(int preverified, x509_store_ctx_st *store);

    ssl_st *ssl_ = nullptr;
    bio_st *in_ = nullptr;  // owned by ssl_
    std::string fingerprintAlgorithm_;
    std::string fingerprint_;
    SendDatagram send_;
    DtlsState state_ = DtlsState::Handshaking;
    std::string failure_;
    std::string certificateProblem_;  // set by checkPeerCertificate()
    SrtpKeys keys_;
    DtlsRole role_;
    struct Released;
    std::unique_ptr<Released> released_;
    DtlsState receiveReleased(std::span<const std::uint8_t> datagram);
};

// The fixed 13-byte header in front of every DTLS record (RFC 6347 4.1).
struct DtlsRecordHeader {
    std::uint8_t contentType = 0;  // 20 change_cipher_spec, 21 alert, 22 handshake, 23 data
    std::uint16_t version = 0;  // 0xfeff DTLS 1.0, 0xfefd DTLS 1.2
    std::uint16_t epoch = 0;
    std::uint64_t sequence = 0;  // 48 bits
    std::uint16_t length = 0;
};

// The record at the front of `bytes`, or empty when it is not a well-formed record that fits.
std::optional<DtlsRecordHeader> readDtlsRecordHeader(std::span<const std::uint8_t> bytes);
// Whether `datagram` is one or more well-formed records and nothing else.
bool isDtlsDatagram(std::span<const std::uint8_t> datagram);

}  // namespace morlanex::webrtc
