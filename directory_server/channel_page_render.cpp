#include "directory_server/channel_page_render.h"

#include "common/codepage.h"
#include "resources/web/page_texts.h"
#include "resources/web/web_page.h"

#include <sqlite3.h>

#include <stdexcept>

namespace morlanex {
namespace {

std::string columnText(sqlite3_stmt *statement, int column) {
    const auto *data = static_cast<const char *>(sqlite3_column_blob(statement, column));
    return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))) : std::string();
}

std::int64_t liveSeconds(const ListedChannel &channel, std::int64_t now) {
    return channel.onlineSince > 0 && now > channel.onlineSince ? now - channel.onlineSince : 0;
}

// "2 小時 5 分", "5 分", "不到 1 分鐘" (the script says the same).
std::string liveFor(std::int64_t seconds, UiLanguage language) {
    const std::int64_t minutes = seconds / 60, hours = minutes / 60, days = hours / 24;
    const auto n = [language](std::int64_t count, std::string_view unit) {
        return std::to_string(count) + " " + std::string(web::pageText(unit, language));
    };
    if (days > 0) return n(days, "days") + " " + n(hours % 24, "hours");
    if (hours > 0) return n(hours, "hours") + " " + n(minutes % 60, "minutes");
    if (minutes > 0) return n(minutes, "minutes");
    return std::string(web::pageText("underAMinute", language));
}

std::string playlistPath(const ListedChannel &channel) { return "/channel/" + channel.channelId + ".asx"; }

// A channel only the tier reaches (page.js says the same).
std::string relayOnlyNote(UiLanguage language) {
    return "<p class=\"relay-only\">" + std::string(web::pageText("relayOnly", language)) + "</p>";
}

}  // namespace

std::string ListedChannel::streamUrl() const {
    return "http://" + streamAddress + ":" + std::to_string(streamPort) + "/";
}

std::string ListedChannel::watchUrl() const { return streamUrl() + "watch"; }

std::string ListedChannel::relayWatchUrl(std::string_view relayBase) const {
    return std::string(relayBase) + "/channel/" + channelId + "/live/watch";
}

std::string htmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            // Control characters have no place in a page.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
                out += "\xEF\xBF\xBD";
            else
                out.push_back(c);
        }
    }
    return out;
}

