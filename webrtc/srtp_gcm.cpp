#include "webrtc/srtp_gcm.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include <openssl/evp.h>

namespace morlanex::webrtc {

namespace {

constexpr std::size_t KeySize = 16, SaltSize = 12;
constexpr std::uint8_t LabelRtpKey = 0x00, LabelRtpSalt = 0x02;

// One 16-byte block of the AES-CM key derivation: the master salt with the label at byte 7,
// zero-padded, encrypted with the master key.
bool derive(const std::uint8_t *masterKey, const std::uint8_t *masterSalt, std::uint8_t label,
            std::uint8_t (&out)[16]) {
    std::uint8_t block[16]{};
    std::memcpy(block, masterSalt, SaltSize);
    block[7] ^= label;
    EVP_CIPHER_CTX *ecb = EVP_CIPHER_CTX_new();
    int length = 0;
    const bool ok = ecb && EVP_EncryptInit_ex(ecb, EVP_aes_128_ecb(), nullptr, masterKey, nullptr) == 1 &&
        EVP_CIPHER_CTX_set_padding(ecb, 0) == 1 && EVP_EncryptUpdate(ecb, out, &length, block, 16) == 1 &&
        length == 16;
    EVP_CIPHER_CTX_free(ecb);
    return ok;
}

}  // namespace

SrtpGcmRtp::SrtpGcmRtp(std::span<const std::uint8_t> keySalt) {
    if (keySalt.size() != KeySize + SaltSize) return;
    std::uint8_t key[16], salt[16];
    if (!derive(keySalt.data(), keySalt.data() + KeySize, LabelRtpKey, key) ||
        !derive(keySalt.data(), keySalt.data() + KeySize, LabelRtpSalt, salt))
        return;
    std::copy(salt, salt + SaltSize, salt_.begin());
    ctx_ = EVP_CIPHER_CTX_new();
    if (ctx_ && EVP_EncryptInit_ex(ctx_, EVP_aes_128_gcm(), nullptr, key, nullptr) == 1) return;
    EVP_CIPHER_CTX_free(ctx_);
    ctx_ = nullptr;
}

SrtpGcmRtp::~SrtpGcmRtp() { EVP_CIPHER_CTX_free(ctx_); }

std::uint32_t SrtpGcmRtp::rolloverOf(std::uint32_t ssrc, std::uint16_t sequence) {
    auto it = std::find_if(streams_.begin(), streams_.end(), [&](const Stream &s) { return s.used && s.ssrc == ssrc; });
    if (it == streams_.end()) {
        Stream &s = streams_[nextSlot_++ % streams_.size()];
        s = {ssrc, sequence, 0, true};
        return 0;
    }
    // RFC 3711 appendix A: the rollover counter the packet's index most likely has.
    Stream &s = *it;
    std::uint32_t v = s.rollover;
    if (s.highest < 32768) {
        if (sequence - s.highest > 32768) v = s.rollover - 1;
    } else if (s.highest - 32768 > sequence) {
        v = s.rollover + 1;
    }
    if (v == s.rollover + 1 || (v == s.rollover && sequence > s.highest)) s.highest = sequence, s.rollover = v;
    return v;
}

std::size_t SrtpGcmRtp::prepare(const std::uint8_t *p, std::size_t size, std::uint8_t (&iv)[12]) {
    if (size < 12 || (p[0] >> 6) != 2) return 0;
    std::size_t header = 12 + 4 * std::size_t(p[0] & 0x0f);
    if ((p[0] & 0x10) && header + 4 <= size) header += 4 + 4 * std::size_t(p[header + 2] << 8 | p[header + 3]);
    if (header > size) return 0;
    const std::uint16_t sequence = std::uint16_t(p[2] << 8 | p[3]);
    const std::uint32_t ssrc = std::uint32_t(p[8]) << 24 | std::uint32_t(p[9]) << 16 | std::uint32_t(p[10]) << 8 | p[11];
    const std::uint32_t rollover = rolloverOf(ssrc, sequence);
    // RFC 7714 8.1: 00 00 || SSRC || ROC || SEQ, exclusive-or the session salt.
    const std::uint8_t plain[12] = {0,      0,      p[8],   p[9],   p[10], p[11], std::uint8_t(rollover >> 24),
                                    std::uint8_t(rollover >> 16), std::uint8_t(rollover >> 8), std::uint8_t(rollover),
                                    p[2],   p[3]};
    for (std::size_t i = 0; i < sizeof iv; ++i) iv[i] = plain[i] ^ salt_[i];
    return header;
}

bool SrtpGcmRtp::protect(std::span<std::uint8_t> buffer, std::size_t &size) {
    if (!ctx_ || size > buffer.size() || buffer.size() - size < TagSize || size > INT_MAX / 2) return false;
    std::uint8_t *p = buffer.data();
    std::uint8_t iv[12];
    const std::size_t header = prepare(p, size, iv);
    if (!header) return false;
    int length = 0, last = 0;
    if (EVP_EncryptInit_ex(ctx_, nullptr, nullptr, nullptr, iv) != 1 ||
        EVP_EncryptUpdate(ctx_, nullptr, &length, p, int(header)) != 1 ||
        EVP_EncryptUpdate(ctx_, p + header, &length, p + header, int(size - header)) != 1 ||
        EVP_EncryptFinal_ex(ctx_, p + header + length, &last) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_GET_TAG, int(TagSize), p + size) != 1)
        return false;
    size += TagSize;
    return true;
}

bool SrtpGcmRtp::open(std::span<std::uint8_t> buffer, std::size_t &size) {
    if (!ctx_ || size > buffer.size() || size < 12 + TagSize || size > INT_MAX / 2) return false;
    std::uint8_t *p = buffer.data();
    std::uint8_t iv[12];
    const std::size_t header = prepare(p, size - TagSize, iv);
    if (!header) return false;
    int length = 0, last = 0;
    if (EVP_DecryptInit_ex(ctx_, nullptr, nullptr, nullptr, iv) != 1 ||
        EVP_DecryptUpdate(ctx_, nullptr, &length, p, int(header)) != 1 ||
        EVP_DecryptUpdate(ctx_, p + header, &length, p + header, int(size - TagSize - header)) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_TAG, int(TagSize), p + size - TagSize) != 1 ||
        EVP_DecryptFinal_ex(ctx_, p + header + length, &last) != 1)
        return false;
    size -= TagSize;
    return true;
}

}  // namespace morlanex::webrtc
