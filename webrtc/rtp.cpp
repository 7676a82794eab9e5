#include "webrtc/rtp.h"
#include "webrtc/bytes.h"

#include <algorithm>
#include <cstring>

namespace morlanex::webrtc {

using namespace bytes;

std::size_t writeRtpHeader(std::span<std::uint8_t> out, const RtpHeader &h) {
    if (out.size() < RtpHeaderSize) return 0;
    std::uint8_t *p = out.data();
    p[0] = 0x80;  // version 2, no padding, extension or CSRCs
    p[1] = std::uint8_t((h.marker ? 0x80 : 0) | (h.payloadType & 0x7F));
    write16(p + 2, h.sequence);
    write32(p + 4, h.timestamp);
    write32(p + 8, h.ssrc);
    return RtpHeaderSize;
}

std::optional<RtpHeader> readRtpHeader(std::span<const std::uint8_t> packet) {
    if (packet.size() < RtpHeaderSize || (packet[0] >> 6) != 2) return std::nullopt;
    const std::uint8_t *p = packet.data();
    RtpHeader h;
    h.marker = p[1] & 0x80;
    h.payloadType = p[1] & 0x7F;
    h.sequence = std::uint16_t(p[2] << 8 | p[3]);
    h.timestamp = read32(p + 4);
    h.ssrc = read32(p + 8);
    return h;
}

RtpPacket &RtpPackets::add() {
    if (count_ == packets_.size()) packets_.emplace_back();
    RtpPacket &packet = packets_[count_++];
    packet.size = 0;
    return packet;
}

void RtpRewrite::apply(std::span<std::uint8_t> packet) const {
    if (packet.size() < RtpHeaderSize) return;
    std::uint8_t *p = packet.data();
    p[1] = std::uint8_t((p[1] & 0x80) | (payloadType & 0x7F));
    write16(p + 2, std::uint16_t((p[2] << 8 | p[3]) + sequenceOffset));
    write32(p + 4, read32(p + 4) + timestampOffset);
    write32(p + 8, ssrc);
}

Vp8Packetizer::Vp8Packetizer(std::uint8_t payloadType, std::uint32_t ssrc, std::uint16_t firstSequence,
                             std::uint16_t firstPictureId, std::size_t maxPacketSize)
    : payloadType_(payloadType), ssrc_(ssrc), sequence_(firstSequence), pictureId_(firstPictureId & 0x7FFF),
      maxPacketSize_(std::clamp(maxPacketSize, RtpHeaderSize + DescriptorSize + 1, MaxRtpPacketSize)) {}

bool Vp8Packetizer::packetize(std::span<const std::uint8_t> frame, std::uint32_t timestamp, RtpPackets &out) {
    out.clear();
    if (frame.empty()) return false;
    // Equal shares rather than full packets and a runt: the last packet is no smaller than needed.
    const std::size_t room = maxPacketSize_ - RtpHeaderSize - DescriptorSize;
    const std::size_t count = (frame.size() + room - 1) / room;
    const std::size_t share = (frame.size() + count - 1) / count;
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t size = std::min(share, frame.size() - at);
        RtpPacket &packet = out.add();
        RtpHeader header{payloadType_, i + 1 == count, sequence_++, timestamp, ssrc_};
        writeRtpHeader(packet.bytes, header);
        std::uint8_t *d = packet.bytes.data() + RtpHeaderSize;
        d[0] = i == 0 ? 0x90 : 0x80;  // X, and S on the start of partition 0
        d[1] = 0x80;  // I: a PictureID follows
        d[2] = std::uint8_t(0x80 | pictureId_ >> 8);  // M: it is 15 bits long
        d[3] = std::uint8_t(pictureId_);
        std::memcpy(d + DescriptorSize, frame.data() + at, size);
        packet.size = std::uint16_t(RtpHeaderSize + DescriptorSize + size);
        at += size;
    }
    pictureId_ = (pictureId_ + 1) & 0x7FFF;
    return true;
}

OpusPacketizer::OpusPacketizer(std::uint8_t payloadType, std::uint32_t ssrc, std::uint16_t firstSequence)
    : payloadType_(payloadType), ssrc_(ssrc), sequence_(firstSequence) {}

bool OpusPacketizer::packetize(std::span<const std::uint8_t> frame, std::uint32_t timestamp, RtpPacket &out) {
    if (frame.empty() || frame.size() > MaxRtpPacketSize - RtpHeaderSize) return false;
    writeRtpHeader(out.bytes, RtpHeader{payloadType_, false, sequence_++, timestamp, ssrc_});
    std::memcpy(out.bytes.data() + RtpHeaderSize, frame.data(), frame.size());
    out.size = std::uint16_t(RtpHeaderSize + frame.size());
    return true;
}

RtpHistory::RtpHistory(std::size_t capacity) {
    std::size_t size = 1;
    while (size < capacity && size < 0x8000) size <<= 1;
    ring_.resize(size);
}

void RtpHistory::store(const RtpPacket &packet) {
    if (packet.size < RtpHeaderSize) return;
    RtpPacket &slot = ring_[packet.sequence() & (ring_.size() - 1)];
    std::memcpy(slot.bytes.data(), packet.bytes.data(), packet.size);
    slot.size = packet.size;
}

const RtpPacket *RtpHistory::find(std::uint16_t sequence) const {
    const RtpPacket &slot = ring_[sequence & (ring_.size() - 1)];
    return slot.size >= RtpHeaderSize && slot.sequence() == sequence ? &slot : nullptr;
}

}  // namespace morlanex::webrtc
