// Public header.
//
// DirectoryMessage: the fixed 663-byte record that every directory datagram
// carries (node <-> directory server, and node -> viewer).
//
// The record is eleven short-string fields at fixed offsets: one length byte
// L, then L bytes of CP950 text, no terminator. Writes are byte exact:
//   - a text write stores min(len, capacity) as the length byte and that many
//     bytes; the rest of the field keeps whatever the buffer held;
//   - a command write touches only the length byte and the word's characters;
//   - the flag write stores 0x01 0x30 ("0") at offsets 29 and 30.
// Reads honour the length byte even when it exceeds the field's capacity
// (the text runs on into the next field), but never go past byte 662.
//
// Two kinds of outgoing record: fresh ones start from 663 zero bytes; answers
// in place overwrite a few bytes of the record just received and send every
// other byte back unchanged.
//
// Texts are CP950 byte strings held in std::string; callers convert. Cuts
// count bytes and may split a double-byte character.
//
// Threads: a plain value type; no shared state.
//
// Example:
//   auto msg = DirectoryMessage::fromBytes(payload);      // size check
//   if (msg && msg->matches(cmd::LinkKerfOk)) {
//       std::string channel = msg->readText(Field::ChannelId);
//       msg->answerLinkKerfPort(channel, nodeId);         // in place
//       endpoint.sendBuffer(server, 22, msg->bytes());
//   }
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace morlanex {

// The command words, byte for byte.
namespace cmd {
inline constexpr std::string_view LinkKerfCam = "LinkKERF_CAM";
inline constexpr std::string_view LinkKerfOk = "LinkKERF_OK";
inline constexpr std::string_view LinkKerfPort = "LinkKERF_Port";
inline constexpr std::string_view DelChannelOnline = "DelChannelOnline";
inline constexpr std::string_view ChannelOnline = "ChannelOnline";
inline constexpr std::string_view CamChannelMsg = "CAMChannelMSG";
inline constexpr std::string_view SendP2PData = "SendP2PData";
inline constexpr std::string_view UCanSee = "UCanSee";
inline constexpr std::string_view CamChannelRate = "CAMChannelRate";
inline constexpr std::string_view CloseKerf = "CloseKERF";
inline constexpr std::string_view GetVersion = "GetVersion";
inline constexpr std::string_view ChannelRateZero = "ChannelRateZero";
inline constexpr std::string_view ChangeChannelText = "ChangeChannelText";
// Viewer requests to the directory (see docs/directory-protocol.md).
inline constexpr std::string_view WatchChannel = "WatchChannel";
inline constexpr std::string_view LeaveChannel = "LeaveChannel";
}  // namespace cmd

enum class Field {
    Command,
    ChannelId,
    Flag,
    AdapterAddress,
    PrivateAddress,
    PublicAddress,
    PeerPort,
    ChannelName,
    ChannelDescription,
    ViewerCount,
    Keywords,
};

struct FieldLayout {
    std::size_t offset;  // of the length byte
    std::size_t capacity;  // bytes of text after it
};

// Offset and capacity of a field. PeerPort owns bytes 80..93.
FieldLayout layoutOf(Field field);

// Removes leading and trailing bytes whose code is 32 or below. Safe on CP950:
// no byte of a double-byte character is that low.
std::string trimBlanks(std::string_view text);

class DirectoryMessage {
public:
    static constexpr std::size_t Size = 663;
    using Bytes = std::array<std::uint8_t, Size>;

    // A fresh record: 663 zero bytes.
    DirectoryMessage() = default;

    // Size check: a payload is a record only when it is exactly 663 bytes.
    static std::optional<DirectoryMessage> fromBytes(std::span<const std::uint8_t> payload);
    static bool isRecordSize(std::size_t size) { return size == Size; }

    const Bytes &bytes() const { return bytes_; }
    std::span<const std::uint8_t> span() const { return bytes_; }

    // True when the first L + 1 bytes (L = byte 0) are exactly the word's
    // length byte followed by its characters.
    bool matches(std::string_view word) const;

    // The L bytes after the length byte at the field's offset, L not capped
    // by the capacity, cut at the end of the record.
    std::string readText(Field field) const;

    void writeText(Field field, std::string_view text);
    void writeCommand(std::string_view word);
    void writeFlag();

    // Fresh records built by the node.
    static DirectoryMessage linkKerfCam(std::string_view nodeId, std::string_view localAddress,
                                        std::string_view channelName, std::string_view channelDescription,
                                        std::string_view keywords);
    static DirectoryMessage closeKerf(std::string_view channelId, std::string_view nodeId);
    static DirectoryMessage getVersion();
    static DirectoryMessage channelRateZero(std::string_view channelId, std::string_view nodeId);
    static DirectoryMessage changeChannelText(std::string_view channelId, std::string_view nodeId,
                                              std::string_view channelName, std::string_view channelDescription);

    // Answers in place by the node, on the record just received.
    void answerLinkKerfPort(std::string_view channelId, std::string_view nodeId);
    void answerChannelOnline(std::string_view channelId, std::string_view nodeId, std::string_view currentViewers);
    void answerUCanSee();
    void answerCamChannelRate(std::string_view channelId, std::string_view nodeId);

private:
    // Command, ChannelId, Flag and AdapterAddress: the head of most node records.
    void writeHead(std::string_view word, std::string_view channelId, std::string_view nodeId);

    Bytes bytes_{};
};

}  // namespace morlanex
