// Internal header file.
//
// SRTP and SRTCP with AEAD_AES_128_GCM (RFC 7714) on OpenSSL cipher contexts made once per
// session: the sender's path for every media packet of every viewer. libsrtp2 as Debian
// builds it goes through NSS, which sets up a cipher context per packet and holds some 18 KiB
// a session; this keeps one context per direction and kind and allocates nothing per packet.
// Keys are derived as libsrtp2 derives them (the AES-CM key derivation of RFC 3711 4.3 over
// the master salt), so a peer's libsrtp2 opens what this protects and the other way round.
//
// SrtpGcmRtp::open() keeps no replay window: it is the receiving side of a client of our own
// (the load generator); SrtpSession opens RTP with libsrtp2. SrtcpGcm::open() does keep one.
//
// Threads: one object for the one thread that owns the session.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

struct evp_cipher_ctx_st;

namespace morlanex::webrtc {

// The session key and salt of one kind (RTP or RTCP), derived from the master key and salt.
class GcmKey {
public:
    static constexpr std::size_t TagSize = 16;

    // `keySalt`: the 16-byte master key then the 12-byte master salt, of the protecting side.
    GcmKey(std::span<const std::uint8_t> keySalt, std::uint8_t keyLabel, std::uint8_t saltLabel);
    ~GcmKey();
    GcmKey(const GcmKey &) = delete;
    GcmKey &operator=(const GcmKey &) = delete;

    bool valid() const { return ctx_ != nullptr; }
    // `nonce`: the packet's 12 bytes before the salt is mixed in. The tag goes to / comes from `tag`.
    bool seal(const std::uint8_t (&nonce)[12], std::span<const std::uint8_t> aad, std::span<std::uint8_t> data,
              std::uint8_t *tag);
    bool open(const std::uint8_t (&nonce)[12], std::span<const std::uint8_t> aad, std::span<std::uint8_t> data,
              const std::uint8_t *tag);

private:
    evp_cipher_ctx_st *ctx_ = nullptr;
    std::array<std::uint8_t, 12> salt_{};
};

class SrtpGcmRtp {
public:
    static constexpr std::size_t TagSize = GcmKey::TagSize;

    explicit SrtpGcmRtp(std::span<const std::uint8_t> keySalt) : key_(keySalt, 0x00, 0x02) {}
    bool valid() const { return key_.valid(); }
    // Protects the RTP packet of `size` bytes in place (TagSize more after it); false when it
    // is not RTP or does not fit.
    bool protect(std::span<std::uint8_t> buffer, std::size_t &size);
    // Checks and decrypts a protected RTP packet in place, leaving its plain size in `size`;
    // false when it is not RTP or its tag does not match.
    bool open(std::span<std::uint8_t> buffer, std::size_t &size);

private:
    // The rollover counter of one SSRC (RFC 3711 3.3.1).
    struct Stream {
        std::uint32_t ssrc = 0;
        std::uint16_t highest = 0;
        std::uint32_t rollover = 0;
        bool used = false;
    };
    std::uint32_t rolloverOf(std::uint32_t ssrc, std::uint16_t sequence);
    // The header's size and the packet's nonce, or 0 when it is not RTP.
    std::size_t prepare(const std::uint8_t *packet, std::size_t size, std::uint8_t (&nonce)[12]);

    GcmKey key_;
    std::array<Stream, 4> streams_{};  // a viewer's are two; beyond four the oldest is replaced
    std::size_t nextSlot_ = 0;
};

class SrtcpGcm {
public:
    // The tag and the E flag with the SRTCP index.
    static constexpr std::size_t Overhead = GcmKey::TagSize + 4;

    explicit SrtcpGcm(std::span<const std::uint8_t> keySalt) : key_(keySalt, 0x03, 0x05) {}
    bool valid() const { return key_.valid(); }
    // Protects a compound RTCP packet in place (Overhead more after it).
    bool protect(std::span<std::uint8_t> buffer, std::size_t &size);
    // Checks, decrypts and leaves the plain size; false for a bad tag or a replayed index.
    bool open(std::span<std::uint8_t> buffer, std::size_t &size);

private:
    GcmKey key_;
    std::uint32_t sent_ = 0;  // the last index protected
    std::uint32_t highest_ = 0;  // the highest index opened, and the 64 below it in `seen_`
    std::uint64_t seen_ = 0;
    bool opened_ = false;
};

}  // namespace morlanex::webrtc
