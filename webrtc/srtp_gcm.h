// Internal header file.
//
// SRTP protection of RTP with AEAD_AES_128_GCM (RFC 7714) on OpenSSL's cipher context, made
// once per session: the sender's path for every media packet of every viewer. libsrtp2 as
// Debian builds it goes through NSS, which sets up a cipher context per packet; this keeps
// one per session and allocates nothing per packet. Keys are derived as libsrtp2 derives them
// (the AES-CM key derivation of RFC 3711 4.3 over the master salt, labels 0 and 2), so the
// other side's libsrtp2 opens what this protects. RTCP and the other profile stay with
// libsrtp2. open() is the receiving side for a client of our own (the load generator), which
// has many streams to open at once; it keeps no replay window, so SrtpSession does not use it.
//
// Threads: one object for the one thread that owns the session.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

struct evp_cipher_ctx_st;

namespace morlanex::webrtc {

class SrtpGcmRtp {
public:
    static constexpr std::size_t TagSize = 16;

    // `keySalt`: the 16-byte master key then the 12-byte master salt, of the protecting side.
    explicit SrtpGcmRtp(std::span<const std::uint8_t> keySalt);
    ~SrtpGcmRtp();
    SrtpGcmRtp(const SrtpGcmRtp &) = delete;
    SrtpGcmRtp &operator=(const SrtpGcmRtp &) = delete;

    bool valid() const { return ctx_ != nullptr; }
    // Protects the RTP packet of `size` bytes in place (TagSize more after it); false when it
    // is not RTP or does not fit.
    bool protect(std::span<std::uint8_t> buffer, std::size_t &size);
    // Checks and decrypts a protected RTP packet in place, leaving its plain size in `size`;
    // false when it is not RTP or its tag does not match.
    bool open(std::span<std::uint8_t> buffer, std::size_t &size);

private:
    // The rollover counter of one SSRC (RFC 3711 3.3.1), as the sender keeps it.
    struct Stream {
        std::uint32_t ssrc = 0;
        std::uint16_t highest = 0;
        std::uint32_t rollover = 0;
        bool used = false;
    };
    std::uint32_t rolloverOf(std::uint32_t ssrc, std::uint16_t sequence);
    // The header's size and the packet's nonce, or 0 when it is not RTP.
    std::size_t prepare(const std::uint8_t *packet, std::size_t size, std::uint8_t (&iv)[12]);

    evp_cipher_ctx_st *ctx_ = nullptr;
    std::array<std::uint8_t, 12> salt_{};
    std::array<Stream, 4> streams_{};  // a viewer's are two; beyond four the oldest is replaced
    std::size_t nextSlot_ = 0;
};

}  // namespace morlanex::webrtc
