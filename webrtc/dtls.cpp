#include "webrtc/dtls.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/srtp.h>
#include <openssl/x509.h>

namespace morlanex::webrtc {

namespace {

constexpr long CertificateValidSeconds = 30L * 24 * 3600;
constexpr long DatagramMtu = 1200;  // what WebRTC stacks keep to, below any path's MTU
constexpr std::size_t MaxRecordLength = 16384 + 2048;
constexpr char SrtpProfiles[] = "SRTP_AEAD_AES_128_GCM:SRTP_AES128_CM_SHA1_80";
constexpr char Ciphers[] = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384";
// A client also takes servers with RSA certificates (other WebRTC servers make those).
constexpr char ClientCiphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384";

std::string openSslError(const char *what) {
    char text[256];
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return what;
    ERR_error_string_n(code, text, sizeof text);
    return std::string(what) + ": " + text;
}

std::string hexWithColons(const unsigned char *bytes, unsigned size) {
    std::string text;
    char pair[4];
    for (unsigned i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, i ? ":%02X" : "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

bool sameFingerprint(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The write side of an endpoint: each BIO write is one datagram handed to the endpoint's
// callback, so a flight keeps its datagram boundaries (a memory BIO would run them together).
int datagramWrite(BIO *bio, const char *data, int size) {
    auto *send = static_cast<DtlsEndpoint::SendDatagram *>(BIO_get_data(bio));
    if (send && *send && size > 0) (*send)(std::span(reinterpret_cast<const std::uint8_t *>(data), std::size_t(size)));
    return size;
}

long datagramCtrl(BIO *, int command, long, void *) {
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_DGRAM_QUERY_MTU:
        return DatagramMtu;
    default:
        return 0;
    }
}

int datagramCreate(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD *datagramMethod() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "morlanex datagram");
        if (m) {
            BIO_meth_set_write(m, datagramWrite);
            BIO_meth_set_ctrl(m, datagramCtrl);
            BIO_meth_set_create(m, datagramCreate);
        }
        return m;
    }();
    return method;
}

}  // namespace

std::size_t srtpKeySaltSize(SrtpProfile profile) {
    switch (profile) {
    case SrtpProfile::Aes128CmSha1_80:
        return 16 + 14;
    case SrtpProfile::AeadAes128Gcm:
        return 16 + 12;
    case SrtpProfile::None:
        break;
    }
    return 0;
}

std::unique_ptr<DtlsContext> DtlsContext::create(std::string *error) {
    std::unique_ptr<DtlsContext> context(new DtlsContext);
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *certificate = X509_new();
    std::uint64_t serial = 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digestSize = 0;
    bool ok = key && certificate && RAND_bytes(reinterpret_cast<unsigned char *>(&serial), sizeof serial) == 1;
    if (ok) {
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set_uint64(X509_get_serialNumber(certificate), serial >> 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -24 * 3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), CertificateValidSeconds);
        X509_NAME *name = X509_get_subject_name(certificate);
        ok = X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("morlanex"),
                                        -1, -1, 0) &&
            X509_set_issuer_name(certificate, name) && X509_set_pubkey(certificate, key) &&
            X509_sign(certificate, key, EVP_sha256()) > 0 &&
            X509_digest(certificate, EVP_sha256(), digest, &digestSize);
    }
    if (ok) {
        context->ctx_ = SSL_CTX_new(DTLS_method());  // either role, chosen per endpoint
        SSL_CTX *ctx = context->ctx_;
        ok = ctx && SSL_CTX_use_certificate(ctx, certificate) && SSL_CTX_use_PrivateKey(ctx, key) &&
            SSL_CTX_check_private_key(ctx) && SSL_CTX_set_min_proto_version(ctx, DTLS1_2_VERSION) &&
            SSL_CTX_set_cipher_list(ctx, Ciphers) &&
            SSL_CTX_set_tlsext_use_srtp(ctx, SrtpProfiles) == 0;  // 0 is success here
        if (ok) {
            // The MTU is ours to set (no socket to ask); sessions are never resumed.
            SSL_CTX_set_options(ctx, SSL_OP_NO_QUERY_MTU | SSL_OP_NO_TICKET | SSL_OP_CIPHER_SERVER_PREFERENCE);
        }
    }
    if (ok)
        context->fingerprint_ = hexWithColons(digest, digestSize);
    else if (error)
        *error = openSslError("cannot make the DTLS certificate");
    X509_free(certificate);
    EVP_PKEY_free(key);
    return ok ? std::move(context) : nullptr;
}

DtlsContext::~DtlsContext() { SSL_CTX_free(ctx_); }

