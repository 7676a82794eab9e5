#include "webrtc/srtp_gcm.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include <openssl/evp.h>

namespace morlanex::webrtc {

namespace {

constexpr std::size_t KeySize = 16, SaltSize = 12;

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

std::uint32_t read32(const std::uint8_t *p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

void write32(std::uint8_t *p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24), p[1] = std::uint8_t(v >> 16), p[2] = std::uint8_t(v >> 8), p[3] = std::uint8_t(v);
}

}  // namespace

GcmKey::GcmKey(std::span<const std::uint8_t> keySalt, std::uint8_t keyLabel, std::uint8_t saltLabel) {
    if (keySalt.size() != KeySize + SaltSize) return;
    std::uint8_t key[16], salt[16];
    if (!derive(keySalt.data(), keySalt.data() + KeySize, keyLabel, key) ||
        !derive(keySalt.data(), keySalt.data() + KeySize, saltLabel, salt))
        return;
    std::copy(salt, salt + SaltSize, salt_.begin());
    ctx_ = EVP_CIPHER_CTX_new();
    if (ctx_ && EVP_EncryptInit_ex(ctx_, EVP_aes_128_gcm(), nullptr, key, nullptr) == 1) return;
    EVP_CIPHER_CTX_free(ctx_);
    ctx_ = nullptr;
}

GcmKey::~GcmKey() { EVP_CIPHER_CTX_free(ctx_); }

bool GcmKey::seal(const std::uint8_t (&nonce)[12], std::span<const std::uint8_t> aad, std::span<std::uint8_t> data,
                  std::uint8_t *tag) {
    std::uint8_t iv[12];
    for (std::size_t i = 0; i < sizeof iv; ++i) iv[i] = nonce[i] ^ salt_[i];
    int length = 0, last = 0;
    return ctx_ && aad.size() < INT_MAX && data.size() < INT_MAX &&
        EVP_EncryptInit_ex(ctx_, nullptr, nullptr, nullptr, iv) == 1 &&
        EVP_EncryptUpdate(ctx_, nullptr, &length, aad.data(), int(aad.size())) == 1 &&
        EVP_EncryptUpdate(ctx_, data.data(), &length, data.data(), int(data.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx_, data.data() + length, &last) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_GET_TAG, int(TagSize), tag) == 1;
}

bool GcmKey::open(const std::uint8_t (&nonce)[12], std::span<const std::uint8_t> aad, std::span<std::uint8_t> data,
                  const std::uint8_t *tag) {
    std::uint8_t iv[12];
    for (std::size_t i = 0; i < sizeof iv; ++i) iv[i] = nonce[i] ^ salt_[i];
    int length = 0, last = 0;
    return ctx_ && aad.size() < INT_MAX && data.size() < INT_MAX &&
        EVP_DecryptInit_ex(ctx_, nullptr, nullptr, nullptr, iv) == 1 &&
        EVP_DecryptUpdate(ctx_, nullptr, &length, aad.data(), int(aad.size())) == 1 &&
        EVP_DecryptUpdate(ctx_, data.data(), &length, data.data(), int(data.size())) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_TAG, int(TagSize), const_cast<std::uint8_t *>(tag)) == 1 &&
        EVP_DecryptFinal_ex(ctx_, data.data() + length, &last) == 1;
}

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

std::size_t SrtpGcmRtp::prepare(const std::uint8_t *p, std::size_t size, std::uint8_t (&nonce)[12]) {
    if (size < 12 || (p[0] >> 6) != 2) return 0;
    std::size_t header = 12 + 4 * std::size_t(p[0] & 0x0f);
    if ((p[0] & 0x10) && header + 4 <= size) header += 4 + 4 * std::size_t(p[header + 2] << 8 | p[header + 3]);
    if (header > size) return 0;
    // RFC 7714 8.1: 00 00 || SSRC || ROC || SEQ (the salt is mixed in by the key).
    const std::uint32_t rollover = rolloverOf(read32(p + 8), std::uint16_t(p[2] << 8 | p[3]));
    nonce[0] = nonce[1] = 0;
    std::memcpy(nonce + 2, p + 8, 4);
    write32(nonce + 6, rollover);
    nonce[10] = p[2], nonce[11] = p[3];
    return header;
}

bool SrtpGcmRtp::protect(std::span<std::uint8_t> buffer, std::size_t &size) {
    if (size > buffer.size() || buffer.size() - size < TagSize) return false;
    std::uint8_t *p = buffer.data();
    std::uint8_t nonce[12];
    const std::size_t header = prepare(p, size, nonce);
    if (!header || !key_.seal(nonce, {p, header}, {p + header, size - header}, p + size)) return false;
    size += TagSize;
    return true;
}

bool SrtpGcmRtp::open(std::span<std::uint8_t> buffer, std::size_t &size) {
    if (size > buffer.size() || size < 12 + TagSize) return false;
    std::uint8_t *p = buffer.data();
    std::uint8_t nonce[12];
    const std::size_t header = prepare(p, size - TagSize, nonce);
    if (!header || !key_.open(nonce, {p, header}, {p + header, size - TagSize - header}, p + size - TagSize))
        return false;
    size -= TagSize;
    return true;
}

// RFC 7714 9: the first 8 bytes stay plain; the tag, then E and the 31-bit index, follow the
// encrypted rest; the additional data is the first 8 bytes and that last word.
bool SrtcpGcm::protect(std::span<std::uint8_t> buffer, std::size_t &size) {
    if (size < 8 || size > buffer.size() || buffer.size() - size < Overhead || (buffer[0] >> 6) != 2) return false;
    std::uint8_t *p = buffer.data();
    const std::uint32_t index = sent_ = (sent_ + 1) & 0x7fffffff;
    std::uint8_t aad[12];
    std::memcpy(aad, p, 8);
    write32(aad + 8, 0x80000000u | index);
    std::uint8_t nonce[12] = {0, 0, p[4], p[5], p[6], p[7], 0, 0};
    write32(nonce + 8, index);
    if (!key_.seal(nonce, aad, {p + 8, size - 8}, p + size)) return false;
    std::memcpy(p + size + GcmKey::TagSize, aad + 8, 4);
    size += Overhead;
    return true;
}

bool SrtcpGcm::open(std::span<std::uint8_t> buffer, std::size_t &size) {
    if (size < 8 + Overhead || size > buffer.size() || (buffer[0] >> 6) != 2) return false;
    std::uint8_t *p = buffer.data();
    const std::uint32_t word = read32(p + size - 4);
    const std::uint32_t index = word & 0x7fffffff;
    if (!(word & 0x80000000u)) return false;  // unencrypted SRTCP is not offered
    const bool ahead = !opened_ || index > highest_;
    if (!ahead && (highest_ - index >= 64 || (seen_ >> (highest_ - index) & 1))) return false;
    std::uint8_t aad[12];
    std::memcpy(aad, p, 8);
    std::memcpy(aad + 8, p + size - 4, 4);
    std::uint8_t nonce[12] = {0, 0, p[4], p[5], p[6], p[7], 0, 0};
    write32(nonce + 8, index);
    const std::size_t plain = size - Overhead;
    if (!key_.open(nonce, aad, {p + 8, plain - 8}, p + plain)) return false;
    if (ahead) {
        const std::uint32_t shift = opened_ ? index - highest_ : 64;
        seen_ = (shift >= 64 ? 0 : seen_ << shift) | 1;
        highest_ = index;
        opened_ = true;
    } else {
        seen_ |= std::uint64_t(1) << (highest_ - index);
    }
    size = plain;
    return true;
}

}  // namespace morlanex::webrtc
