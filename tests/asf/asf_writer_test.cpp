// The ASF writer byte for byte: header objects, packet layout, fragmentation, padding,
// send times, key frames at packet starts; and what the network sink reads from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "media/asf/asf_header.h"
#include "media/asf/asf_packet.h"
#include "media/asf/asf_writer.h"
#include "media/asf/byte_order.h"

namespace morlanex {
namespace {

using Bytes = std::vector<uint8_t>;
using le::u16;
using le::u32;
using le::u64;
using namespace asf_guid;

AsfStreamFormat audioFormat() {
    AsfStreamFormat a;
    a.kind = AsfStreamFormat::Kind::Audio;
    a.bitrate = 32000;
    a.channels = 2;
    a.sampleRate = 22050;
    a.blockAlign = 185;
    a.codecData = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
    a.codecName = "Windows Media Audio 8";
    return a;
}

AsfStreamFormat videoFormat() {
    AsfStreamFormat v;
    v.kind = AsfStreamFormat::Kind::Video;
    v.bitrate = 224000;
    v.width = 320;
    v.height = 240;
    v.framesPerSecond = 15;
    v.codecData = {0x00, 0xC3, 0xB4, 0x80};
    v.codecName = "Windows Media Video 8";
    return v;
}

AsfWriterConfig config(uint32_t packetSize, uint32_t prerollMs = 1000) {
    AsfWriterConfig c;
    c.packetSize = packetSize;
    c.prerollMs = prerollMs;
    for (uint8_t i = 0; i < 16; ++i) c.fileId[i] = uint8_t(0xF0 + i);
    c.streams = {audioFormat(), videoFormat()};
    return c;
}

struct Collected {
    std::vector<Bytes> packets;
    std::vector<uint32_t> sendTimes;
    std::vector<uint8_t> keyFrameStreams;
    std::vector<uint8_t> renditions;
};

AsfWriter::PacketSink collectInto(Collected &c) {
    return [&c](const AsfDataPacket &p) {
        c.packets.emplace_back(p.bytes.begin(), p.bytes.end());
        c.sendTimes.push_back(p.sendTimeMs);
        c.keyFrameStreams.push_back(p.keyFrameStream);
        c.renditions.push_back(p.rendition);
    };
}

// A packet's payloads as the library reads them; they and the padding fill the packet.
std::vector<AsfPayload> payloadsOf(const Bytes &packet) {
    const std::optional<AsfPacketContents> contents = readAsfPacket(packet);
    EXPECT_TRUE(contents.has_value()) << "a malformed packet";
    if (!contents) return {};
    EXPECT_EQ(contents->payloadsEnd + contents->paddingBytes, packet.size())
        << "payloads and padding do not fill the packet";
    return contents->payloads;
}

TEST(AsfWriterPackets, SmallFramesGiveTheseExactBytes) {
    Collected got;
    AsfWriter writer(config(64), collectInto(got));
    const Bytes audio = {0xA1, 0xA2, 0xA3};
    const Bytes video = {0xB1, 0xB2};
    writer.addFrame(1, audio, 500, false);  // the first frame: time 0
    writer.addFrame(2, video, 540, true);  // a key frame ends the audio packet
    writer.flush();

    const Bytes first = {0x82, 0x00, 0x00, 0x11, 0x5D, 0x1E, 0x00,  // error correction, flags, padding 30
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // send time 0, duration 0
                         0x81,  // one payload, lengths as WORD
                         0x81, 0x00, 0x00, 0x00, 0x00, 0x00,  // stream 1 (key), object 0, offset 0
                         0x08, 0x03, 0x00, 0x00, 0x00,  // replicated: object size 3
                         0xE8, 0x03, 0x00, 0x00,  // presentation 0 + preroll 1000
                         0x03, 0x00, 0xA1, 0xA2, 0xA3};
    const Bytes second = {0x82, 0x00, 0x00, 0x11, 0x5D, 0x1F, 0x00,  // padding 31
                          0x28, 0x00, 0x00, 0x00, 0x00, 0x00,  // send time 40
                          0x81, 0x82, 0x00, 0x00, 0x00, 0x00, 0x00,  // stream 2 (key), object 0, offset 0
                          0x08, 0x02, 0x00, 0x00, 0x00, 0x10, 0x04, 0x00, 0x00,  // presentation 1040
                          0x02, 0x00, 0xB1, 0xB2};
    ASSERT_EQ(got.packets.size(), 2u);
    Bytes expected = first;
    expected.resize(64, 0);
    EXPECT_EQ(got.packets[0], expected);
    expected = second;
    expected.resize(64, 0);
    EXPECT_EQ(got.packets[1], expected);
    EXPECT_EQ(got.sendTimes, (std::vector<uint32_t>{0, 40}));
    EXPECT_EQ(got.keyFrameStreams, (std::vector<uint8_t>{0, 2}));
    EXPECT_EQ(writer.packetsOut(), 2u);
}

TEST(AsfWriterPackets, AFrameLargerThanAPacketIsSplitWithOffsets) {
    Collected got;
    AsfWriter writer(config(64), collectInto(got));
    Bytes frame(80);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i);
    writer.addFrame(2, frame, 0, true);
    writer.addFrame(2, Bytes{0xEE}, 66, false);  // a delta frame shares the last packet
    writer.flush();