DtlsEndpoint::DtlsEndpoint(const DtlsContext &context, std::string fingerprintAlgorithm, std::string fingerprint,
                           SendDatagram send, DtlsRole role)
    : fingerprintAlgorithm_(std::move(fingerprintAlgorithm)), fingerprint_(std::move(fingerprint)),
      send_(std::move(send)), role_(role) {
    ssl_ = SSL_new(context.sslContext());
    in_ = BIO_new(BIO_s_mem());
    BIO *out = datagramMethod() ? BIO_new(datagramMethod()) : nullptr;
    if (!ssl_ || !in_ || !out) {
        BIO_free(in_);
        BIO_free(out);
        in_ = nullptr;
        fail(openSslError("cannot make a DTLS endpoint"));
        return;
    }
    BIO_set_mem_eof_return(in_, -1);  // an empty input is "wait for more", not the end
    BIO_set_data(out, &send_);
    SSL_set_bio(ssl_, in_, out);
    SSL_set_mtu(ssl_, DatagramMtu);
    DTLS_set_link_mtu(ssl_, DatagramMtu);
    SSL_set_app_data(ssl_, this);
    SSL_set_verify(ssl_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, checkPeerCertificate);
    if (role == DtlsRole::Client) {
        SSL_set_cipher_list(ssl_, ClientCiphers);
        SSL_set_connect_state(ssl_);
    } else {
        SSL_set_accept_state(ssl_);
    }
}

// What a released endpoint keeps (see release()).
struct DtlsEndpoint::Released {
    EVP_CIPHER_CTX *peerKey = nullptr;  // AES-128-GCM, the peer's write key
    std::uint8_t peerIv[4]{};  // its implicit nonce part
    std::vector<std::uint8_t> closeNotify;
    ~Released() { EVP_CIPHER_CTX_free(peerKey); }
};

DtlsEndpoint::~DtlsEndpoint() { SSL_free(ssl_); }

DtlsState DtlsEndpoint::start() {
    if (role_ != DtlsRole::Client || state_ != DtlsState::Handshaking) return state_;
    return drive();
}

DtlsState DtlsEndpoint::receive(std::span<const std::uint8_t> datagram) {
    if (state_ == DtlsState::Failed || state_ == DtlsState::Closed || !isDtlsDatagram(datagram)) return state_;
    if (released_) return receiveReleased(datagram);
    BIO_write(in_, datagram.data(), int(datagram.size()));
    const DtlsState state = drive();
    // Whatever OpenSSL left unread belongs to this datagram only.
    if (in_) (void)BIO_reset(in_);
    return state;
}