std::string jsonString(std::string_view text) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20 || c == '<' || c == '>' || c == '&') {
            out += "\\u00";
            out.push_back(Hex[byte >> 4]);
            out.push_back(Hex[byte & 0xF]);
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

std::string renderChannelPage(const std::vector<ListedChannel> &channels, std::int64_t now, std::string_view relayBase,
                              UiLanguage language) {
    // The page is resources/web/channel/; each channel is one row.html, every text escaped.
    const std::string row = web::translatePage(web::kChannelRowHtml, language);
    std::string rows;
    for (const ListedChannel &channel : channels) {
        const std::string viewersNow = std::to_string(channel.currentViewers);
        const std::string viewsTotal = std::to_string(channel.views);
        const std::string relay = relayBase.empty() ? std::string()
                                                    : " · <a class=\"relay\" href=\"" +
                htmlEscape(channel.relayWatchUrl(relayBase)) + "\" title=\"watch through the relay\">" +
                std::string(web::pageText("watchThroughRelay", language)) + "</a>";
        rows += web::fillPage(row,
                              {{"id", htmlEscape(channel.channelId)},
                               {"name", htmlEscape(channel.name)},
                               {"description", htmlEscape(channel.description)},
                               {"keywords", htmlEscape(channel.keywords)},
                               {"viewersNow", viewersNow},
                               {"viewsTotal", viewsTotal},
                               {"liveFor", liveFor(liveSeconds(channel, now), language)},
                               {"watch", htmlEscape(channel.watchUrl())},
                               {"relay", relay},
                               {"note", channel.relayOnly ? relayOnlyNote(language) : std::string()},
                               {"stream", htmlEscape(channel.streamUrl())},
                               {"playlist", htmlEscape(playlistPath(channel))}});
    }
    std::string summary(web::pageText(channels.empty() ? "noChannels" : "channelsLive", language));
    if (const size_t count = summary.find("%1"); count != std::string::npos)
        summary.replace(count, 2, std::to_string(channels.size()));
    return web::fillPage(web::translatePage(web::kChannelIndexHtml, language),
                         {{"style", web::kChannelStyleCss}, {"summary", summary}, {"rows", rows}});
}

std::string renderChannelJson(const std::vector<ListedChannel> &channels, std::int64_t now,
                              std::string_view relayBase) {
    std::string json = "{\"generatedAt\":" + std::to_string(now) + ",\"channels\":[";
    bool first = true;
    for (const ListedChannel &channel : channels) {
        if (!first) json += ",";
        first = false;
        json += "{\"id\":" + jsonString(channel.channelId) + ",\"name\":" + jsonString(channel.name) +
            ",\"description\":" + jsonString(channel.description) + ",\"keywords\":" + jsonString(channel.keywords) +
            ",\"viewersNow\":" + std::to_string(channel.currentViewers) +
            ",\"viewsTotal\":" + std::to_string(channel.views) +
            ",\"onlineSince\":" + std::to_string(channel.onlineSince) +
            ",\"liveSeconds\":" + std::to_string(liveSeconds(channel, now)) +
            ",\"stream\":" + jsonString(channel.streamUrl()) + ",\"watch\":" + jsonString(channel.watchUrl()) +
            ",\"playlist\":" + jsonString(playlistPath(channel));
        if (!relayBase.empty()) json += ",\"relay\":" + jsonString(channel.relayWatchUrl(relayBase));
        if (channel.relayOnly) json += ",\"relayOnly\":true";
        json += "}";
    }
    return json + "]}\n";
}

std::string renderPlaylist(const ListedChannel &channel) {
    // ASX is XML-like: the same escaping as HTML serves it.
    const std::string title = htmlEscape(channel.name);
    return "<ASX VERSION=\"3.0\">\r\n<TITLE>" + title + "</TITLE>\r\n<ENTRY>\r\n<TITLE>" + title +
        "</TITLE>\r\n<REF HREF=\"" + htmlEscape(channel.streamUrl()) + "\" />\r\n</ENTRY>\r\n</ASX>\r\n";
}

std::string channelPageScript(UiLanguage language) { return web::translatePage(web::kChannelPageJs, language); }

ChannelListing::ChannelListing(const std::string &databasePath) : path_(databasePath) {
    if (sqlite3_open_v2(databasePath.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("database " + path_ + ": cannot open for the channel page: " + reason);
    }
    sqlite3_busy_timeout(db_, 2000);
}

ChannelListing::~ChannelListing() { sqlite3_close(db_); }

std::vector<ListedChannel> ChannelListing::liveChannels() {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT id, name, description, keywords, current_viewers, views,"
                           " online_since, first_address, first_port FROM channels WHERE online = 1"
                           " ORDER BY current_viewers DESC, id",
                           -1, &statement, nullptr) != SQLITE_OK)
        throw std::runtime_error("database " + path_ + ": " + sqlite3_errmsg(db_));
    std::vector<ListedChannel> channels;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        ListedChannel channel;
        channel.channelId = std::to_string(sqlite3_column_int64(statement, 0));
        channel.name = cp950ToUtf8(columnText(statement, 1));
        channel.description = cp950ToUtf8(columnText(statement, 2));
        channel.keywords = cp950ToUtf8(columnText(statement, 3));
        channel.currentViewers = sqlite3_column_int64(statement, 4);
        channel.views = sqlite3_column_int64(statement, 5);
        channel.onlineSince = sqlite3_column_int64(statement, 6);
        channel.streamAddress = columnText(statement, 7);
        channel.streamPort = static_cast<std::uint16_t>(sqlite3_column_int(statement, 8));
        channels.push_back(std::move(channel));
    }
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE) throw std::runtime_error("database " + path_ + ": " + sqlite3_errmsg(db_));
    return channels;
}

}  // namespace morlanex