    ASSERT_EQ(got.packets.size(), 3u);  // 33 + 33 + 14 bytes of the frame
    Bytes joined;
    uint32_t expectedOffset = 0;
    for (size_t i = 0; i < 3; ++i) {
        const std::vector<AsfPayload> p = payloadsOf(got.packets[i]);
        ASSERT_FALSE(p.empty());
        EXPECT_EQ(p[0].stream, 2);
        EXPECT_TRUE(p[0].keyFrame);  // every piece of a key frame says so
        EXPECT_EQ(p[0].objectNumber, 0);
        EXPECT_EQ(p[0].objectSize(), 80u);
        EXPECT_EQ(p[0].offset, expectedOffset);
        expectedOffset += uint32_t(p[0].data.size());
        joined.insert(joined.end(), p[0].data.begin(), p[0].data.end());
    }
    EXPECT_EQ(joined, frame);
    const std::vector<AsfPayload> last = payloadsOf(got.packets[2]);
    ASSERT_EQ(last.size(), 2u);
    EXPECT_FALSE(last[1].keyFrame);
    EXPECT_EQ(last[1].objectNumber, 1);
    EXPECT_EQ(last[1].presentationMs(), 1066u);
    EXPECT_EQ(u16(&got.packets[2][5]), 64u - 14 - 17 - 14 - 17 - 1);
    // Only the packet that begins the key frame is marked as such.
    EXPECT_EQ(got.keyFrameStreams, (std::vector<uint8_t>{2, 0, 0}));
}

TEST(AsfWriterPackets, EveryVideoKeyFrameBeginsAPacketAndTheSinkSeesIt) {
    Collected got;
    AsfWriter writer(config(4800), collectInto(got));
    // Three seconds of 15 fps video with a key frame every second, and audio between.
    for (int i = 0; i < 45; ++i) {
        writer.addFrame(2, Bytes(size_t(300 + 37 * (i % 7)), uint8_t(i)), uint64_t(i) * 1000 / 15, i % 15 == 0);
        writer.addFrame(1, Bytes(185, 0x55), uint64_t(i) * 1000 / 15 + 5, false);
    }
    writer.flush();

    int keyFrames = 0;
    const std::vector<uint8_t> videoStreams = {2};
    for (size_t i = 0; i < got.packets.size(); ++i) {
        const std::vector<AsfPayload> p = payloadsOf(got.packets[i]);
        for (size_t k = 0; k < p.size(); ++k) {
            if (p[k].stream == 2 && p[k].keyFrame && p[k].offset == 0) {
                ++keyFrames;
                EXPECT_EQ(k, 0u) << "a key frame starts inside packet " << i;
            }
        }
        const std::optional<AsfPacketInfo> info = parseAsfPacket(got.packets[i], videoStreams);
        ASSERT_TRUE(info.has_value()) << "packet " << i;
        EXPECT_EQ(info->startsVideoKeyFrame, got.keyFrameStreams[i] == 2) << "packet " << i;
        EXPECT_EQ(info->sendTime_ms, got.sendTimes[i]);
        if (i > 0) {
            EXPECT_GE(got.sendTimes[i], got.sendTimes[i - 1]);
        }
    }
    EXPECT_EQ(keyFrames, 3);
    EXPECT_EQ(std::count(got.keyFrameStreams.begin(), got.keyFrameStreams.end(), 2), 3);
}

TEST(AsfWriterPackets, SendTimesStartAtZeroAndNeverGoBack) {
    Collected got;
    AsfWriter writer(config(4800), collectInto(got));
    writer.addFrame(1, Bytes{1}, 7000, false);  // running time of the first frame: 0
    writer.addFrame(2, Bytes{2}, 6990, true);  // earlier than the first: 0 as well
    writer.addFrame(2, Bytes{3}, 7200, true);  // a key frame ahead of the sound waits for it
    writer.addFrame(1, Bytes{4}, 7100, false);  // so late audio goes before it
    writer.flush();
    writer.addFrame(1, Bytes{5}, 7150, false);  // a new packet may not go back to 150
    writer.flush();

    ASSERT_EQ(got.packets.size(), 4u);
    EXPECT_EQ(got.sendTimes, (std::vector<uint32_t>{0, 0, 200, 200}));
    const std::vector<AsfPayload> second = payloadsOf(got.packets[1]);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].presentationMs(), 1000u);
    EXPECT_EQ(second[1].presentationMs(), 1100u);  // its own time, not the packet's
    EXPECT_EQ(payloadsOf(got.packets[2])[0].presentationMs(), 1200u);
    EXPECT_EQ(payloadsOf(got.packets[3])[0].presentationMs(), 1150u);
}

