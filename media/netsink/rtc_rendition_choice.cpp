#include "media/netsink/rtc_rendition_choice.h"

namespace morlanex {
namespace {

using namespace std::chrono_literals;

constexpr uint8_t kDownLoss = 256 / 10;  // more than a tenth
constexpr uint8_t kUpLoss = 256 / 50;  // at most 2 %
constexpr int kLossyReportsForDown = 2;
constexpr auto kEstimateSettles = 5s;
constexpr auto kFirstUpWait = 10s;
constexpr auto kLongestUpWait = 80s;

}  // namespace

RtcRenditionChoice::RtcRenditionChoice(std::span<const uint32_t> rates, Clock::time_point now)
    : rates_(rates), since_(now), clearSince_(now), lastUp_(now - kLongestUpWait), upWait_(kFirstUpWait) {}

void RtcRenditionChoice::moveTo(size_t rendition, Clock::time_point now) {
    if (rendition > wanted_ && now - lastUp_ < upWait_) {
        // The last move up did not hold: wait longer before the next.
        upWait_ = std::min<std::chrono::seconds>(upWait_ * 2, kLongestUpWait);
    } else if (rendition > wanted_) {
        upWait_ = kFirstUpWait;
    }
    if (rendition < wanted_) lastUp_ = now;
    wanted_ = rendition;
    lossyReports_ = 0;
    since_ = clearSince_ = now;
}

void RtcRenditionChoice::onLoss(uint8_t fractionLost, Clock::time_point now) {
    if (fractionLost > kUpLoss) clearSince_ = now;
    lossyReports_ = fractionLost > kDownLoss ? lossyReports_ + 1 : 0;
    if (lossyReports_ >= kLossyReportsForDown && wanted_ + 1 < rates_.size()) return moveTo(wanted_ + 1, now);
    considerUp(now);
}

void RtcRenditionChoice::onEstimate(uint64_t bitsPerSecond, Clock::time_point now) {
    const uint64_t rate = rates_[wanted_];
    if (now - since_ >= kEstimateSettles && bitsPerSecond < rate - rate / 5 && wanted_ + 1 < rates_.size())
        return moveTo(wanted_ + 1, now);
    considerUp(now);
}

void RtcRenditionChoice::considerUp(Clock::time_point now) {
    if (wanted_ > 0 && now - clearSince_ >= upWait_) moveTo(wanted_ - 1, now);
}

}  // namespace morlanex