DtlsState DtlsEndpoint::drive() {
    if (state_ == DtlsState::Handshaking) {
        const int result = SSL_do_handshake(ssl_);
        if (result == 1) {
            if (!finishHandshake()) return state_;
            // Connected, the record buffers (some 23 KiB) sit idle: alerts are all that come.
            SSL_free_buffers(ssl_);
            return state_ = DtlsState::Connected;
        }
        const int error = SSL_get_error(ssl_, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return state_;
        if (!certificateProblem_.empty()) {
            ERR_clear_error();
            return fail(certificateProblem_);
        }
        return fail(openSslError("DTLS handshake failed"));
    }
    // Connected: alerts and retransmitted handshake flights; no application data is expected.
    // The buffers were let go while idle; DTLS writes (our last flight again) need them back.
    if (SSL_alloc_buffers(ssl_) != 1) return fail(openSslError("DTLS connection failed"));
    unsigned char sink[2048];
    for (;;) {
        const int n = SSL_read(ssl_, sink, sizeof sink);
        if (n > 0) continue;
        const int error = SSL_get_error(ssl_, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            SSL_free_buffers(ssl_);  // until the next record; kept when a partial one waits
            return state_;
        }
        if (error == SSL_ERROR_ZERO_RETURN) {
            state_ = DtlsState::Closed;
            return state_;
        }
        return fail(openSslError("DTLS connection failed"));
    }
}

// The peer's certificate is self-signed: what vouches for it is its fingerprint in the offer.
// Checked during the handshake, so a mismatch ends it with a bad_certificate alert to the peer.
int DtlsEndpoint::checkPeerCertificate(int, X509_STORE_CTX *store) {
    if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
    auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *self = static_cast<DtlsEndpoint *>(SSL_get_app_data(ssl));
    const EVP_MD *md = EVP_get_digestbyname(self->fingerprintAlgorithm_.c_str());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned digestSize = 0;
    X509 *peer = X509_STORE_CTX_get_current_cert(store);
    if (!peer || !md || !X509_digest(peer, md, digest, &digestSize)) {
        self->certificateProblem_ = "the peer's certificate cannot be checked with " + self->fingerprintAlgorithm_;
        return 0;
    }
    if (!sameFingerprint(hexWithColons(digest, digestSize), self->fingerprint_)) {
        self->certificateProblem_ = "the peer's certificate does not match the offer's fingerprint";
        return 0;
    }
    return 1;
}

bool DtlsEndpoint::finishHandshake() {
    const SRTP_PROTECTION_PROFILE *selected = SSL_get_selected_srtp_profile(ssl_);
    const unsigned long id = selected ? selected->id : 0;
    keys_.profile = id == SRTP_AES128_CM_SHA1_80 ? SrtpProfile::Aes128CmSha1_80
        : id == SRTP_AEAD_AES_128_GCM            ? SrtpProfile::AeadAes128Gcm
                                                 : SrtpProfile::None;
    if (keys_.profile == SrtpProfile::None) {
        fail("no SRTP profile was negotiated");
        return false;
    }
    // RFC 5764 4.2: client key, server key, client salt, server salt.
    const std::size_t keySize = 16;
    const std::size_t saltSize = srtpKeySaltSize(keys_.profile) - keySize;
    unsigned char material[2 * 30];
    static constexpr char Label[] = "EXTRACTOR-dtls_srtp";
    if (SSL_export_keying_material(ssl_, material, 2 * (keySize + saltSize), Label, sizeof Label - 1, nullptr, 0, 0) !=
        1) {
        fail(openSslError("cannot export the SRTP keys"));
        return false;
    }
    const unsigned char *clientKey = material;
    const unsigned char *serverKey = material + keySize;
    const unsigned char *clientSalt = material + 2 * keySize;
    const unsigned char *serverSalt = clientSalt + saltSize;
    const bool server = role_ == DtlsRole::Server;
    auto &serverKeys = server ? keys_.local : keys_.remote;
    auto &clientKeys = server ? keys_.remote : keys_.local;
    std::copy(serverKey, serverKey + keySize, serverKeys.begin());
    std::copy(serverSalt, serverSalt + saltSize, serverKeys.begin() + keySize);
    std::copy(clientKey, clientKey + keySize, clientKeys.begin());
    std::copy(clientSalt, clientSalt + saltSize, clientKeys.begin() + keySize);
    return true;
}

std::optional<std::chrono::milliseconds> DtlsEndpoint::nextTimeout() const {
    timeval left{};
    if (state_ != DtlsState::Handshaking || !ssl_ || DTLSv1_get_timeout(ssl_, &left) != 1) return std::nullopt;
    return std::chrono::milliseconds(left.tv_sec * 1000 + left.tv_usec / 1000);
}

DtlsState DtlsEndpoint::handleTimeout() {
    if (state_ == DtlsState::Handshaking && DTLSv1_handle_timeout(ssl_) < 0)
        return fail(openSslError("DTLS handshake timed out"));
    return state_;
}

bool DtlsEndpoint::release() {
    constexpr unsigned long EcdsaAes128Gcm = 0x0300C02B;
    const SSL_CIPHER *cipher = ssl_ ? SSL_get_current_cipher(ssl_) : nullptr;
    if (state_ != DtlsState::Connected || released_ || !cipher || SSL_CIPHER_get_id(cipher) != EcdsaAes128Gcm)
        return false;
    // RFC 5246 6.3: the key block from the master secret; client then server keys, then IVs.
    unsigned char master[SSL_MAX_MASTER_KEY_LENGTH], random[64], block[40];
    const std::size_t masterSize = SSL_SESSION_get_master_key(SSL_get_session(ssl_), master, sizeof master);
    SSL_get_server_random(ssl_, random, 32);
    SSL_get_client_random(ssl_, random + 32, 32);
    static constexpr char Label[] = "key expansion";
    unsigned char seed[sizeof Label - 1 + 64];
    std::copy(Label, Label + sizeof Label - 1, seed);
    std::copy(random, random + 64, seed + sizeof Label - 1);
    EVP_KDF *kdf = EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr);
    EVP_KDF_CTX *kctx = kdf ? EVP_KDF_CTX_new(kdf) : nullptr;
    EVP_KDF_free(kdf);
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, master, masterSize),
                                 OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seed, sizeof seed),
                                 OSSL_PARAM_construct_end()};
    const bool derived = kctx && masterSize > 0 && EVP_KDF_derive(kctx, block, sizeof block, params) == 1;
    EVP_KDF_CTX_free(kctx);
    const bool server = role_ == DtlsRole::Server;
    auto kept = std::make_unique<Released>();
    kept->peerKey = derived ? EVP_CIPHER_CTX_new() : nullptr;
    if (!kept->peerKey ||
        EVP_DecryptInit_ex(kept->peerKey, EVP_aes_128_gcm(), nullptr, block + (server ? 0 : 16), nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(kept->peerKey, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) != 1) {
        ERR_clear_error();
        return false;
    }
    std::copy_n(block + (server ? 32 : 36), 4, kept->peerIv);
    // Our close_notify now, kept for close(): nothing else will be written after it.
    const SendDatagram send = std::exchange(send_, [&](std::span<const std::uint8_t> d) {
        kept->closeNotify.assign(d.begin(), d.end());
    });
    if (SSL_alloc_buffers(ssl_) == 1) SSL_shutdown(ssl_);
    send_ = send;
    ERR_clear_error();
    SSL_free(ssl_);
    ssl_ = nullptr;
    in_ = nullptr;
    released_ = std::move(kept);
    return true;
}