// Players count time from the first packet a viewer gets; sound from before the key frame it
// joined at would put every picture off its frame-rate grid.
TEST(AsfWriterPackets, AViewerJoiningAtAKeyFrameGetsNoSoundFromBeforeIt) {
    // One video stream sharing the sound's packets, and two renditions with packets of their own.
    for (const std::vector<uint8_t> &renditions : {std::vector<uint8_t>{0}, std::vector<uint8_t>{1, 2}}) {
        SCOPED_TRACE(renditions.size());
        Collected got;
        AsfWriter writer(config(4800), collectInto(got));
        // 15 fps with key frames (larger than a packet) each second; the sound (46 ms frames)
        // reaches the writer 80 ms after its time, the pictures at theirs.
        uint64_t sound = 0;
        for (int i = 0; i < 60; ++i) {
            const uint64_t t = uint64_t(i) * 1000 / 15;
            for (; sound + 80 <= t; sound += 46) writer.addFrame(1, Bytes(185, 0x55), sound, false, 0);
            const bool key = i % 15 == 0;
            for (uint8_t r : renditions) writer.addFrame(2, Bytes(key ? 6000 : 300, uint8_t(i)), t, key, r);
        }
        writer.flush();

        size_t sounds = 0, pictures = 0;
        for (size_t k = 0; k < got.packets.size(); ++k) {
            for (const AsfPayload &p : payloadsOf(got.packets[k])) (p.stream == 1 ? sounds : pictures) += p.offset == 0;
            if (got.keyFrameStreams[k] == 0) continue;
            const uint32_t key = payloadsOf(got.packets[k])[0].presentationMs();
            for (size_t j = k; j < got.packets.size(); ++j) {
                if (got.renditions[j] != 0 && got.renditions[j] != got.renditions[k]) continue;
                for (const AsfPayload &p : payloadsOf(got.packets[j])) {
                    ASSERT_GE(p.presentationMs(), key) << "packet " << j << " after the key frame of packet " << k;
                }
            }
        }
        EXPECT_EQ(sounds, size_t((sound + 45) / 46));
        EXPECT_EQ(pictures, 60u * renditions.size());
        EXPECT_EQ(size_t(std::count(got.keyFrameStreams.begin(), got.keyFrameStreams.end(), 2)), 4 * renditions.size());
    }
}

TEST(AsfWriterPackets, PicturesWaitForSoundThatStoppedAtMostASecond) {
    Collected got;
    AsfWriter writer(config(4800), collectInto(got));
    writer.addFrame(1, Bytes(185, 0x55), 0, false);
    for (int i = 0; i < 17; ++i) writer.addFrame(2, Bytes(300, uint8_t(i)), uint64_t(i) * 1000 / 15, i == 1);
    // Sent without a flush: the key frame at 67 ms waited until a picture a second after it.
    EXPECT_EQ(std::count(got.keyFrameStreams.begin(), got.keyFrameStreams.end(), 2), 1);
}

