// The DASH manifest of a live WebM stream in the sink's window (no sockets): its shape for a
// stream of video and sound, which segments it lists and their times, nothing before there is
// a complete segment, the wall-clock anchor, and tracks of other kinds and codecs.
#include "media/netsink/dash_manifest.h"
#include "webm_test_stream.h"

#include <gtest/gtest.h>

namespace morlanex {
namespace {

using namespace std::chrono_literals;
namespace w = webmtest;

// The value of attribute `name` at its first place in `text`, or "" when it is not there.
std::string attribute(const std::string &text, const std::string &name) {
    const size_t at = text.find(" " + name + "=\"");
    if (at == std::string::npos) return "";
    const size_t from = at + name.size() + 3;
    return text.substr(from, text.find('"', from) - from);
}

class DashTest : public ::testing::Test {
protected:
    void SetUp() override { buffer.setHeader(StreamHeader::opaque(w::liveHeader())); }
    // A cluster at media time `ms`, arriving when a live stream's would (`lateMs` after).
    void pushCluster(uint64_t ms, int lateMs = 0) {
        buffer.pushChunk(w::liveCluster(ms), true, t0 + std::chrono::milliseconds(ms + lateMs));
    }
    // The wall-clock time of the steady time `t`, as the manifest reckons it.
    static std::chrono::system_clock::time_point wall(StreamBuffer::Clock::time_point t) {
        return std::chrono::system_clock::now() -
            std::chrono::duration_cast<std::chrono::system_clock::duration>(StreamBuffer::Clock::now() - t);
    }

