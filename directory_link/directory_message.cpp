#include "directory_link/directory_message.h"

#include <algorithm>
#include <cstring>

namespace morlanex {

FieldLayout layoutOf(Field field) {
    switch (field) {
    case Field::Command:
        return {0, 20};
    case Field::ChannelId:
        return {21, 7};
    case Field::Flag:
        return {29, 2};
    case Field::AdapterAddress:
        return {32, 15};
    case Field::PrivateAddress:
        return {48, 15};
    case Field::PublicAddress:
        return {64, 15};
    case Field::PeerPort:
        return {80, 13};
    case Field::ChannelName:
        return {94, 100};
    case Field::ChannelDescription:
        return {195, 200};
    case Field::ViewerCount:
        return {396, 10};
    case Field::Keywords:
        return {407, 255};
    }
    return {0, 0};
}

std::string trimBlanks(std::string_view text) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return std::string(text);
}

std::optional<DirectoryMessage> DirectoryMessage::fromBytes(std::span<const std::uint8_t> payload) {
    if (!isRecordSize(payload.size())) return std::nullopt;
    DirectoryMessage msg;
    std::memcpy(msg.bytes_.data(), payload.data(), Size);
    return msg;
}

bool DirectoryMessage::matches(std::string_view word) const {
    const std::size_t length = bytes_[0];
    if (length != word.size()) return false;
    return std::memcmp(bytes_.data() + 1, word.data(), length) == 0;
}

std::string DirectoryMessage::readText(Field field) const {
    const std::size_t start = layoutOf(field).offset + 1;
    const std::size_t length = std::min<std::size_t>(bytes_[start - 1], Size - start);
    return std::string(reinterpret_cast<const char *>(bytes_.data() + start), length);
}

void DirectoryMessage::writeText(Field field, std::string_view text) {
    const FieldLayout layout = layoutOf(field);
    const std::size_t length = std::min(text.size(), layout.capacity);
    bytes_[layout.offset] = static_cast<std::uint8_t>(length);
    std::memcpy(bytes_.data() + layout.offset + 1, text.data(), length);
}

void DirectoryMessage::writeCommand(std::string_view word) { writeText(Field::Command, word); }

void DirectoryMessage::writeFlag() { writeText(Field::Flag, "0"); }

void DirectoryMessage::writeHead(std::string_view word, std::string_view channelId, std::string_view nodeId) {
    writeCommand(word);
    writeText(Field::ChannelId, channelId);
    writeFlag();
    writeText(Field::AdapterAddress, nodeId);
}

DirectoryMessage DirectoryMessage::linkKerfCam(std::string_view nodeId, std::string_view localAddress,
                                               std::string_view channelName, std::string_view channelDescription,
                                               std::string_view keywords) {
    DirectoryMessage msg;
    msg.writeCommand(cmd::LinkKerfCam);
    msg.writeFlag();
    msg.writeText(Field::AdapterAddress, nodeId);
    msg.writeText(Field::PrivateAddress, localAddress);
    msg.writeText(Field::ChannelName, trimBlanks(channelName));
    msg.writeText(Field::ChannelDescription, trimBlanks(channelDescription));
    msg.writeText(Field::Keywords, trimBlanks(keywords));
    return msg;
}

DirectoryMessage DirectoryMessage::closeKerf(std::string_view channelId, std::string_view nodeId) {
    DirectoryMessage msg;
    msg.writeHead(cmd::CloseKerf, channelId, nodeId);
    return msg;
}

DirectoryMessage DirectoryMessage::getVersion() {
    DirectoryMessage msg;
    msg.writeCommand(cmd::GetVersion);
    return msg;
}

DirectoryMessage DirectoryMessage::channelRateZero(std::string_view channelId, std::string_view nodeId) {
    DirectoryMessage msg;
    msg.writeHead(cmd::ChannelRateZero, channelId, nodeId);
    return msg;
}

DirectoryMessage DirectoryMessage::changeChannelText(std::string_view channelId, std::string_view nodeId,
                                                     std::string_view channelName,
                                                     std::string_view channelDescription) {
    DirectoryMessage msg;
    msg.writeHead(cmd::ChangeChannelText, channelId, nodeId);
    msg.writeText(Field::ChannelName, trimBlanks(channelName));
    msg.writeText(Field::ChannelDescription, trimBlanks(channelDescription));
    return msg;
}

void DirectoryMessage::answerLinkKerfPort(std::string_view channelId, std::string_view nodeId) {
    writeHead(cmd::LinkKerfPort, channelId, nodeId);
}

void DirectoryMessage::answerChannelOnline(std::string_view channelId, std::string_view nodeId,
                                           std::string_view currentViewers) {
    writeHead(cmd::ChannelOnline, channelId, nodeId);
    writeText(Field::ViewerCount, currentViewers);
}

void DirectoryMessage::answerUCanSee() { writeCommand(cmd::UCanSee); }

void DirectoryMessage::answerCamChannelRate(std::string_view channelId, std::string_view nodeId) {
    writeHead(cmd::CamChannelRate, channelId, nodeId);
}

}  // namespace morlanex