TEST(AsfWriterPackets, APacketHoldsAtMostSixtyThreePayloads) {
    Collected got;
    AsfWriter writer(config(4800), collectInto(got));
    for (int i = 0; i < 70; ++i) writer.addFrame(1, Bytes{uint8_t(i)}, uint64_t(i), false);
    writer.flush();
    ASSERT_EQ(got.packets.size(), 2u);
    EXPECT_EQ(payloadsOf(got.packets[0]).size(), 63u);
    EXPECT_EQ(payloadsOf(got.packets[1]).size(), 7u);
    EXPECT_EQ(payloadsOf(got.packets[1])[0].objectNumber, 63);
}

TEST(AsfWriterPackets, RenditionsGetPacketsOfTheirOwnUnderOneStreamNumber) {
    Collected got;
    AsfWriter writer(config(4800), collectInto(got));
    // One second: audio shared by all, video in two renditions at 10 and 30 fps, key frames at 0.
    for (int i = 0; i < 30; ++i) {
        const uint64_t t = uint64_t(i) * 1000 / 30;
        if (i % 3 == 0) writer.addFrame(2, Bytes(400, uint8_t(i)), t, i == 0, 1);
        writer.addFrame(2, Bytes(900, uint8_t(i)), t, i == 0, 2);
        writer.addFrame(1, Bytes(185, 0x55), t + 1, false, 0);
    }
    writer.flush();

    std::map<uint8_t, std::vector<uint8_t>> objects;  // rendition: object numbers of stream 2 in order
    std::map<uint8_t, size_t> bytes;
    for (size_t i = 0; i < got.packets.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(got.sendTimes[i], got.sendTimes[i - 1]);
        }
        for (const AsfPayload &p : payloadsOf(got.packets[i])) {
            // Shared packets hold only the audio, a rendition's only its video.
            EXPECT_EQ(p.stream, got.renditions[i] == 0 ? 1 : 2) << "packet " << i;
            if (p.stream == 2 && p.offset == 0) objects[got.renditions[i]].push_back(p.objectNumber);
            bytes[got.renditions[i]] += p.data.size();
        }
    }
    EXPECT_EQ(bytes[0], 30u * 185);
    EXPECT_EQ(bytes[1], 10u * 400);
    EXPECT_EQ(bytes[2], 30u * 900);
    // Each rendition counts its own objects, so each reads as one unbroken stream.
    ASSERT_EQ(objects[1].size(), 10u);
    ASSERT_EQ(objects[2].size(), 30u);
    for (size_t n = 0; n < objects[2].size(); ++n) EXPECT_EQ(objects[2][n], n);
    for (size_t n = 0; n < objects[1].size(); ++n) EXPECT_EQ(objects[1][n], n);
    // The first packet of each rendition begins with its key frame.
    for (uint8_t r : {1, 2}) {
        const size_t first =
            size_t(std::find(got.renditions.begin(), got.renditions.end(), r) - got.renditions.begin());
        ASSERT_LT(first, got.packets.size());
        EXPECT_EQ(got.keyFrameStreams[first], 2) << "rendition " << int(r);
    }
}

TEST(AsfWriterPackets, NothingIsWrittenForUnknownStreamsOrEmptyFrames) {
    Collected got;
    AsfWriter writer(config(64), collectInto(got));
    writer.addFrame(0, Bytes{1}, 0, true);
    writer.addFrame(3, Bytes{1}, 0, true);
    writer.addFrame(2, Bytes{}, 0, true);
    writer.flush();
    EXPECT_TRUE(got.packets.empty());
    EXPECT_THROW(AsfWriter(config(30), collectInto(got)), std::invalid_argument);
    AsfWriterConfig none = config(64);
    none.streams.clear();
    EXPECT_THROW(AsfWriter(none, collectInto(got)), std::invalid_argument);
}

// The header's top-level objects, as the library reads them.
struct HeaderObjects {
    std::vector<AsfObjectAt> list;
    size_t headerBytes = 0;
};

HeaderObjects walk(const Bytes &h) {
    HeaderObjects out;
    std::string error;
    const std::optional<AsfHeaderInfo> info = parseAsfHeader(h, &error);
    EXPECT_TRUE(info.has_value()) << error;
    if (!info) return out;
    EXPECT_EQ(h[28], 1);
    EXPECT_EQ(h[29], 2);
    out.headerBytes = info->headerObjectBytes;
    out.list = asfHeaderObjects(h, *info);
    EXPECT_EQ(out.list.size(), u32(&h[24]));
    EXPECT_FALSE(out.list.empty());
    if (!out.list.empty()) {
        EXPECT_EQ(out.list.back().offset + out.list.back().size, out.headerBytes)
            << "the children do not fill the header object exactly";
    }
    return out;
}

