// The fan-out policy's choice of video rendition, on a three-rendition stream from our ASF
// writer and a simulated link per viewer: its socket buffer fills with what the sink writes
// and drains at the link's rate, as the kernel's does.
#include "media/asf/asf_writer.h"
#include "media/asf/asf_packet.h"
#include "media/asf/asf_header.h"
#include "media/netsink/fan_out_policy.h"
#include "media/netsink/network_sink.h"
#include "netsink_test_support.h"
#include "tests/support/poll_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>

namespace morlanex {
namespace {

using namespace std::chrono_literals;
using Clock = StreamBuffer::Clock;

struct RecordedPacket {
    std::vector<uint8_t> bytes;
    uint32_t sendTimeMs;
    uint8_t rendition;
};

struct ThreeRenditions {
    std::vector<uint8_t> header;
    std::vector<RecordedPacket> packets;
};

// `seconds` of audio (32 kbps) and video at 68, 224 and 704 kbps (10, 15, 30 fps), key frames
// every 3 s at the same times, written as one video stream in three renditions.
const ThreeRenditions &threeRenditions() {
    static const ThreeRenditions made = [] {
        AsfStreamFormat audio;
        audio.kind = AsfStreamFormat::Kind::Audio;
        audio.bitrate = 32000;
        audio.channels = 2;
        audio.sampleRate = 22050;
        audio.blockAlign = 742;
        audio.codecData = {0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
        AsfStreamFormat video;
        video.bitrate = 704000;
        video.width = 320;
        video.height = 240;
        video.framesPerSecond = 30;
        video.codecData = {0x00, 0xC3, 0xB4, 0x80};
        AsfWriterConfig config;
        config.packetSize = 4800;
        config.streams = {audio, video};
        ThreeRenditions out;
        AsfWriter writer(config, [&out](const AsfDataPacket &p) {
            out.packets.push_back({{p.bytes.begin(), p.bytes.end()}, p.sendTimeMs, p.rendition});
        });
        out.header = writer.header();
        const uint32_t fps[] = {10, 15, 30}, kbps[] = {68, 224, 704};
        uint32_t frames[] = {0, 0, 0};
        for (uint32_t ms = 0; ms < 90000; ++ms) {
            if (ms % 185 == 0) writer.addFrame(1, std::vector<uint8_t>(742, 0xA0), ms, true);
            for (uint8_t r = 0; r < 3; ++r) {
                if (frames[r] * 1000 / fps[r] != ms) continue;
                const bool key = frames[r]++ % (fps[r] * 3) == 0;
                const size_t bytes = kbps[r] * 1000 / 8 / fps[r] * (key ? 3 : 1) * 9 / 10;
                writer.addFrame(2, std::vector<uint8_t>(bytes, uint8_t(0x10 * (r + 1))), ms, key, uint8_t(r + 1));
            }
        }
        writer.flush();
        return out;
    }();
    return made;
}

// One viewer on a link of `linkBps`: the sink writes into its socket buffer while there is
// room, the link drains it.
struct SimulatedViewer {
    ViewerPosition position;
    uint64_t linkBps;
    size_t socketBytes = 192 * 1024;
    double queued = 0;
    struct Got {
        uint64_t seq;
        uint8_t rendition;
        bool key;
        uint32_t sendTimeMs;
    };
    std::vector<Got> got;  // the packets written, in order
};

class RenditionSimulation : public ::testing::Test {
protected:
    // A 150 kbit/s viewer settled on the lowest rendition, taken out of the simulation so that
    // a test can steer it by hand.
    ViewerPosition settledOnTheLowest() {
        SimulatedViewer &v = join(150'000);
        runUntil(10s);
        EXPECT_EQ(v.position.rendition, 1);  // no lower one to move to
        ViewerPosition p = v.position;
        viewers.clear();
        return p;
    }

    RenditionSimulation() {
        const auto &s = threeRenditions();
        buffer.setHeader(StreamHeader::fromMuxer(s.header, nullptr));
    }

    // Advances to `until` in steps of one fan-out interval.
    void runUntil(std::chrono::milliseconds until) {
        const auto &s = threeRenditions();
        for (; elapsed <= until; elapsed += 400ms) {
            const Clock::time_point now = t0 + elapsed;
            while (pushed < s.packets.size() && s.packets[pushed].sendTimeMs <= elapsed.count()) {
                std::vector<uint8_t> p = s.packets[pushed].bytes;
                ASSERT_EQ(buffer.push(std::move(p), t0 + std::chrono::milliseconds(s.packets[pushed].sendTimeMs),
                                      s.packets[pushed].rendition),
                          StreamBuffer::PushResult::Accepted);
                ++pushed;
            }
            for (SimulatedViewer &v : viewers) step(v, now);
        }
    }

    void step(SimulatedViewer &v, Clock::time_point now) {
        v.queued = std::max(0.0, v.queued - double(v.linkBps) / 8 * 0.4);
        policy.adapt(v.position, now, size_t(v.queued));
        const FanOutPolicy::Next next = policy.next(v.position);
        if (next.step != FanOutPolicy::Step::Write) return;
        ViewerPosition &p = v.position;
        // A socket takes bytes, not packets: a packet may be left half written, as the sink's
        // own writes leave it, and it must then stay the viewer's whatever a move decides.
        if (p.offset > 0) {
            ASSERT_TRUE(viewerTakes(p, buffer, p.seq)) << "a packet begun was given up";
        }
        while (p.seq < next.endSeq) {
            if (p.offset == 0 && !viewerTakes(p, buffer, p.seq)) {
                ++p.seq;
                continue;
            }
            const size_t size = (*buffer.packet(p.seq))->size();
            // What the policy lets wait unsent, beside the viewer's receive window (16 KiB).
            const size_t unsent = policy.unsentLimit(p);
            const double room =
                unsent ? std::min(double(v.socketBytes), double(unsent + 16 * 1024)) : double(v.socketBytes);
            if (v.queued >= room) break;
            const size_t bytes = std::min(size - p.offset, size_t(room - v.queued) + 1);
            v.queued += double(bytes);
            p.offset += bytes;
            p.control.writtenBytes += uint32_t(bytes);
            if (p.offset < size) break;
            const auto info = parseAsfPacket(**buffer.packet(p.seq), buffer.header()->info.videoStreams);
            ASSERT_TRUE(info.has_value());
            v.got.push_back({p.seq, buffer.rendition(p.seq), info->startsVideoKeyFrame, info->sendTime_ms});
            p.offset = 0;
            ++p.seq;
        }
        ASSERT_FALSE(policy.tooFarBehind(p, now)) << "a viewer was left behind";
    }

    SimulatedViewer &join(uint64_t linkBps) {
        viewers.push_back({policy.join(t0 + elapsed), linkBps, 192 * 1024, 0, {}});
        return viewers.back();
    }

    // Checks the packets a viewer got make one valid stream: the shared ones and one
    // rendition's at a time, each rendition begun at one of its key frames, and a move up
    // never showing a group of pictures twice. Returns the renditions in the order it had them.
    std::vector<uint8_t> checkStream(const SimulatedViewer &v) {
        std::vector<uint8_t> order;
        uint32_t lastKeyTime = 0;
        bool anyKey = false;
        for (const SimulatedViewer::Got &g : v.got) {
            if (g.rendition == 0) continue;
            if (order.empty() || order.back() != g.rendition) {
                EXPECT_TRUE(g.key) << "rendition " << int(g.rendition) << " begins at packet " << g.seq
                                   << ", not at a key frame";
                order.push_back(g.rendition);
            }
            if (g.key) {
                EXPECT_TRUE(!anyKey || g.sendTimeMs > lastKeyTime + 1000)
                    << "key frame at " << g.sendTimeMs << " ms after one at " << lastKeyTime << " ms";
                lastKeyTime = g.sendTimeMs;
                anyKey = true;
            }
        }
        return order;
    }

    StreamBuffer buffer{2 << 20, 8 << 20};
    FanOutPolicy policy{buffer, 8000ms};
    Clock::time_point t0 = Clock::now();
    std::chrono::milliseconds elapsed{0};
    size_t pushed = 0;
    std::deque<SimulatedViewer> viewers;
};

TEST_F(RenditionSimulation, EachLinkSettlesOnTheRenditionItCarriesAndStaysThere) {
    runUntil(5s);
    SimulatedViewer &slow = join(150'000);
    SimulatedViewer &medium = join(400'000);
    SimulatedViewer &fast = join(100'000'000);
    EXPECT_EQ(slow.position.rendition, 3) << "a new viewer starts on the top rendition";
    runUntil(50s);
    EXPECT_EQ(slow.position.rendition, 1);
    EXPECT_EQ(medium.position.rendition, 2);
    EXPECT_EQ(fast.position.rendition, 3);
    EXPECT_EQ(checkStream(slow), (std::vector<uint8_t>{3, 1})) << "straight to what its measured link carries";
    EXPECT_EQ(checkStream(medium), (std::vector<uint8_t>{3, 2})) << "no move up the link cannot carry";
    EXPECT_EQ(checkStream(fast), (std::vector<uint8_t>{3}));
    // Every audio packet reached each of them from their last move on, whatever their rendition
    // (a move down steps over what waited, the sound too).
    for (const SimulatedViewer *v : {&slow, &medium, &fast}) {
        const auto from = std::find_if(v->got.begin(), v->got.end(), [v](const SimulatedViewer::Got &g) {
            return g.rendition == v->position.rendition;
        });
        ASSERT_NE(from, v->got.end());
        size_t shared = 0;
        for (auto g = from; g != v->got.end(); ++g) shared += g->rendition == 0;
        size_t pushedShared = 0;
        for (uint64_t seq = from->seq; seq <= v->got.back().seq; ++seq)
            pushedShared += threeRenditions().packets[seq].rendition == 0;
        EXPECT_EQ(shared, pushedShared);
    }
}

TEST_F(RenditionSimulation, ALinkThatSlowsDownIsMovedDownWithinSecondsAndKeepsPlaying) {
    runUntil(2s);
    SimulatedViewer &v = join(100'000'000);
    runUntil(30s);
    ASSERT_EQ(v.position.rendition, 3);
    v.linkBps = 150'000;
    const size_t before = v.got.size();
    runUntil(36s);
    EXPECT_EQ(v.position.target, 1) << "moved straight to the rendition its measured link carries";
    runUntil(50s);
    EXPECT_EQ(v.position.rendition, 1);
    EXPECT_EQ(checkStream(v), (std::vector<uint8_t>{3, 1}));
    // Still fed, and caught up 20 s after the drop: the old rendition's backlog was stepped
    // over, not drained.
    ASSERT_GT(v.got.size(), before);
    const auto inSocket = std::chrono::milliseconds(int64_t(v.queued * 8000 / double(v.linkBps)));
    EXPECT_LT(t0 + elapsed - buffer.arrivedAt(v.got.back().seq) + inSocket, 3s);
}

TEST_F(RenditionSimulation, ALinkThatStallsAndComesBackSlowIsLiveAgainSoonAfterItsMoveDown) {
    runUntil(2s);
    SimulatedViewer &v = join(100'000'000);
    runUntil(30s);
    // Nearly nothing gets through for 6 s: the viewer falls far behind before it can be moved.
    v.linkBps = 2'000;
    runUntil(36s);
    v.linkBps = 150'000;
    runUntil(50s);
    EXPECT_EQ(v.position.rendition, 1);
    EXPECT_EQ(checkStream(v), (std::vector<uint8_t>{3, 1}));
    // It switched at the newest key frame of the lower rendition, not the first one after
    // where it had got to, and what waited for it, sound too, was stepped over.
    const auto inSocket = std::chrono::milliseconds(int64_t(v.queued * 8000 / double(v.linkBps)));
    EXPECT_LT(t0 + elapsed - buffer.arrivedAt(v.got.back().seq) + inSocket, 2s);
}

TEST_F(RenditionSimulation, AViewerWhosePlaceLeavesTheWindowWhileItsLinkTakesBytesGoesOnFromANewerKeyFrame) {
    ViewerPosition p = settledOnTheLowest();
    // Its socket then drains a little each pass, never enough for a write, while the window
    // moves on past its place: kept, since bytes leave it.
    for (size_t queued = 100'000; p.seq >= buffer.nextSeq() || buffer.packet(p.seq); queued -= 100) {
        ASSERT_LT(pushed, threeRenditions().packets.size());
        runUntil(elapsed);
        policy.adapt(p, t0 + elapsed, queued);
        ASSERT_FALSE(policy.tooFarBehind(p, t0 + elapsed));
    }
    // Writable again: it goes on from a packet still in the window, where the sink can write.
    ASSERT_EQ(policy.next(p).step, FanOutPolicy::Step::Write);
    EXPECT_NE(buffer.packet(p.seq), nullptr);
}

TEST_F(RenditionSimulation, AViewerFarBehindFinishesItsPacketThenGoesOnFromTheNewestKeyFrame) {
    ViewerPosition p = settledOnTheLowest();
    // Its link stalls mid-packet for a few seconds.
    p.offset = 1;
    runUntil(elapsed + 4s);
    const uint64_t key = buffer.joinSeq(1);
    ASSERT_GT(key, p.seq);
    const uint64_t at = p.seq;
    FanOutPolicy::Next n = policy.next(p);
    ASSERT_EQ(n.step, FanOutPolicy::Step::Write);
    EXPECT_EQ(p.seq, at);  // the packet begun is finished first, and only that one
    EXPECT_EQ(n.endSeq, at + 1);
    p.offset = 0;
    ++p.seq;
    n = policy.next(p);
    ASSERT_EQ(n.step, FanOutPolicy::Step::Write);
    EXPECT_EQ(p.seq, key);
}

TEST_F(RenditionSimulation, ARenditionsRateIsTheStreamsOwnWhetherItCameInRealTimeOrInABurst) {
    runUntil(12s);  // in real time
    StreamBuffer burst{2 << 20, 8 << 20};
    burst.setHeader(StreamHeader::fromMuxer(threeRenditions().header, nullptr));
    for (size_t i = 0; i < pushed; ++i) {
        std::vector<uint8_t> p = threeRenditions().packets[i].bytes;
        burst.push(std::move(p), t0, threeRenditions().packets[i].rendition);  // all at once
    }
    for (uint8_t r = 1; r <= 3; ++r) {
        ASSERT_GT(buffer.bitsPerSecond(r), 0u);
        EXPECT_NEAR(double(burst.bitsPerSecond(r)), double(buffer.bitsPerSecond(r)), buffer.bitsPerSecond(r) * 0.05)
            << "rendition " << int(r);
    }
}

TEST_F(RenditionSimulation, ALinkBetweenTwoRenditionsIsTriedOnTheHigherOneRarely) {
    runUntil(3s);
    // A link that carries the middle rendition with room but not the top one: it moves down,
    // and tries the top one again only once its measured rate is two minutes old.
    SimulatedViewer &v = join(500'000);
    runUntil(120s);
    EXPECT_EQ(v.position.rendition, 2);
    const auto order = checkStream(v);
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[1], 2);
    EXPECT_LE(order.size(), 4u) << "moves: " << order.size() - 1;
}

}  // namespace
}  // namespace morlanex

namespace morlanex {
namespace {

// The data packets in a framed ($H/$D) body.
std::vector<std::vector<uint8_t>> framedPackets(const std::vector<uint8_t> &body) {
    std::vector<std::vector<uint8_t>> packets;
    for (size_t at = 0; at + 4 <= body.size();) {
        const size_t length = body[at + 2] | size_t(body[at + 3]) << 8;
        if (at + 4 + length > body.size()) break;
        if (body[at] == '$' && body[at + 1] == 'D' && length > 8)
            packets.emplace_back(body.begin() + long(at + 12), body.begin() + long(at + 4 + length));
        at += 4 + length;
    }
    return packets;
}

// A sink on loopback serving the three renditions, a fan-out pass for each packet.
NetworkSinkConfig loopbackConfig() {
    NetworkSinkConfig config;
    config.bindAddress = "127.0.0.1";
    config.fanOutInterval = 0ms;
    return config;
}

void startWithThreeRenditions(NetworkSink &sink) {
    std::string error;
    ASSERT_TRUE(sink.start(&error)) << error;
    const auto &s = threeRenditions();
    ASSERT_TRUE(sink.setHeader(s.header.data(), s.header.size(), &error)) << error;
}

TEST(RenditionSink, AWindowsMediaClientThatSwitchesTheVideoOffGetsTheSoundAloneAndOthersOneRendition) {
    NetworkSink sink(loopbackConfig());
    ASSERT_NO_FATAL_FAILURE(startWithThreeRenditions(sink));
    const auto &s = threeRenditions();
    std::string error;

    test::Client both(sink.port()), sound(sink.port());
    ASSERT_TRUE(both.send(test::ffmpegPlay()));  // asks for streams 1 and 2
    std::string soundOnly = test::ffmpegPlay();
    soundOnly.replace(soundOnly.find("ffff:2:0"), 8, "ffff:2:2");
    ASSERT_TRUE(sound.send(soundOnly));
    ASSERT_EQ(test::statusOf(both.readHead()), 200);
    ASSERT_EQ(test::statusOf(sound.readHead()), 200);
    ASSERT_TRUE(testing::pollUntil([&] { return sink.stats().viewers == 2; }));

    size_t pushedShared = 0;
    for (const RecordedPacket &p : s.packets) {
        if (p.sendTimeMs >= 10000) break;
        sink.pushPacket(p.bytes.data(), p.bytes.size(), p.rendition);
        pushedShared += p.rendition == 0;
    }
    both.readBody(1 << 20, 3s);
    sound.readBody(1 << 20, 3s);
    const auto header = parseAsfHeader(s.header, &error);
    ASSERT_TRUE(header.has_value()) << error;
    const std::vector<uint8_t> video = header->videoStreams;
    size_t withVideo = 0;
    for (const auto &p : framedPackets(both.body())) withVideo += isAsfStartPoint(p, video);
    EXPECT_GT(withVideo, 0u) << "the client of both streams gets video key frames";
    const auto soundPackets = framedPackets(sound.body());
    EXPECT_GT(soundPackets.size(), pushedShared / 2);
    for (const auto &p : soundPackets) {
        const auto contents = readAsfPacket(p);
        ASSERT_TRUE(contents.has_value());
        // Shared packets hold the sound only.
        for (const AsfPayload &payload : contents->payloads)
            EXPECT_EQ(payload.stream, 1) << "a packet of the video reached the client that switched it off";
    }
    // Which rendition the other client is on depends on how fast it read; it is on exactly one.
    const auto &onRendition = sink.stats().viewersOnRendition;
    EXPECT_EQ(std::accumulate(onRendition.begin(), onRendition.end(), size_t{0}), 1u)
        << "the sound-only client is on no rendition";
    sink.stop();
}

// A link too slow for the burst a viewer joined in holds it at its unsent limit; once the link
// takes more it gets the rest, though no packet comes after to start another pass.
TEST(RenditionSink, AViewerHeldAtItsUnsentLimitGetsTheRestWithoutFurtherPackets) {
    NetworkSink sink(loopbackConfig());
    ASSERT_NO_FATAL_FAILURE(startWithThreeRenditions(sink));
    const auto &s = threeRenditions();

    test::Client viewer(sink.port(), 16 * 1024);  // reads nothing until every packet is in
    ASSERT_TRUE(viewer.send(test::plainGet()));
    ASSERT_EQ(test::statusOf(viewer.readHead()), 200);
    ASSERT_TRUE(testing::pollUntil([&] { return sink.stats().viewers == 1; }));
    std::array<const RecordedPacket *, 4> last{};  // of each rendition
    size_t pushed = 0;
    for (const RecordedPacket &p : s.packets) {
        if (p.sendTimeMs >= 10000) break;
        sink.pushPacket(p.bytes.data(), p.bytes.size(), p.rendition);
        ++pushed;
        last[p.rendition] = &p;
    }
    ASSERT_TRUE(testing::pollUntil([&] { return sink.stats().packetsIn == pushed; }));
    // Whichever rendition it is on by now, the last packet it takes ends what it gets.
    const auto endsWithTail = [&] {
        const auto &b = viewer.body();
        return std::any_of(last.begin(), last.end(), [&](const RecordedPacket *p) {
            return p && b.size() >= p->bytes.size() &&
                std::equal(p->bytes.begin(), p->bytes.end(), b.end() - long(p->bytes.size()));
        });
    };
    for (int i = 0; i < 100 && !endsWithTail(); ++i) viewer.readBody(viewer.body().size() + 1, 50ms);
    EXPECT_TRUE(endsWithTail()) << viewer.body().size() << " bytes";
    sink.stop();
}

}  // namespace
}  // namespace morlanex
