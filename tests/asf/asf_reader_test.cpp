// The ASF header and data packet readers, on a stream recorded by GStreamer's asfmux and on
// hand-made packets.
#include "media/asf/asf_header.h"
#include "media/asf/asf_packet.h"
#include "media/asf/byte_order.h"
#include "tests/asf/recorded_test_stream.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <random>

namespace morlanex {
namespace {

// File Properties object offset within a header the reader accepts; 0 when there is none.
size_t filePropertiesAt(const std::vector<uint8_t> &h) {
    const auto info = parseAsfHeader(h, nullptr);
    if (!info) return 0;
    for (const AsfObjectAt &o : asfHeaderObjects(h, *info))
        if (o.guid == asf_guid::kFileProperties) return o.offset;
    return 0;
}

int ffprobeVideoKeyFrames(const std::string &path) {
    const std::string cmd = "ffprobe -v quiet -select_streams v -show_entries packet=flags -of csv " + path;
    FILE *p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    int keys = 0;
    char line[256];
    while (std::fgets(line, sizeof line, p))
        if (std::string_view(line).find('K') != std::string_view::npos) ++keys;
    ::pclose(p);
    return keys;
}

TEST(AsfHeader, ReadsTheRecordedStreamsHeader) {
    const RecordedAsf &s = test::testStream();
    std::string error;
    const auto info = parseAsfHeader(s.header, &error);
    ASSERT_TRUE(info) << error;
    EXPECT_EQ(info->packetSize, 4800u);
    EXPECT_EQ(info->totalBytes, s.header.size());
    EXPECT_EQ(info->videoStreams, std::vector<uint8_t>{1});
    EXPECT_EQ(info->audioStreams, std::vector<uint8_t>{2});
    EXPECT_GT(s.packets.size(), 20u);
}

TEST(AsfHeader, LiveHeaderClaimsBroadcastAndNoSizes) {
    std::vector<uint8_t> h = test::testStream().header;
    const size_t fp = filePropertiesAt(h);
    ASSERT_GT(fp, 0u);
    // Make it look like a finished, seekable file first.
    le::put64(&h[fp + 40], 123456);
    le::put64(&h[fp + 56], 77);
    le::put64(&h[fp + 64], 99999);
    le::put32(&h[fp + 88], 0x02);
    const auto info = parseAsfHeader(h, nullptr);
    ASSERT_TRUE(info);
    const std::vector<uint8_t> live = makeLiveAsfHeader(h, *info);
    ASSERT_EQ(live.size(), h.size());
    EXPECT_EQ(le::u64(&live[fp + 40]), 0u);
    EXPECT_EQ(le::u64(&live[fp + 56]), 0u);
    EXPECT_EQ(le::u64(&live[fp + 64]), 0u);
    EXPECT_EQ(le::u32(&live[fp + 88]), 0x01u);
    EXPECT_EQ(le::u32(&live[fp + 96]), 4800u) << "packet size kept";
    EXPECT_EQ(le::u64(&live[info->headerObjectBytes + 16]), 0u) << "live data object size";
    EXPECT_EQ(le::u64(&live[info->headerObjectBytes + 40]), 0u) << "live data packet count";
    EXPECT_TRUE(parseAsfHeader(live, nullptr));
}

TEST(AsfHeader, LiveHeaderNeverClaimsAZeroMaxBitrate) {
    std::vector<uint8_t> h = test::testStream().header;
    const size_t fp = filePropertiesAt(h);
    le::put32(&h[fp + 100], 0);  // as the muxer writes it
    const auto info = parseAsfHeader(h, nullptr);
    ASSERT_TRUE(info);
    EXPECT_EQ(le::u32(&makeLiveAsfHeader(h, *info, 736000)[fp + 100]), 736000u);
    EXPECT_EQ(le::u32(&makeLiveAsfHeader(h, *info)[fp + 100]), 0u) << "no rate known: left alone";
    le::put32(&h[fp + 100], 500000);
    EXPECT_EQ(le::u32(&makeLiveAsfHeader(h, *info, 736000)[fp + 100]), 500000u) << "the muxer's own rate wins";
}

TEST(AsfHeader, RejectsDamagedHeadersWithAReason) {
    const std::vector<uint8_t> &h = test::testStream().header;
    for (size_t n = 0; n < h.size(); ++n) {
        std::string error;
        EXPECT_FALSE(parseAsfHeader({h.data(), n}, &error)) << "prefix " << n;
        EXPECT_FALSE(error.empty());
    }
    std::vector<uint8_t> bad = h;
    bad[0] ^= 0xFF;
    EXPECT_FALSE(parseAsfHeader(bad, nullptr));
    bad = h;
    le::put32(&bad[filePropertiesAt(bad) + 92], 1000);  // min != max packet size
    std::string error;
    EXPECT_FALSE(parseAsfHeader(bad, &error));
    EXPECT_NE(error.find("packet size"), std::string::npos);
    bad = h;
    le::put64(&bad[30 + 16], 1u << 20);  // first child claims to be huge
    EXPECT_FALSE(parseAsfHeader(bad, nullptr));
    bad = h;
    bad.push_back(0);
    EXPECT_FALSE(parseAsfHeader(bad, nullptr)) << "trailing bytes";
}

TEST(AsfPacket, StartPointsMatchTheVideoKeyFrames) {
    const RecordedAsf &s = test::testStream();
    int starts = 0;
    for (const auto &p : s.packets) starts += isAsfStartPoint(p, s.info.videoStreams);
    EXPECT_EQ(starts, ffprobeVideoKeyFrames(test::testStreamPath()));
    // Without a video stream every well-formed packet is a start point.
    size_t valid = 0, startsAudioOnly = 0;
    for (const auto &p : s.packets) {
        valid += parseAsfPacket(p, {}).has_value();
        startsAudioOnly += isAsfStartPoint(p, {});
    }
    EXPECT_EQ(startsAudioOnly, valid);
    EXPECT_GE(valid, s.packets.size() - 1);
}

TEST(AsfPacket, TheRecordedStreamsPayloadsJoinIntoWholeFrames) {
    const RecordedAsf &s = test::testStream();
    struct Frame {
        uint32_t number = 0, size = 0, have = 0;
    };
    std::map<uint8_t, Frame> open;  // by stream
    size_t whole = 0;
    for (size_t i = 0; i < s.packets.size(); ++i) {
        const auto contents = readAsfPacket(s.packets[i]);
        ASSERT_TRUE(contents) << "packet " << i;
        for (const AsfPayload &p : contents->payloads) {
            ASSERT_FALSE(p.compressed());
            Frame &f = open[p.stream];
            if (p.offset == 0) {
                EXPECT_EQ(f.have, f.size) << "a frame of stream " << int(p.stream) << " left unfinished";
                f = {p.objectNumber, p.objectSize(), 0};
            }
            EXPECT_EQ(p.objectNumber, f.number) << "packet " << i;
            EXPECT_EQ(p.offset, f.have) << "packet " << i;
            f.have += uint32_t(p.data.size());
            whole += f.have == f.size;
        }
    }
    EXPECT_EQ(open.size(), 2u);
    EXPECT_GT(whole, 6u * 30);  // 6 s of 30 fps video and the sound beside it
}

// A packet as a 2-byte error-correction writer makes it: 0x82 00 00, then parsing info.
std::vector<uint8_t> handMadePacket(std::vector<std::pair<uint8_t, uint32_t>> payloads, size_t size = 256) {
    std::vector<uint8_t> p = {0x82, 0x00, 0x00};
    const bool multiple = payloads.size() > 1;
    p.push_back(uint8_t(0x10 | (multiple ? 0x01 : 0)));  // padding length WORD
    p.push_back(0x5D);  // replicated BYTE, offset DWORD, object BYTE, stream BYTE
    p.insert(p.end(), {0, 0, 0x10, 0x27, 0, 0, 0, 0});  // padding, send time 10000, duration
    if (multiple) p.push_back(uint8_t(0x80 | payloads.size()));
    for (auto [stream, offset] : payloads) {
        p.push_back(stream);
        p.push_back(1);  // media object number
        uint8_t off[4];
        le::put32(off, offset);
        p.insert(p.end(), off, off + 4);
        p.push_back(8);
        p.insert(p.end(), 8, 0);  // replicated data
        const size_t len = 10;
        if (multiple) p.insert(p.end(), {uint8_t(len), 0});
        p.insert(p.end(), multiple ? len : size - p.size() - 0, 0xAB);
    }
    const size_t padding = size - std::min(size, p.size());
    le::put16(&p[5], uint16_t(padding));
    p.resize(size, 0);
    return p;
}

TEST(AsfPacket, KeyFrameStartOfAVideoStreamOnly) {
    const uint8_t video[] = {1};
    const auto info = parseAsfPacket(handMadePacket({{0x81, 0}}), video);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->sendTime_ms, 10000u);
    EXPECT_TRUE(isAsfStartPoint(handMadePacket({{0x81, 0}}), video));
    EXPECT_FALSE(isAsfStartPoint(handMadePacket({{0x01, 0}}), video)) << "not a key frame";
    EXPECT_FALSE(isAsfStartPoint(handMadePacket({{0x81, 500}}), video)) << "middle of the key frame";
    EXPECT_FALSE(isAsfStartPoint(handMadePacket({{0x82, 0}}), video)) << "audio key bit";
    EXPECT_TRUE(isAsfStartPoint(handMadePacket({{0x82, 0}, {0x81, 0}}), video)) << "second payload";
    EXPECT_FALSE(isAsfStartPoint(handMadePacket({{0x82, 0}, {0x01, 0}, {0x81, 40}}), video));
}

TEST(AsfPacket, DamagedPacketsAreNeverStartPointsAndNeverOverread) {
    const uint8_t video[] = {1};
    const RecordedAsf &s = test::testStream();
    // Packets whose lengths are all explicit (multiple payloads or a packet length field), so
    // that any cut makes them inconsistent. A cut single implicit-length payload stays valid.
    std::vector<std::vector<uint8_t>> samples = {handMadePacket({{0x82, 0}, {0x81, 0}})};
    for (size_t i = 0; i < s.packets.size(); i += 7) samples.push_back(s.packets[i]);
    for (const auto &p : samples) {
        // Every truncation: the parse reads only the given bytes (ASan checks), never crashes.
        for (size_t n = 0; n < p.size(); n += n < 100 ? 1 : 97) {
            const std::vector<uint8_t> cut(p.begin(), p.begin() + std::ptrdiff_t(n));
            EXPECT_FALSE(parseAsfPacket(cut, video)) << "cut at " << n;
        }
    }
    samples.push_back(handMadePacket({{0x81, 0}}));
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> p = samples[size_t(round) % samples.size()];
        for (int flips = 0; flips < 3; ++flips) p[rng() % std::min<size_t>(p.size(), 80)] = uint8_t(rng());
        p.resize(rng() % (p.size() + 1));
        (void)isAsfStartPoint(p, video);
    }
    std::vector<uint8_t> zeros(4800, 0);
    EXPECT_FALSE(isAsfStartPoint(zeros, video));
}

}  // namespace
}  // namespace morlanex