// An alert record in the current epoch from the peer, checked with its key: close_notify
// closes, a fatal alert fails; anything else, or anything that does not open, is dropped.
DtlsState DtlsEndpoint::receiveReleased(std::span<const std::uint8_t> datagram) {
    constexpr std::size_t Explicit = 8, Tag = 16;
    while (!datagram.empty()) {
        const auto h = readDtlsRecordHeader(datagram);
        const std::uint8_t *record = datagram.data();
        datagram = datagram.subspan(13 + h->length);  // isDtlsDatagram() vouched for every header
        if (h->contentType != 21 || h->epoch == 0 || h->length != Explicit + 2 + Tag) continue;
        std::uint8_t nonce[12], aad[13], alert[2];
        std::copy_n(released_->peerIv, 4, nonce);
        std::copy_n(record + 13, Explicit, nonce + 4);
        std::copy_n(record + 3, 8, aad);  // epoch and sequence
        std::copy_n(record, 3, aad + 8);  // type and version
        aad[11] = 0, aad[12] = 2;
        int length = 0, last = 0;
        EVP_CIPHER_CTX *c = released_->peerKey;
        const bool ok = EVP_DecryptInit_ex(c, nullptr, nullptr, nullptr, nonce) == 1 &&
            EVP_DecryptUpdate(c, nullptr, &length, aad, sizeof aad) == 1 &&
            EVP_DecryptUpdate(c, alert, &length, record + 13 + Explicit, 2) == 1 &&
            EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, Tag, const_cast<std::uint8_t *>(record + 13 + Explicit + 2)) ==
                1 &&
            EVP_DecryptFinal_ex(c, alert + length, &last) == 1;
        if (!ok) continue;
        if (alert[1] == 0) return state_ = DtlsState::Closed;
        if (alert[0] == 2) return fail("DTLS connection failed: the peer's fatal alert " + std::to_string(alert[1]));
    }
    return state_;
}

void DtlsEndpoint::close() {
    if (released_ && state_ == DtlsState::Connected && send_) send_(released_->closeNotify);
    if (!released_ && state_ == DtlsState::Connected && SSL_alloc_buffers(ssl_) == 1) SSL_shutdown(ssl_);
    if (state_ != DtlsState::Failed) state_ = DtlsState::Closed;
}

DtlsState DtlsEndpoint::fail(std::string reason) {
    failure_ = std::move(reason);
    state_ = DtlsState::Failed;
    return state_;
}

std::optional<DtlsRecordHeader> readDtlsRecordHeader(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 13) return std::nullopt;
    const std::uint8_t *d = bytes.data();
    DtlsRecordHeader h;
    h.contentType = d[0];
    h.version = std::uint16_t(d[1] << 8 | d[2]);
    h.epoch = std::uint16_t(d[3] << 8 | d[4]);
    for (int i = 5; i < 11; ++i) h.sequence = h.sequence << 8 | d[i];
    h.length = std::uint16_t(d[11] << 8 | d[12]);
    if (h.contentType < 20 || h.contentType > 23) return std::nullopt;
    if (h.version != 0xfeff && h.version != 0xfefd) return std::nullopt;
    if (h.length == 0 || h.length > MaxRecordLength || h.length > bytes.size() - 13) return std::nullopt;
    return h;
}

bool isDtlsDatagram(std::span<const std::uint8_t> datagram) {
    if (datagram.empty()) return false;
    while (!datagram.empty()) {
        const auto header = readDtlsRecordHeader(datagram);
        if (!header) return false;
        datagram = datagram.subspan(13 + header->length);
    }
    return true;
}

}  // namespace morlanex::webrtc
