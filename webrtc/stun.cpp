#include "webrtc/stun.h"
#include "webrtc/bytes.h"

#include <cstring>

#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

namespace morlanex::webrtc {

using namespace bytes;

namespace {

constexpr std::size_t HeaderSize = 20;
constexpr std::uint32_t MagicCookie = 0x2112A442;
constexpr std::uint32_t FingerprintXor = 0x5354554e;
constexpr std::size_t IntegritySize = 20;
constexpr std::size_t MaxUsernameSize = 513;

enum Attribute : std::uint16_t {
    Username = 0x0006,
    MessageIntegrity = 0x0008,
    XorMappedAddress = 0x0020,
    Priority = 0x0024,
    UseCandidate = 0x0025,
    Fingerprint = 0x8028,
    IceControlled = 0x8029,
    IceControlling = 0x802A,
};

// CRC-32 (ISO-HDLC), as FINGERPRINT wants; the table is built at compile time.
constexpr std::array<std::uint32_t, 256> CrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}();

std::uint32_t crc32(const std::uint8_t *data, std::size_t size) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) c = CrcTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// HMAC-SHA1 over `data` whose header length field is replaced by `lengthField`, as
// MESSAGE-INTEGRITY is computed over the message as if it ended after the attribute.
bool integrityOf(const std::uint8_t *data, std::size_t size, std::uint16_t lengthField, std::string_view password,
                 std::uint8_t (&mac)[IntegritySize]) {
    std::uint8_t header[HeaderSize];
    std::memcpy(header, data, HeaderSize);
    write16(header + 2, lengthField);
    // Fetched once: the lookup takes the provider store's lock, the context is cheap.
    static EVP_MAC *const hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX *ctx = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0), OSSL_PARAM_END};
    std::size_t macSize = 0;
    const bool ok = ctx &&
        EVP_MAC_init(ctx, reinterpret_cast<const unsigned char *>(password.data()), password.size(), params) &&
        EVP_MAC_update(ctx, header, HeaderSize) && EVP_MAC_update(ctx, data + HeaderSize, size - HeaderSize) &&
        EVP_MAC_final(ctx, mac, &macSize, IntegritySize) && macSize == IntegritySize;
    EVP_MAC_CTX_free(ctx);
    return ok;
}

// Appends MESSAGE-INTEGRITY at `at`, then FINGERPRINT, and sets the header's length; returns the
// message's size, or 0 when the HMAC cannot be made.
std::size_t signAndFinish(std::uint8_t *d, std::size_t at, std::string_view password) {
    const std::size_t size = at + 4 + IntegritySize + 8;
    std::uint8_t *mi = d + at;
    write16(mi, MessageIntegrity);
    write16(mi + 2, IntegritySize);
    std::uint8_t mac[IntegritySize];
    if (!integrityOf(d, at, std::uint16_t(at + 4 + IntegritySize - HeaderSize), password, mac)) return 0;
    std::memcpy(mi + 4, mac, IntegritySize);
    at += 4 + IntegritySize;

    write16(d + 2, std::uint16_t(size - HeaderSize));
    std::uint8_t *fp = d + at;
    write16(fp, Fingerprint);
    write16(fp + 2, 4);
    write32(fp + 4, crc32(d, at) ^ FingerprintXor);
    return size;
}

}  // namespace

PacketKind classifyPacket(std::span<const std::uint8_t> datagram) {
    if (datagram.empty()) return PacketKind::Unknown;
    const std::uint8_t b = datagram[0];
    if (b <= 3) return PacketKind::Stun;
    if (b >= 20 && b <= 63) return PacketKind::Dtls;
    if (b >= 128 && b <= 191) {
        // RFC 5761: RTCP packet types 192-223 cannot be RTP payload types with the marker bit.
        if (datagram.size() >= 2 && datagram[1] >= 192 && datagram[1] <= 223) return PacketKind::Rtcp;
        return PacketKind::Rtp;
    }
    return PacketKind::Unknown;
}

