#include "session/push_text.h"

#include <QCoreApplication>

namespace morlanex {

bool pushWanted(PushMode mode, const ReachText &reach) {
    if (mode == PushMode::Always) return true;
    return mode == PushMode::Auto && reach.settled && !reach.reachable;
}

ReachText withPush(const ReachText &reach, const std::optional<PushReport> &push) {
    if (!push) return reach;
    ReachText shown = reach;
    switch (push->state) {
    case PushState::Pushing:
        shown.line = QCoreApplication::translate("PushText", "經中繼推送：Windows Media 播放器無法連線");
        shown.detail +=
            QCoreApplication::translate("PushText",
                                        "已將瀏覽器版本推送到中繼伺服器（頻道 %1）：瀏覽器觀眾可經由中繼觀看。"
                                        "Windows Media 播放器必須直接連到本機，因此無法觀看此頻道。"
                                        "已推送 %2 段，因上傳頻寬不足略過 %3 段。")
                .arg(QString::fromStdString(push->channelId))
                .arg(push->segmentsPushed)
                .arg(push->segmentsSkipped);
        break;
    case PushState::Unavailable:
    case PushState::Refused:
        if (reach.settled && !reach.reachable)
            shown.detail += QCoreApplication::translate("PushText", "無法推送到中繼伺服器：%1。")
                                .arg(QString::fromStdString(push->detail));
        break;
    case PushState::Asking:
    case PushState::Ready:
    case PushState::Stopped:
        break;
    }
    return shown;
}

}  // namespace morlanex
