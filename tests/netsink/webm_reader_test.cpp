// The WebM reader on live streams written element by element (webm_test_stream.h): what a
// DASH manifest needs from the header, one track cut out of the header and the clusters, and
// bytes that do not read. Arbitrary bytes are the fuzzer's (tests/fuzz/fuzz_webm_reader.cpp).
#include "media/netsink/webm_reader.h"
#include "webm_test_stream.h"

#include <gtest/gtest.h>

#include <cmath>

namespace morlanex {
namespace {

namespace w = webmtest;

TEST(WebmReader, ReadsWhatTheManifestNeedsFromALiveHeader) {
    const std::optional<WebmHeaderInfo> info = readWebmHeader(w::liveHeader(500000));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->timecodeScaleNs, 500000u);
    ASSERT_EQ(info->tracks.size(), 2u);
    const WebmTrack &video = info->tracks[0], &audio = info->tracks[1];
    EXPECT_TRUE(video.video());
    EXPECT_EQ(video.number, 1u);
    EXPECT_EQ(video.codec, "vp8");
    EXPECT_EQ(video.width, 320u);
    EXPECT_EQ(video.height, 240u);
    EXPECT_EQ(video.frameDurationNs, 66666666u);
    EXPECT_TRUE(audio.audio());
    EXPECT_EQ(audio.number, 2u);
    EXPECT_EQ(audio.codec, "vorbis");
    EXPECT_EQ(audio.sampleRateHz, 44100u);

    // A file's Segment has a size, which runs on past its header into the clusters.
    const w::Bytes file =
        w::join({w::element(w::kEbml, {}),
                 w::element(w::kSegment, w::join({w::element(w::kTracks, w::liveTracks()), w::liveCluster(0)}))});
    const std::optional<WebmHeaderInfo> ofFile =
        readWebmHeader(std::span(file).first(file.size() - w::liveCluster(0).size()));
    ASSERT_TRUE(ofFile);
    EXPECT_EQ(ofFile->tracks.size(), 2u);
}

// Found by the fuzzer: a rate out of range was converted as it was (undefined behaviour).
TEST(WebmReader, ASoundRateNoSoundHasCountsAsNotWritten) {
    for (double hz : {1e301, -1.0, std::nan(""), 4294967296.0}) {
        const std::optional<WebmHeaderInfo> info = readWebmHeader(w::header(w::audioTrack(1, "A_OPUS", hz)));
        ASSERT_TRUE(info) << hz;
        EXPECT_EQ(info->tracks[0].sampleRateHz, 0u) << hz;
    }
    EXPECT_EQ(readWebmHeader(w::header(w::audioTrack(1, "A_OPUS", 47999.6)))->tracks[0].sampleRateHz, 48000u);
}

TEST(WebmReader, CutsOneTrackOutOfTheHeaderAndTheClusters) {
    const w::Bytes header = w::liveHeader();
    for (uint64_t number : {1u, 2u}) {
        const std::optional<WebmHeaderInfo> cut = readWebmHeader(webmTrackHeader(header, number));
        ASSERT_TRUE(cut) << number;
        ASSERT_EQ(cut->tracks.size(), 1u);
        EXPECT_EQ(cut->tracks[0].number, number);
    }
    EXPECT_TRUE(webmTrackHeader(header, 3).empty()) << "no such track";

    // Blocks alone and in a group; each cluster keeps its time.
    const w::Bytes group = w::element(w::kBlockGroup, w::element(w::kBlock, w::blockData(2, 10)));
    const w::Bytes clusters = w::join({w::liveCluster(0), w::clusterStart(2000), w::simpleBlock(1, 50), group});
    w::Bytes video, audio;
    ASSERT_TRUE(appendWebmTrackClusters(clusters, 1, &video));
    ASSERT_TRUE(appendWebmTrackClusters(clusters, 2, &audio));
    EXPECT_EQ(video,
              w::join({w::clusterStart(0), w::simpleBlock(1, 1000), w::clusterStart(2000), w::simpleBlock(1, 50)}));
    EXPECT_EQ(audio,
              w::join({w::clusterStart(0), w::simpleBlock(2, 100), w::simpleBlock(2, 100, 20), w::clusterStart(2000),
                       group}));
}

TEST(WebmReader, ClusterTimesInMsOfTheHeadersScale) {
    const auto prefix = [](const w::Bytes &b, size_t n) { return w::Bytes(b.begin(), b.begin() + std::ptrdiff_t(n)); };
    struct Case {
        w::Bytes chunk;
        uint64_t scaleNs;
        std::optional<uint64_t> ms;
    };
    const Case cases[] = {
        {w::liveCluster(2000), 1000000, 2000},
        {w::liveCluster(2000), 500000, 1000},
        {w::clusterStart(uint64_t(1) << 40), 1000000000, (uint64_t(1) << 40) * 1000},  // no overflow on the way
        {prefix(w::join({w::clusterStart(7), w::simpleBlock(1, 9000)}), 100), 1000000, 7},  // the rest to come
        {w::simpleBlock(1, 10), 1000000, std::nullopt},  // not the start of a cluster
        {w::join({w::openElement(w::kCluster), w::simpleBlock(1, 10)}), 1000000, std::nullopt},  // no time code
    };
    for (const Case &c : cases) EXPECT_EQ(clusterTimeMs(c.chunk, c.scaleNs), c.ms) << c.chunk.size() << " bytes";
}

TEST(WebmReader, AHeaderCutOffOrMalformedReadsAsNothing) {
    const w::Bytes header = w::liveHeader();
    // Wherever the bytes end, never a header with fewer tracks or fields than were written.
    for (size_t length = 0; length < header.size(); ++length)
        EXPECT_FALSE(readWebmHeader(std::span(header).first(length))) << "cut at " << length;
    const w::Bytes noTracks = w::join({w::element(w::kEbml, {}), w::openElement(w::kSegment),
                                       w::element(w::kInfo, w::uintElement(w::kTimecodeScale, 1000000))});
    const w::Bytes zeroScale = w::liveHeader(0);
    w::Bytes junkAfter = header;
    junkAfter.push_back(0x00);  // no element's number starts with a zero byte
    for (const w::Bytes &bad : {noTracks, zeroScale, junkAfter, w::Bytes(40, 0xFF)})
        EXPECT_FALSE(readWebmHeader(bad)) << bad.size() << " bytes";
}

}  // namespace
}  // namespace morlanex
