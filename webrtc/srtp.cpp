#include "webrtc/srtp.h"
#include "webrtc/srtp_gcm.h"

#include <algorithm>
#include <climits>

#include <srtp2/srtp.h>

namespace morlanex::webrtc {

namespace {

constexpr unsigned long ReplayWindowPackets = 1024;

// Another user of libsrtp2 in the process (GStreamer's srtp elements) may have initialized it
// already: a second srtp_init() then reports an error though the library is ready. When it
// really is not, srtp_create() fails, and the session is not valid.
void initLibrary() {
    static const bool done = (srtp_init(), true);
    (void)done;
}

}  // namespace

static_assert(SrtpSession::MaxOverhead >= SRTP_MAX_TRAILER_LEN + 4);

SrtpSession::SrtpSession(SrtpProfile profile, std::span<const std::uint8_t> keySalt, Direction direction)
    : profile_(profile), direction_(direction) {
    initLibrary();
    if (profile == SrtpProfile::None || keySalt.size() != srtpKeySaltSize(profile)) return;
    std::copy(keySalt.begin(), keySalt.end(), keySalt_.begin());
    if (profile == SrtpProfile::AeadAes128Gcm) {
        rtcp_ = std::make_unique<SrtcpGcm>(keySalt);
        if (direction == Outbound) rtp_ = std::make_unique<SrtpGcmRtp>(keySalt);
        valid_ = rtcp_->valid() && (!rtp_ || rtp_->valid());
        return;
    }
    valid_ = makeLibsrtpSession();
}

bool SrtpSession::makeLibsrtpSession() {
    if (sessionTried_) return session_ != nullptr;
    sessionTried_ = true;
    srtp_policy_t policy{};
    if (profile_ == SrtpProfile::AeadAes128Gcm) {
        srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtp);
        srtp_crypto_policy_set_aes_gcm_128_16_auth(&policy.rtcp);
    } else {
        srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtp);
        srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy.rtcp);
    }
    policy.ssrc.type = direction_ == Outbound ? ssrc_any_outbound : ssrc_any_inbound;
    // libsrtp2 copies the key while creating the session.
    policy.key = keySalt_.data();
    policy.window_size = ReplayWindowPackets;
    policy.allow_repeat_tx = 1;  // NACKed packets go out again under their own sequence number
    srtp_t session = nullptr;
    if (srtp_create(&session, &policy) == srtp_err_status_ok) session_ = session;
    return session_ != nullptr;
}

SrtpSession::~SrtpSession() {
    if (session_) srtp_dealloc(session_);
}

template <class Transform>
bool SrtpSession::apply(Transform transform, std::span<std::uint8_t> buffer, std::size_t &size, std::size_t room,
                        std::size_t minimum) {
    if (!valid_ || !makeLibsrtpSession() || size < minimum || size > buffer.size() || buffer.size() - size < room ||
        size > INT_MAX / 2)
        return false;
    int length = int(size);
    if (transform(session_, buffer.data(), &length) != srtp_err_status_ok) return false;
    size = std::size_t(length);
    return true;
}

bool SrtpSession::protectRtp(std::span<std::uint8_t> buffer, std::size_t &size) {
    if (rtp_) return rtp_->protect(buffer, size);
    return apply(srtp_protect, buffer, size, MaxOverhead, 12);
}

bool SrtpSession::protectRtcp(std::span<std::uint8_t> buffer, std::size_t &size) {
    if (rtcp_) return direction_ == Outbound && rtcp_->protect(buffer, size);
    return apply(srtp_protect_rtcp, buffer, size, MaxOverhead, 8);
}

bool SrtpSession::unprotectRtp(std::span<std::uint8_t> buffer, std::size_t &size) {
    return apply(srtp_unprotect, buffer, size, 0, 12);
}

bool SrtpSession::unprotectRtcp(std::span<std::uint8_t> buffer, std::size_t &size) {
    if (rtcp_) return direction_ == Inbound && rtcp_->open(buffer, size);
    return apply(srtp_unprotect_rtcp, buffer, size, 0, 8);
}

}  // namespace morlanex::webrtc
