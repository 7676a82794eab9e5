// When the window's broadcast pushes to the relay tier, and what it then says.
#include "session/push_text.h"

#include <gtest/gtest.h>

using namespace morlanex;

TEST(PushText, AutoPushesOnceNobodyOutsideGetsInAndTheLineSaysWindowsMediaCannotConnect) {
    const ReachText checking{QStringLiteral("正在檢查外部連線…"), {}, false, false, {}};
    const ReachText secondNat{
        QStringLiteral("第二層 NAT：外部觀眾無法直接連線"), QStringLiteral("second NAT. "), false, true, {}};
    const ReachText reachable{QStringLiteral("外部可連線 11.77.0.1:8080"), {}, true, true, {}};
    EXPECT_FALSE(pushWanted(PushMode::Auto, checking));
    EXPECT_TRUE(pushWanted(PushMode::Auto, secondNat));
    EXPECT_FALSE(pushWanted(PushMode::Auto, reachable));
    EXPECT_TRUE(pushWanted(PushMode::Always, reachable));
    EXPECT_FALSE(pushWanted(PushMode::Off, secondNat));

    PushReport push;
    push.state = PushState::Ready;
    EXPECT_EQ(withPush(secondNat, push).line, secondNat.line) << "holding the credential says nothing yet";
    push.state = PushState::Pushing;
    push.channelId = "1234";
    push.segmentsPushed = 40;
    push.segmentsSkipped = 3;
    const ReachText pushing = withPush(secondNat, push);
    EXPECT_EQ(pushing.line, QStringLiteral("經中繼推送：Windows Media 播放器無法連線"));
    EXPECT_TRUE(pushing.detail.startsWith(secondNat.detail));
    EXPECT_TRUE(pushing.detail.contains(QStringLiteral("頻道 1234")));
    EXPECT_TRUE(pushing.detail.contains(QStringLiteral("已推送 40 段，因上傳頻寬不足略過 3 段")));
    push.state = PushState::Unavailable;
    push.detail = "this directory has no relay tier to push to";
    const ReachText without = withPush(secondNat, push);
    EXPECT_EQ(without.line, secondNat.line);
    EXPECT_TRUE(without.detail.contains(QStringLiteral("無法推送到中繼伺服器：this directory has no relay tier")));
}