TEST(AsfWriterHeader, BroadcastFilePropertiesAndTheDataObjectStart) {
    Collected got;
    const AsfWriter writer(config(4800, 3000), collectInto(got));
    const Bytes h = writer.header();
    const HeaderObjects objects = walk(h);
    ASSERT_EQ(objects.list.size(), 6u);
    EXPECT_EQ(objects.list[0].guid, kFileProperties);
    EXPECT_EQ(objects.list[1].guid, kStreamProperties);
    EXPECT_EQ(objects.list[2].guid, kStreamProperties);
    EXPECT_EQ(objects.list[3].guid, kHeaderExtension);
    EXPECT_EQ(objects.list[4].guid, kStreamBitrateProperties);
    EXPECT_EQ(objects.list[5].guid, kCodecList);

    const size_t at = objects.list[0].offset, size = objects.list[0].size;
    ASSERT_EQ(size, 104u);
    const uint8_t *f = &h[at];
    EXPECT_EQ(f[24], 0xF0);  // file id
    for (size_t field : {40u, 48u, 56u, 64u, 72u}) EXPECT_EQ(u64(f + field), 0u) << "field at " << field;
    EXPECT_EQ(u64(f + 80), 3000u);  // preroll
    EXPECT_EQ(u32(f + 88), 1u);  // broadcast, not seekable
    EXPECT_EQ(u32(f + 92), 4800u);
    EXPECT_EQ(u32(f + 96), 4800u);
    EXPECT_EQ(u32(f + 100), 256000u);  // max bit rate: the streams together

    ASSERT_EQ(h.size(), objects.headerBytes + 50);
    const uint8_t *d = &h[objects.headerBytes];
    EXPECT_TRUE(isAsfGuid(d, kDataObject));
    EXPECT_EQ(u64(d + 16), 0u);  // no size: the stream does not end
    EXPECT_EQ(std::memcmp(d + 24, f + 24, 16), 0);
    EXPECT_EQ(u64(d + 40), 0u);
    EXPECT_EQ(u16(d + 48), 0x0101);
    EXPECT_EQ(writer.header(), h);
}

TEST(AsfWriterHeader, StreamPropertiesCarryTheCodecData) {
    Collected got;
    const AsfWriter writer(config(4800), collectInto(got));
    const Bytes h = writer.header();
    const HeaderObjects objects = walk(h);

    const size_t aAt = objects.list[1].offset, aSize = objects.list[1].size;
    const uint8_t *a = &h[aAt];
    EXPECT_TRUE(isAsfGuid(a + 24, kAudioMedia));
    EXPECT_EQ(u32(a + 64), 18u + 10u);  // WAVEFORMATEX and its extra data
    EXPECT_EQ(u32(a + 68), 8u);  // audio spread data
    EXPECT_EQ(u16(a + 72), 1);  // stream number
    const uint8_t *wave = a + 78;
    EXPECT_EQ(u16(wave), 0x0161);
    EXPECT_EQ(u16(wave + 2), 2);
    EXPECT_EQ(u32(wave + 4), 22050u);
    EXPECT_EQ(u32(wave + 8), 4000u);
    EXPECT_EQ(u16(wave + 12), 185);
    EXPECT_EQ(u16(wave + 14), 16);
    EXPECT_EQ(u16(wave + 16), 10);
    EXPECT_EQ(Bytes(wave + 18, wave + 28), audioFormat().codecData);
    EXPECT_EQ(wave[28], 1);  // span
    EXPECT_EQ(u16(wave + 29), 185);  // virtual packet and chunk: one block
    EXPECT_EQ(aSize, 78u + 28 + 8);

    const size_t vAt = objects.list[2].offset, vSize = objects.list[2].size;
    const uint8_t *v = &h[vAt];
    EXPECT_TRUE(isAsfGuid(v + 24, kVideoMedia));
    EXPECT_EQ(u32(v + 64), 11u + 40 + 4);
    EXPECT_EQ(u32(v + 68), 0u);
    EXPECT_EQ(u16(v + 72), 2);
    const uint8_t *image = v + 78;
    EXPECT_EQ(u32(image), 320u);
    EXPECT_EQ(u32(image + 4), 240u);
    EXPECT_EQ(u16(image + 9), 44);
    const uint8_t *bitmap = image + 11;
    EXPECT_EQ(u32(bitmap), 44u);
    EXPECT_EQ(u32(bitmap + 4), 320u);
    EXPECT_EQ(u32(bitmap + 8), 240u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(bitmap + 16), 4), "WMV2");
    EXPECT_EQ(Bytes(bitmap + 40, bitmap + 44), videoFormat().codecData);
    EXPECT_EQ(vSize, 78u + 55);
}