    StreamBuffer buffer{8 << 20, 16 << 20};
    DashTimeline timeline;
    const StreamBuffer::Clock::time_point t0 = StreamBuffer::Clock::now() - 60s;  // media time 0 was live then
};

TEST_F(DashTest, ALiveStreamOfVideoAndSoundIsOneAdaptationSetPerTrackOnOneTimeline) {
    for (uint64_t ms : {0, 2000, 4000, 6000}) pushCluster(ms);
    const std::optional<DashManifest> m = timeline.describe(buffer, "1a2b");
    ASSERT_TRUE(m);
    const std::string text = m->text();
    EXPECT_EQ(attribute(text, "type"), "dynamic");
    EXPECT_EQ(attribute(text, "profiles"), "urn:mpeg:dash:profile:isoff-live:2011");
    EXPECT_EQ(attribute(text, "minimumUpdatePeriod"), "PT2.000S");
    EXPECT_EQ(attribute(text, "timeShiftBufferDepth"), "PT4.000S");
    EXPECT_EQ(attribute(text, "suggestedPresentationDelay"), "PT4.000S");
    EXPECT_EQ(attribute(text, "minBufferTime"), "PT2.000S");
    EXPECT_EQ(attribute(text, "value"), attribute(text, "publishTime")) << "the sink's clock for players";
    // Each track's bit rate over the two listed segments (4 s): its cut of each cluster.
    const size_t video = 2 * (w::clusterStart(2000).size() + w::simpleBlock(1, 1000).size());
    const size_t audio = 2 * (w::clusterStart(2000).size() + 2 * w::simpleBlock(2, 100).size());
    const std::string segments = "          <SegmentTimeline>\n"
                                 "            <S t=\"2000\" d=\"2000\"/>\n"
                                 "            <S t=\"4000\" d=\"2000\"/>\n"
                                 "          </SegmentTimeline>\n";
    const auto set = [&](const std::string &kind, const std::string &track, const std::string &attributes) {
        return "    <AdaptationSet contentType=\"" + kind + "\" mimeType=\"" + kind +
            "/webm\" segmentAlignment=\"true\" startWithSAP=\"1\">\n"
            "      <Representation id=\"" +
            track + "\" " + attributes +
            ">\n"
            "        <SegmentTemplate timescale=\"1000\" initialization=\"1a2b/t" +
            track + "/header\" media=\"1a2b/t" + track + "/$Time$\" startNumber=\"0\">\n" + segments +
            "        </SegmentTemplate>\n"
            "      </Representation>\n"
            "    </AdaptationSet>\n";
    };
    const std::string period = "  <Period id=\"0\" start=\"PT0S\">\n" +
        set("video", "1",
            "codecs=\"vp8\" width=\"320\" height=\"240\" frameRate=\"15\" bandwidth=\"" +
                std::to_string(video * 8000 / 4000) + "\"") +
        set("audio", "2",
            "codecs=\"vorbis\" audioSamplingRate=\"44100\" bandwidth=\"" + std::to_string(audio * 8000 / 4000) + "\"") +
        "  </Period>\n";
    EXPECT_NE(text.find(period), std::string::npos) << text;
    EXPECT_TRUE(text.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<MPD "));
    EXPECT_TRUE(text.ends_with("</Period>\n  <UTCTiming schemeIdUri=\"urn:mpeg:dash:utc:direct:2014\" value=\"" +
                               attribute(text, "publishTime") + "\"/>\n</MPD>\n"));
}

TEST_F(DashTest, ListsTheCompleteSegmentsByTheirClustersTimesLeavingTheOldestOut) {
    struct Case {
        const char *what;
        std::vector<uint64_t> clusters;  // time codes, one cluster a segment ("x": a start without a time)
        uint64_t scaleNs;
        std::vector<DashSegment> listed;
    };
    constexpr uint64_t x = UINT64_MAX;
    const Case cases[] = {
        {"one complete: listed", {0, 2000}, 1000000, {{0, 0, 2000}}},
        {"two: both listed", {0, 2000, 4000}, 1000000, {{0, 0, 2000}, {1, 2000, 2000}}},
        {"three: the oldest left out", {0, 2000, 4000, 6000}, 1000000, {{1, 2000, 2000}, {2, 4000, 2000}}},
        {"uneven", {0, 1500, 4000, 4100, 6000}, 1000000, {{1, 1500, 2500}, {2, 4000, 100}, {3, 4100, 1900}}},
        {"half-ms time codes", {0, 4000, 8000}, 500000, {{0, 0, 2000}, {1, 2000, 2000}}},
        {"the encoder's clock restarted", {0, 2000, 4000, 500, 2500}, 1000000, {{3, 500, 2000}}},
        {"a start that is no cluster", {0, 2000, x, 6000, 8000}, 1000000, {{3, 6000, 2000}}},
    };
    for (const Case &c : cases) {
        StreamBuffer b(8 << 20, 16 << 20);
        b.setHeader(StreamHeader::opaque(w::liveHeader(c.scaleNs)));
        for (uint64_t time : c.clusters) b.pushChunk(time == x ? w::simpleBlock(1, 10) : w::liveCluster(time), true);
        const std::optional<DashManifest> m = DashTimeline().describe(b, "s");
        ASSERT_TRUE(m) << c.what;
        ASSERT_EQ(m->segments.size(), c.listed.size()) << c.what;
        for (size_t i = 0; i < c.listed.size(); ++i) {
            EXPECT_EQ(m->segments[i].number, c.listed[i].number) << c.what;
            EXPECT_EQ(m->segments[i].startMs, c.listed[i].startMs) << c.what;
            EXPECT_EQ(m->segments[i].durationMs, c.listed[i].durationMs) << c.what;
            // A player's request by start time finds the same segment.
            const std::optional<SegmentAt> at = segmentStartingAt(b, c.listed[i].startMs);
            ASSERT_TRUE(at) << c.what;
            EXPECT_EQ(at->number, c.listed[i].number) << c.what;
            EXPECT_TRUE(at->complete) << c.what;
        }
    }
}

TEST_F(DashTest, TheSegmentBeingMadeIsFoundByItsStartAndNoOtherTime) {
    pushCluster(0);
    // A segment of several chunks: the cluster's start, then its blocks.
    buffer.pushChunk(w::clusterStart(2000), true);
    buffer.pushChunk(w::simpleBlock(1, 1000), false);
    buffer.pushChunk(w::simpleBlock(2, 100), false);
    pushCluster(4000);
    const std::optional<DashManifest> m = timeline.describe(buffer, "s");
    ASSERT_TRUE(m);
    ASSERT_EQ(m->segments.size(), 2u);
    EXPECT_EQ(m->segments[1].startMs, 2000u);
    EXPECT_EQ(m->segments[1].durationMs, 2000u);
    const std::optional<SegmentAt> next = segmentStartingAt(buffer, 4000);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->number, 2u);
    EXPECT_FALSE(next->complete);
    for (uint64_t ms : {1000, 3999, 6000}) EXPECT_FALSE(segmentStartingAt(buffer, ms)) << ms;
}

TEST_F(DashTest, NoManifestBeforeAWebmHeaderAndACompleteSegment) {
    StreamBuffer empty(1 << 20, 1 << 20);
    EXPECT_FALSE(timeline.describe(empty, "s")) << "no header";
    EXPECT_FALSE(timeline.describe(buffer, "s")) << "no cluster";
    pushCluster(0);
    EXPECT_FALSE(timeline.describe(buffer, "s")) << "no complete segment";
    EXPECT_FALSE(segmentStartingAt(buffer, 0)) << "no complete segment";

    StreamBuffer notWebm(1 << 20, 1 << 20);
    notWebm.setHeader(StreamHeader::opaque(std::vector<uint8_t>(64, 0x30)));
    for (uint64_t ms : {0, 2000, 4000}) notWebm.pushChunk(w::liveCluster(ms), true);
    EXPECT_FALSE(timeline.describe(notWebm, "s")) << "a header that is not WebM";
    EXPECT_FALSE(segmentStartingAt(notWebm, 0));

    // A new header: the segments before it are another stream's.
    for (uint64_t ms : {2000, 4000}) pushCluster(ms);
    ASSERT_TRUE(timeline.describe(buffer, "s"));
    buffer.setHeader(StreamHeader::opaque(w::liveHeader(500000)));
    pushCluster(0);
    EXPECT_FALSE(timeline.describe(buffer, "s")) << "no complete segment of the new header";
}

TEST_F(DashTest, AvailabilityStartIsWhenMediaTimeZeroWasLiveAndStaysThroughJitter) {
    for (uint64_t ms : {0, 2000, 4000}) pushCluster(ms);
    const std::optional<DashManifest> first = timeline.describe(buffer, "s");
    ASSERT_TRUE(first);
    const auto expected = wall(t0);
    EXPECT_LT(std::chrono::abs(first->availabilityStart - expected), 50ms);
    EXPECT_LT(std::chrono::abs(first->published - std::chrono::system_clock::now()), 50ms);

    // A cluster 600 ms late: the same anchor, as DASH wants it constant.
    pushCluster(6000, 600);
    const std::optional<DashManifest> jittered = timeline.describe(buffer, "s");
    ASSERT_TRUE(jittered);
    EXPECT_EQ(jittered->availabilityStart, first->availabilityStart);

    // Five seconds late (the encoder's clock stood still): anchored anew.
    pushCluster(8000, 5000);
    const std::optional<DashManifest> jumped = timeline.describe(buffer, "s");
    ASSERT_TRUE(jumped);
    EXPECT_LT(std::chrono::abs(jumped->availabilityStart - (expected + 5s)), 50ms);
}

TEST_F(DashTest, TracksOfOtherKindsOrUnknownCodecsAreLeftOutAndRatesWrittenAsPlayersReadThem) {
    struct Case {
        w::Bytes track;  // as track 3, beside the live stream's two
        std::string representation;  // its attributes before the bandwidth; "" when left out
    };
    const Case cases[] = {
        {w::videoTrack(3, "V_VP9", 0, 0, 40000000), "codecs=\"vp9\" frameRate=\"25\""},
        {w::videoTrack(3, "V_VP9", 640, 360, 33366666),
         "codecs=\"vp9\" width=\"640\" height=\"360\" frameRate=\"500000000/16683333\""},
        {w::videoTrack(3, "V_VP8", 320, 240, 0), "codecs=\"vp8\" width=\"320\" height=\"240\""},
        {w::audioTrack(3, "A_OPUS", 48000), "codecs=\"opus\" audioSamplingRate=\"48000\""},
        {w::audioTrack(3, "A_OPUS", 0), "codecs=\"opus\""},
        {w::videoTrack(3, "V_MPEG4/ISO/AVC", 320, 240, 40000000), ""},
        {w::element(w::kTrackEntry,
                    w::join({w::uintElement(w::kTrackNumber, 3), w::uintElement(w::kTrackType, 17),
                             w::textElement(w::kCodecId, "A_OPUS")})),
         ""},
    };
    for (const Case &c : cases) {
        StreamBuffer b(8 << 20, 16 << 20);
        b.setHeader(StreamHeader::opaque(w::header(w::join({w::liveTracks(), c.track}))));
        for (uint64_t ms : {0, 2000}) b.pushChunk(w::liveCluster(ms), true);
        const std::optional<DashManifest> m = DashTimeline().describe(b, "s");
        ASSERT_TRUE(m);
        const std::string text = m->text();
        const size_t at = text.find("<Representation id=\"3\" ");
        if (c.representation.empty()) {
            EXPECT_EQ(at, std::string::npos) << text;
        } else {
            ASSERT_NE(at, std::string::npos) << c.representation;
            EXPECT_EQ(text.substr(at, text.find(" bandwidth=", at) - at),
                      "<Representation id=\"3\" " + c.representation);
        }
        EXPECT_NE(text.find("<Representation id=\"1\" "), std::string::npos) << "the others stay";
        EXPECT_NE(text.find("<Representation id=\"2\" "), std::string::npos) << "the others stay";
    }
}

}  // namespace
}  // namespace morlanex
