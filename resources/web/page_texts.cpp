#include "resources/web/page_texts.h"

#include "resources/web/web_page.h"

#include <array>
#include <vector>

namespace morlanex::web {
namespace {

struct PageText {
    std::string_view name, traditional, simplified, english;
};

// Traditional Chinese is the source; the others are its translations.
constexpr PageText kTexts[] = {
    // The player pages (resources/web/player/).
    {"title", "Morlanex 直播", "Morlanex 直播", "Morlanex live"},
    {"liveNow", "現正直播", "正在直播", "Live now"},
    {"connecting", "連線中…", "连接中…", "Connecting…"},
    {"playingBy", "播放方式：", "播放方式：", "Playing over: "},
    {"muted", "聲音預設為靜音，請按播放器上的喇叭開啟。", "声音默认为静音，请按播放器上的喇叭打开。",
     "The sound starts muted: press the speaker on the player to hear it."},
    {"windowsMedia", "以 Windows Media Player 觀看：", "以 Windows Media Player 观看：",
     "Watch in Windows Media Player: "},
    {"streamAddress", "串流位址", "串流地址", "stream address"},
    {"playing", "播放中", "播放中", "Playing"},
    {"buffering", "緩衝中…", "缓冲中…", "Buffering…"},
    {"retrying", "目前無法播放，稍後自動重試…", "目前无法播放，稍后自动重试…",
     "Cannot play now; trying again shortly…"},
    // The directory's channel page (resources/web/channel/).
    {"channels", "Morlanex 頻道目錄", "Morlanex 频道目录", "Morlanex channels"},
    {"channelName", "頻道名稱", "频道名称", "Channel"},
    {"description", "說明", "说明", "Description"},
    {"keywords", "關鍵字", "关键字", "Keywords"},
    {"viewersNow", "目前觀眾", "目前观众", "Watching"},
    {"viewsTotal", "累計人次", "累计人次", "Total views"},
    {"liveFor", "已直播", "已直播", "Live for"},
    {"watch", "觀看", "观看", "Watch"},
    {"updated", "每 5 秒自動更新。播放器位址可用於 Windows Media Player、VLC、mpv 等播放器。",
     "每 5 秒自动更新。播放器地址可用于 Windows Media Player、VLC、mpv 等播放器。",
     "Updated every 5 s. The player address opens in Windows Media Player, VLC, mpv and other players."},
    {"watchInBrowser", "在瀏覽器觀看", "在浏览器观看", "Watch in the browser"},
    {"watchThroughRelay", "經由轉送觀看", "经由转发观看", "Watch through the relay"},
    {"playerAddress", "播放器位址", "播放器地址", "Player address"},
    {"playlist", "下載 .asx 播放清單", "下载 .asx 播放列表", "Download the .asx playlist"},
    {"relayOnly",
     "廣播端無法直接連線（例如位於第二層 NAT 之後）：請經由轉送在瀏覽器觀看，Windows Media 播放器無法觀看此頻道。",
     "广播端无法直接连接（例如位于第二层 NAT 之后）：请经由转发在浏览器观看，Windows Media 播放器无法观看此频道。",
     "The broadcaster cannot be reached directly (behind a second NAT, say): watch through the relay in the browser; "
     "Windows Media players cannot watch this channel."},
    {"noChannels", "目前沒有頻道直播。", "目前没有频道直播。", "No channel is live right now."},
    {"channelsLive", "目前有 %1 個頻道直播中。", "目前有 %1 个频道直播中。", "Channels live now: %1."},  // %1: how many
    {"days", "天", "天", "d"},
    {"hours", "小時", "小时", "h"},
    {"minutes", "分", "分", "min"},
    {"underAMinute", "不到 1 分鐘", "不到 1 分钟", "under 1 min"},
    {"notFound", "找不到這一頁", "找不到这一页", "Page not found"},
    {"pageMissing", "找不到這一頁。", "找不到这一页。", "Page not found. "},
    {"backToChannels", "回到頻道目錄", "回到频道目录", "Back to the channels"},
};

std::string_view in(const PageText &text, UiLanguage language) {
    switch (language) {
    case UiLanguage::English:
        return text.english;
    case UiLanguage::SimplifiedChinese:
        return text.simplified;
    case UiLanguage::TraditionalChinese:
        break;
    }
    return text.traditional;
}

}  // namespace

std::string translatePage(std::string_view page, UiLanguage language) {
    std::array<std::string, std::size(kTexts)> names;
    std::vector<PageValue> values;
    values.reserve(names.size() + 1);
    for (size_t i = 0; i < names.size(); ++i) {
        names[i] = "t:" + std::string(kTexts[i].name);
        values.push_back({names[i], in(kTexts[i], language)});
    }
    values.push_back({"t:lang", htmlLanguageTag(language)});
    return fillPage(page, values);
}

std::string_view pageText(std::string_view name, UiLanguage language) {
    for (const PageText &text : kTexts)
        if (text.name == name) return in(text, language);
    return {};
}

}  // namespace morlanex::web