TEST(AsfWriterHeader, ExtensionBitRatesAndCodecList) {
    Collected got;
    const AsfWriter writer(config(4800, 3000), collectInto(got));
    const Bytes h = writer.header();
    const HeaderObjects objects = walk(h);

    const size_t eAt = objects.list[3].offset, eSize = objects.list[3].size;
    const uint8_t *e = &h[eAt];
    EXPECT_EQ(u16(e + 40), 6);
    EXPECT_EQ(u32(e + 42), eSize - 46);
    ASSERT_EQ(eSize, 46u + 2 * 88);
    std::map<int, std::pair<uint32_t, uint64_t>> extended;  // stream: bit rate, time per frame
    for (size_t at = 46; at < eSize; at += 88) {
        const uint8_t *x = e + at;
        EXPECT_TRUE(isAsfGuid(x, kExtendedStreamProperties));
        EXPECT_EQ(u64(x + 16), 88u);
        EXPECT_EQ(u32(x + 44), 3000u);  // buffer: the preroll
        extended[u16(x + 72)] = {u32(x + 40), u64(x + 76)};
    }
    EXPECT_EQ(extended[1], (std::pair<uint32_t, uint64_t>{32000, 0}));
    EXPECT_EQ(extended[2], (std::pair<uint32_t, uint64_t>{224000, 666666}));

    const size_t bAt = objects.list[4].offset, bSize = objects.list[4].size;
    const uint8_t *b = &h[bAt];
    ASSERT_EQ(bSize, 24u + 2 + 12);
    EXPECT_EQ(u16(b + 24), 2);
    EXPECT_EQ(u16(b + 26), 1);
    EXPECT_EQ(u32(b + 28), 32000u);
    EXPECT_EQ(u16(b + 32), 2);
    EXPECT_EQ(u32(b + 34), 224000u);

    const size_t cAt = objects.list[5].offset, cSize = objects.list[5].size;
    const uint8_t *c = &h[cAt];
    EXPECT_EQ(u32(c + 40), 2u);
    const uint8_t *entry = c + 44;
    EXPECT_EQ(u16(entry), 2);  // audio
    EXPECT_EQ(u16(entry + 2), 22);  // "Windows Media Audio 8" and its zero
    EXPECT_EQ(entry[4], 'W');
    entry += 4 + 44;
    EXPECT_EQ(u16(entry), 1);  // empty description: just the zero
    entry += 4;
    EXPECT_EQ(u16(entry), 2);
    EXPECT_EQ(u16(entry + 2), 0x0161);
    entry += 4;
    EXPECT_EQ(u16(entry), 1);  // video
    entry += 4 + 44 + 4;
    EXPECT_EQ(u16(entry), 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(entry + 2), 4), "WMV2");
    EXPECT_EQ(size_t(entry + 6 - c), cSize);
}

TEST(AsfWriterHeader, TheSinkAcceptsItAsALiveHeaderWithoutChanges) {
    Collected got;
    const AsfWriter writer(config(4800), collectInto(got));
    const Bytes h = writer.header();
    std::string error;
    const std::optional<AsfHeaderInfo> info = parseAsfHeader(h, &error);
    ASSERT_TRUE(info.has_value()) << error;
    EXPECT_EQ(info->packetSize, 4800u);
    EXPECT_EQ(info->preroll_ms, 1000u);
    EXPECT_EQ(info->audioStreams, std::vector<uint8_t>{1});
    EXPECT_EQ(info->videoStreams, std::vector<uint8_t>{2});
    EXPECT_EQ(makeLiveAsfHeader(h, *info, 999999), h) << "the header still needed patching";
}

}  // namespace
}  // namespace morlanex