const char *toString(StunError error) {
    switch (error) {
    case StunError::None:
        return "no error";
    case StunError::TooShort:
        return "shorter than a STUN header";
    case StunError::NotStun:
        return "not a STUN message";
    case StunError::BadLength:
        return "length does not match the datagram";
    case StunError::TruncatedAttribute:
        return "attribute runs past the end";
    case StunError::BadAttribute:
        return "malformed attribute";
    case StunError::UnknownRequiredAttribute:
        return "unknown comprehension-required attribute";
    case StunError::AttributeAfterFingerprint:
        return "attribute after FINGERPRINT";
    case StunError::BadFingerprint:
        return "FINGERPRINT does not match";
    case StunError::MissingIntegrity:
        return "no MESSAGE-INTEGRITY";
    case StunError::BadIntegrity:
        return "MESSAGE-INTEGRITY does not match";
    }
    return "unknown error";
}

Expected<StunMessage, StunError> readStun(std::span<const std::uint8_t> datagram) {
    const std::uint8_t *d = datagram.data();
    const std::size_t size = datagram.size();
    if (size < HeaderSize) return Unexpected{StunError::TooShort};
    // Top bits zero (RFC 8489), and within RFC 7983's STUN range so the demultiplexer agrees.
    if (d[0] > 3 || read32(d + 4) != MagicCookie) return Unexpected{StunError::NotStun};
    const std::size_t length = read16(d + 2);
    if (length % 4 != 0 || HeaderSize + length != size) return Unexpected{StunError::BadLength};

    StunMessage m;
    m.type = read16(d);
    std::memcpy(m.transactionId.data(), d + 8, m.transactionId.size());
    std::size_t at = HeaderSize;
    while (at < size) {
        if (m.hasFingerprint) return Unexpected{StunError::AttributeAfterFingerprint};
        if (size - at < 4) return Unexpected{StunError::TruncatedAttribute};
        const std::uint16_t type = read16(d + at);
        const std::size_t valueSize = read16(d + at + 2);
        const std::size_t padded = (valueSize + 3) & ~std::size_t(3);
        if (padded > size - at - 4) return Unexpected{StunError::TruncatedAttribute};
        const std::uint8_t *value = d + at + 4;
        // After MESSAGE-INTEGRITY only FINGERPRINT counts; anything else is ignored (RFC 8489 14.5).
        const bool afterIntegrity = m.integrityOffset != 0;
        switch (type) {
        case Fingerprint: {
            if (valueSize != 4) return Unexpected{StunError::BadAttribute};
            std::uint8_t header[HeaderSize];
            std::memcpy(header, d, HeaderSize);
            write16(header + 2, std::uint16_t(at + 8 - HeaderSize));
            std::uint32_t crc = crc32(header, HeaderSize);
            // Continue the CRC over the body without copying it.
            crc ^= 0xFFFFFFFFu;
            for (std::size_t i = HeaderSize; i < at; ++i) crc = CrcTable[(crc ^ d[i]) & 0xFF] ^ (crc >> 8);
            crc ^= 0xFFFFFFFFu;
            if ((crc ^ FingerprintXor) != read32(value)) return Unexpected{StunError::BadFingerprint};
            m.hasFingerprint = true;
            break;
        }
        case MessageIntegrity:
            if (afterIntegrity) break;
            if (valueSize != IntegritySize) return Unexpected{StunError::BadAttribute};
            m.integrityOffset = at;
            break;
        default:
            if (afterIntegrity) break;
            switch (type) {
            case XorMappedAddress:
                break;  // in responses only; known, so not refused
            case Username:
                if (valueSize == 0 || valueSize > MaxUsernameSize) return Unexpected{StunError::BadAttribute};
                m.username = std::string_view(reinterpret_cast<const char *>(value), valueSize);
                break;
            case Priority:
                if (valueSize != 4) return Unexpected{StunError::BadAttribute};
                m.priority = read32(value);
                m.hasPriority = true;
                break;
            case UseCandidate:
                if (valueSize != 0) return Unexpected{StunError::BadAttribute};
                m.useCandidate = true;
                break;
            case IceControlling:
            case IceControlled:
                if (valueSize != 8) return Unexpected{StunError::BadAttribute};
                m.tieBreaker = read64(value);
                (type == IceControlling ? m.iceControlling : m.iceControlled) = true;
                break;
            default:
                if (type < 0x8000) return Unexpected{StunError::UnknownRequiredAttribute};
            }
        }
        at += 4 + padded;
    }
    return m;
}

