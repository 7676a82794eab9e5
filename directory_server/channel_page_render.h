// Internal header of the directory daemon.
//
// What the channel page shows: the live channels as the database holds them,
// turned from CP950 datagram texts into UTF-8 (broken bytes become U+FFFD),
// and rendered as an HTML page (in the language the browser asks for, see
// common/language_choice.h; Traditional Chinese by default), as JSON and as an .asx
// playlist. Every datagram text is escaped for the place it lands in.
//
// Threads: plain functions and values; ChannelListing is used by one thread.
#pragma once

#include "common/language_choice.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace morlanex {

struct ListedChannel {
    std::string channelId;
    std::string name;  // UTF-8
    std::string description;  // UTF-8
    std::string keywords;  // UTF-8
    std::int64_t currentViewers = 0;
    std::int64_t views = 0;
    std::int64_t onlineSince = 0;  // Unix seconds
    std::string streamAddress;  // where the node's stream is served
    std::uint16_t streamPort = 0;
    // Its node pushes to the cache tier and nobody connects to its stream: browsers watch
    // through the tier, players that need the broadcaster's address (Windows Media) cannot.
    bool relayOnly = false;

    std::string streamUrl() const;  // for a player
    std::string watchUrl() const;  // the broadcaster's player page
    // Its player page through a cache tier at relayBase (see docs/browser-and-scale-out.md).
    std::string relayWatchUrl(std::string_view relayBase) const;
};

std::string htmlEscape(std::string_view text);
// A JSON string literal, quotes included; <, > and & as \u escapes so the
// text cannot close a script element either.
std::string jsonString(std::string_view text);

// With a relay base, each channel is linked through the cache tier too.
std::string renderChannelPage(const std::vector<ListedChannel> &channels, std::int64_t now,
                              std::string_view relayBase = {}, UiLanguage language = UiLanguage::TraditionalChinese);
std::string renderChannelJson(const std::vector<ListedChannel> &channels, std::int64_t now,
                              std::string_view relayBase = {});
std::string renderPlaylist(const ListedChannel &channel);
// The page's script (polls /channels.json and redraws the list).
std::string channelPageScript(UiLanguage language = UiLanguage::TraditionalChinese);

// The live channels, read from the directory's database through a read-only
// connection of its own.
class ChannelListing {
public:
    // Throws std::runtime_error naming the file when it cannot be opened.
    explicit ChannelListing(const std::string &databasePath);
    ~ChannelListing();
    ChannelListing(const ChannelListing &) = delete;
    ChannelListing &operator=(const ChannelListing &) = delete;

    // Most viewers first. Throws std::runtime_error when the database fails.
    std::vector<ListedChannel> liveChannels();

private:
    std::string path_;
    sqlite3 *db_ = nullptr;  // owned
};

}  // namespace morlanex