StunError checkIntegrity(std::span<const std::uint8_t> datagram, const StunMessage &message,
                         std::string_view password) {
    const std::size_t at = message.integrityOffset;
    if (at < HeaderSize || at + 4 + IntegritySize > datagram.size()) return StunError::MissingIntegrity;
    std::uint8_t mac[IntegritySize];
    if (!integrityOf(datagram.data(), at, std::uint16_t(at + 4 + IntegritySize - HeaderSize), password, mac))
        return StunError::BadIntegrity;
    if (CRYPTO_memcmp(mac, datagram.data() + at + 4, IntegritySize) != 0) return StunError::BadIntegrity;
    return StunError::None;
}

std::size_t writeBindingSuccess(std::span<std::uint8_t> out, const TransactionId &transactionId, const sockaddr *peer,
                                std::string_view password) {
    if (!peer || (peer->sa_family != AF_INET && peer->sa_family != AF_INET6)) return 0;
    const bool v6 = peer->sa_family == AF_INET6;
    const std::size_t addressSize = v6 ? 16 : 4;
    const std::size_t size = HeaderSize + 8 + addressSize + 4 + IntegritySize + 8;
    if (out.size() < size) return 0;
    std::uint8_t *d = out.data();
    write16(d, 0x0101);
    write16(d + 2, 0);
    write32(d + 4, MagicCookie);
    std::memcpy(d + 8, transactionId.data(), transactionId.size());

    // XOR-MAPPED-ADDRESS: port with the cookie's top half, address with cookie then transaction id.
    std::uint8_t *a = d + HeaderSize;
    write16(a, XorMappedAddress);
    write16(a + 2, std::uint16_t(4 + addressSize));
    a[4] = 0;
    a[5] = v6 ? 2 : 1;
    std::uint16_t port;
    const std::uint8_t *address;
    if (v6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(peer);
        port = ntohs(in6->sin6_port);
        address = in6->sin6_addr.s6_addr;
    } else {
        const auto *in4 = reinterpret_cast<const sockaddr_in *>(peer);
        port = ntohs(in4->sin_port);
        address = reinterpret_cast<const std::uint8_t *>(&in4->sin_addr.s_addr);
    }
    write16(a + 6, std::uint16_t(port ^ (MagicCookie >> 16)));
    for (std::size_t i = 0; i < addressSize; ++i)
        a[8 + i] = address[i] ^ d[4 + i];  // bytes 4..19: cookie, then the transaction id

    return signAndFinish(d, HeaderSize + 8 + addressSize, password);
}

std::size_t writeBindingRequest(std::span<std::uint8_t> out, const BindingRequest &request) {
    const std::size_t usernamePadded = (request.username.size() + 3) & ~std::size_t(3);
    const std::size_t size =
        HeaderSize + 4 + usernamePadded + 8 + 12 + (request.useCandidate ? 4 : 0) + 4 + IntegritySize + 8;
    if (request.username.empty() || request.username.size() > MaxUsernameSize || out.size() < size) return 0;
    std::uint8_t *d = out.data();
    std::memset(d, 0, size);
    write16(d, 0x0001);
    write32(d + 4, MagicCookie);
    std::memcpy(d + 8, request.transactionId.data(), request.transactionId.size());
    std::uint8_t *a = d + HeaderSize;
    write16(a, Username);
    write16(a + 2, std::uint16_t(request.username.size()));
    std::memcpy(a + 4, request.username.data(), request.username.size());
    a += 4 + usernamePadded;
    write16(a, Priority);
    write16(a + 2, 4);
    write32(a + 4, request.priority);
    a += 8;
    write16(a, request.controlling ? IceControlling : IceControlled);
    write16(a + 2, 8);
    write32(a + 4, std::uint32_t(request.tieBreaker >> 32));
    write32(a + 8, std::uint32_t(request.tieBreaker));
    a += 12;
    if (request.useCandidate) {
        write16(a, UseCandidate);
        a += 4;
    }
    return signAndFinish(d, std::size_t(a - d), request.password);
}

}  // namespace morlanex::webrtc
