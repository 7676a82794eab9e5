// The browser rendition of a live channel: the test devices through the VP8 and Vorbis encoders
// and the WebM muxer into the network sink's second stream, read back by real ffprobe and
// ffmpeg and by a plain socket; the encoders work only while someone watches.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "net/unique_fd.h"
#include "media/browser_encoder.h"
#include "media/capture_media.h"
#include "browser/nginx_relay.h"
#include "directory_link/directory_message.h"
#include "media/netsink/network_sink.h"
#include "bench/bench_process.h"
#include "media_test_env.h"

namespace morlanex {
namespace {

using namespace std::chrono_literals;

using bench::freeLoopbackPort;

// Runs `command`; its output, and its exit status in `*status`.
std::string run(const std::string &command, int *status) {
    const testing::CommandResult r = testing::run(command);
    *status = r.status;
    return r.output;
}

// A viewer on a plain socket: sends a GET and reads the answer until `bytes` or the deadline.
class RawViewer {
public:
    RawViewer(uint16_t port, const std::string &path) {
        fd_ = morlanex::UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            const std::string request =
                "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Mozilla/5.0\r\n\r\n";
            connected_ = send(fd_.get(), request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
        }
    }
    bool connected() const { return connected_; }
    // Everything after the response head, read until `bytes` of it are in or `timeout` passes.
    std::string read(size_t bytes, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t body = all_.find("\r\n\r\n");
            if (body != std::string::npos && all_.size() - body - 4 >= bytes) break;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_.get(), POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) break;
            char buffer[16384];
            const ssize_t n = recv(fd_.get(), buffer, sizeof buffer, 0);
            if (n <= 0) break;
            all_.append(buffer, size_t(n));
        }
        return all_;
    }

private:
    morlanex::UniqueFd fd_;
    bool connected_ = false;
    std::string all_;
};

// The body of an HTTP answer (after its head), empty when there is no head.
std::string bodyOf(const std::string &answer) {
    const size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

// An EBML variable-length number at `at`: its width in bytes (0 when malformed or cut off),
// and its value without the length marker.
size_t readVint(const std::string &b, size_t at, uint64_t *value) {
    if (at >= b.size() || b[at] == 0) return 0;
    const size_t width = size_t(__builtin_clz(uint8_t(b[at])) - 23);
    if (at + width > b.size()) return 0;
    *value = uint8_t(b[at]) & (0xFF >> width);
    for (size_t i = 1; i < width; ++i) *value = *value << 8 | uint8_t(b[at + i]);
    return width;
}

// The flags of the first SimpleBlock of `track` in the cluster whose ID is at `cluster`, or -1.
int firstBlockFlags(const std::string &b, size_t cluster, uint8_t track) {
    uint64_t v = 0;
    size_t at = cluster + 4;
    const size_t w = readVint(b, at, &v);  // the cluster's size, unknown in a live stream
    if (w == 0) return -1;
    at += w;
    for (;;) {
        uint64_t id = 0, size = 0;
        const size_t idWidth = readVint(b, at, &id);
        const size_t sizeWidth = idWidth ? readVint(b, at + idWidth, &size) : 0;
        if (sizeWidth == 0) return -1;
        const size_t data = at + idWidth + sizeWidth;
        if (uint8_t(b[at]) == 0xA3 && data + 4 <= b.size() && uint8_t(b[data]) == (0x80 | track))
            return uint8_t(b[data + 3]);
        if (uint8_t(b[at]) == 0x1F)  // the next cluster
            return -1;
        at = data + size;
    }
}

class BrowserRenditionTest : public ::testing::Test {
protected:
    void SetUp() override {
        media.listCameras();
        media.listMicrophones();
        media.serving.bindAddress = "127.0.0.1";
        media.serving.port = freeLoopbackPort();
        ASSERT_TRUE(media.applyLevel(2));
        media.startPreview();
        ASSERT_EQ(media.goLive(), LiveStart::Started) << media.broadcast()->error();
        // The header is made at once; the encoders then rest until someone watches.
        ASSERT_TRUE(pump.pumpUntil([&] { return chunksIn() > 0; }, 20s));
    }
    void TearDown() override { media.close(); }

    uint64_t chunksIn() const { return media.broadcast()->sink()->stats().chunksIn; }
    std::string url(const char *path) const { return "http://127.0.0.1:" + std::to_string(media.serving.port) + path; }

    CaptureMedia media;
    testing::EventPump pump{media.pipeline};
};

TEST_F(BrowserRenditionTest, FfmpegReadsVp8AndVorbisAndFiveSecondsDecodeCleanly) {
    int status = -1;
    const std::string probe =
        run("timeout 30 ffprobe -v error -show_entries stream=codec_name,width,height,sample_rate -of csv=p=0 " +
                url(BrowserEncoder::kStreamPath),
            &status);
    ASSERT_EQ(status, 0) << probe;
    EXPECT_NE(probe.find("vp8,320,240"), std::string::npos) << probe;
    EXPECT_NE(probe.find("vorbis,48000"), std::string::npos) << probe;

    const std::string decode =
        run("timeout 60 ffmpeg -nostdin -v error -i " + url(BrowserEncoder::kStreamPath) + " -t 5 -f null -", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(decode, "");
    // Both streams at once: the Windows Media one still plays beside it.
    const std::string asf =
        run("timeout 30 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + url("/"), &status);
    EXPECT_EQ(status, 0) << asf;
    EXPECT_NE(asf.find("wmv2"), std::string::npos) << asf;
    pump.pumpFor(10ms);
    EXPECT_EQ(pump.firstError(), "");
}

// The time in ms since the epoch of the manifest's xs:dateTime attribute `name` ("...Z"), or -1.
int64_t manifestTimeMs(const std::string &mpd, const std::string &name) {
    const size_t at = mpd.find(" " + name + "=\"");
    std::tm t{};
    int ms = 0;
    if (at == std::string::npos ||
        std::sscanf(mpd.c_str() + at + name.size() + 3, "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &ms) != 7)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return int64_t(timegm(&t)) * 1000 + ms;
}

TEST_F(BrowserRenditionTest, FfmpegPlaysTheDashManifestDirectlyAndThroughANginxCacheBelowAChannelPrefix) {
    test::NginxRelay nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(freeLoopbackPort(), media.serving.port, &error)) << error;
    // Asking wakes the encoders; the manifest is there once segments are complete.
    std::string answer;
    ASSERT_TRUE(pump.pumpUntil(
        [&] {
            answer = RawViewer(media.serving.port, "/live/manifest.mpd").read(1 << 16, 2s);
            return answer.rfind("HTTP/1.0 200 OK\r\n", 0) == 0;
        },
        20s))
        << answer;
    EXPECT_NE(answer.find("Content-Type: application/dash+xml\r\n"), std::string::npos);
    EXPECT_NE(answer.find("Cache-Control: max-age=1\r\n"), std::string::npos);
    // Players that place the live edge by the clock (ffmpeg does not): the newest listed segment
    // ends, by availabilityStartTime, when it was complete, which is before the manifest was made.
    const size_t last = answer.rfind("<S t=\"");
    ASSERT_NE(last, std::string::npos);
    const int64_t end =
        std::atoll(answer.c_str() + last + 6) + std::atoll(answer.c_str() + answer.find("d=\"", last) + 3);
    const int64_t edge = manifestTimeMs(answer, "availabilityStartTime") + end;
    const int64_t published = manifestTimeMs(answer, "publishTime");
    EXPECT_LE(edge, published) << answer;
    EXPECT_GT(edge, published - 10000) << answer;
    for (const std::string &manifest :
         {url("/live/manifest.mpd"),
          "http://127.0.0.1:" + std::to_string(nginx.port()) + "/channel/7/live/manifest.mpd"}) {
        int status = -1;
        const std::string decode =
            run("timeout 60 ffmpeg -nostdin -v error -i " + manifest + " -t 10 -f null -", &status);
        EXPECT_EQ(status, 0) << manifest;
        EXPECT_EQ(decode, "") << manifest;
    }
}

TEST_F(BrowserRenditionTest, ANewViewerGetsTheHeaderThenAClusterThatStartsWithAVideoKeyFrame) {
    for (int viewer = 0; viewer < 2; ++viewer) {
        RawViewer v(media.serving.port, BrowserEncoder::kStreamPath);
        ASSERT_TRUE(v.connected());
        const std::string answer = v.read(64 * 1024, 15s);
        EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << answer.substr(0, 200);
        EXPECT_NE(answer.find("Content-Type: video/webm\r\n"), std::string::npos);
        const std::string body = bodyOf(answer);
        ASSERT_GT(body.size(), 4096u) << "viewer " << viewer;
        EXPECT_EQ(body.substr(0, 4), std::string("\x1A\x45\xDF\xA3", 4)) << "EBML header first";
        const size_t tracks = body.find("\x16\x54\xAE\x6B");
        const size_t cluster = body.find("\x1F\x43\xB6\x75");
        ASSERT_NE(tracks, std::string::npos);
        ASSERT_NE(cluster, std::string::npos);
        EXPECT_LT(tracks, cluster);
        // The cluster's first block of the video track (1: linked first) is a key frame.
        const int flags = firstBlockFlags(body, cluster, 1);
        ASSERT_GE(flags, 0) << "viewer " << viewer << ": no video block in the first cluster";
        EXPECT_TRUE(flags & 0x80) << "viewer " << viewer << " starts with a key frame";
    }
}

TEST_F(BrowserRenditionTest, TheEncodersWorkOnlyWhileSomeoneWatchesAndThePlayerPageIsServed) {
    // Nobody watches: after the header's cluster nothing more is encoded.
    pump.pumpFor(1500ms);
    const uint64_t resting = chunksIn();
    pump.pumpFor(1500ms);
    EXPECT_LE(chunksIn(), resting + 2) << "idle encoders";
    {
        RawViewer v(media.serving.port, BrowserEncoder::kStreamPath);
        ASSERT_TRUE(v.connected());
        // About 2 s of the stream: frames are encoded as they come, none held from before.
        EXPECT_GT(bodyOf(v.read(64 * 1024, 15s)).size(), 64u * 1024);
        EXPECT_GT(chunksIn(), resting + 4) << "encoding while watched";
        EXPECT_EQ(media.broadcast()->sink()->stats().mediaViewers, 1u);
    }
    // The sink notices the viewer gone at its next write; then the encoders rest again.
    ASSERT_TRUE(pump.pumpUntil([&] { return media.broadcast()->sink()->stats().mediaViewers == 0; }, 10s));
    pump.pumpFor(500ms);
    const uint64_t after = chunksIn();
    pump.pumpFor(1500ms);
    EXPECT_LE(chunksIn(), after + 2);

    RawViewer page(media.serving.port, BrowserEncoder::kPlayerPath);
    const std::string answer = page.read(1 << 20, 5s);
    EXPECT_EQ(answer.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_NE(answer.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(answer.find("<video id=\"player\""), std::string::npos);
    EXPECT_NE(answer.find("player.src = \"/live.webm\""), std::string::npos);
    EXPECT_NE(answer.find("fetch(\"/whep\""), std::string::npos);
    EXPECT_NE(answer.find("現正直播"), std::string::npos);
    // The relay page asks for the pieces beside itself, so it plays below a cache tier's prefix.
    const std::string relay = BrowserEncoder::relayPlayerPage().body;
    EXPECT_NE(relay.find("fetch(\"latest\")"), std::string::npos);
    EXPECT_EQ(relay.find("\"/live/"), std::string::npos);
}

// The numbers in `json` after `"key":`, up to the end of its value (nested arrays flattened).
std::vector<double> numbersOf(const std::string &json, const std::string &key) {
    std::vector<double> out;
    const size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return out;
    const char *p = json.c_str() + at + key.size() + 3;
    int depth = 0;
    do {
        if (*p == '[')
            ++depth;
        else if (*p == ']')
            --depth;
        else if ((*p >= '0' && *p <= '9') || *p == '-') {
            char *end = nullptr;
            out.push_back(std::strtod(p, &end));
            p = end;
            continue;
        }
        ++p;
    } while (*p && depth > 0);
    return out;
}

// Loads `url` in headless Chromium (and with `follow`, the page its link of that selector leads
// to) and checks that its video plays 3 s of the test camera's colour bars and that the
// screenshot was taken; with `path`, that the page says it plays that way and the camera's time
// code reads from the shown frames. `options`: more for chromium_page.mjs; its report in `output`;
// `heading`: what the page must say (the player pages' heading in the browser's language).
void expectChromiumPlays(const std::string &url, const std::string &path = {}, const std::string &follow = {},
                         const std::string &options = {}, std::string *output = nullptr,
                         const std::string &heading = "現正直播") {
    const char *source = std::getenv("MORLANEX_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    char dir[] = "/tmp/morlanex-chromium-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string shot = std::string(dir) + "/player.png";
    std::string pathArgs = path.empty() ? "" : " --path " + path + " --time-code-frames 30 --leave";
    if (!follow.empty()) pathArgs += " --follow '" + follow + "'";
    if (!options.empty()) pathArgs += " " + options;
    const testing::CommandResult r =
        testing::run("timeout 120 node " + std::string(source) + "/tests/browser/chromium_page.mjs --url " + url +
                     " --find '" + heading + "' --video-seconds 3 --screenshot " + shot + pathArgs);
    EXPECT_EQ(r.status, 0) << r.output;
    std::printf("chromium: %s", r.output.c_str());  // the figures, for the log
    if (output) *output = r.output;
    const std::vector<double> advanced = numbersOf(r.output, "videoAdvancedSeconds");
    ASSERT_EQ(advanced.size(), 1u) << r.output;
    EXPECT_GE(advanced[0], 3.0);
    // The test camera's colour bars: across the picture, many clearly different colours.
    const std::vector<double> c = numbersOf(r.output, "videoColumns");
    ASSERT_EQ(c.size(), 24u) << r.output;
    std::vector<size_t> distinct;
    for (size_t i = 0; i < 8; ++i) {
        const bool seen = std::any_of(distinct.begin(), distinct.end(), [&](size_t k) {
            return std::abs(c[3 * i] - c[3 * k]) + std::abs(c[3 * i + 1] - c[3 * k + 1]) +
                std::abs(c[3 * i + 2] - c[3 * k + 2]) <
                90;
        });
        if (!seen) distinct.push_back(i);
    }
    EXPECT_GE(distinct.size(), 5u) << r.output;
    if (!path.empty()) {
        EXPECT_NE(r.output.find("\"path\":\"" + path + "\""), std::string::npos) << r.output;
        // Read back from what the viewer saw: the camera's own picture, live.
        EXPECT_GE(numbersOf(r.output, "timeCodeDelaysMs").size(), 15u) << r.output;
        // Leaving the page ends its WebRTC session at once, not when the sink misses its consent.
        if (path == "WebRTC") {
            EXPECT_NE(r.output.find("\"DELETE " + url.substr(0, url.find("/watch")) + "/whep/"), std::string::npos)
                << r.output;
        }
    }
    FILE *png = std::fopen(shot.c_str(), "rb");
    ASSERT_NE(png, nullptr) << r.output;
    unsigned char magic[8] = {};
    EXPECT_EQ(std::fread(magic, 1, 8, png), 8u);
    std::fseek(png, 0, SEEK_END);
    EXPECT_GT(std::ftell(png), 10000L) << "a screenshot with a picture in it";
    std::fclose(png);
    EXPECT_EQ(std::memcmp(magic, "\x89PNG\r\n\x1a\n", 8), 0);
    if (!std::getenv("MORLANEX_KEEP_SCREENSHOTS")) {
        std::remove(shot.c_str());
        rmdir(dir);
    }
}

// A broadcast without WebRTC: the page finds no WHEP and plays the WebM stream.
class BrowserRenditionWithoutWebrtcTest : public BrowserRenditionTest {
protected:
    void SetUp() override {
        media.serving.webrtcPort = -1;
        BrowserRenditionTest::SetUp();
    }
};

TEST_F(BrowserRenditionWithoutWebrtcTest, HeadlessChromiumPlaysThePlayerPageOverWebmAndShowsTheColourBars) {
    expectChromiumPlays(url(BrowserEncoder::kPlayerPath), "WebM");
    EXPECT_EQ(media.broadcast()->sink()->stats().webrtcViewers, 0u);
}

// A browser set to English gets the page in English.
TEST_F(BrowserRenditionTest, HeadlessChromiumPlaysThePlayerPageOverWebrtcAndShowsTheCamerasPicture) {
    expectChromiumPlays(url(BrowserEncoder::kPlayerPath), "WebRTC", {}, "--lang en", nullptr, "Live now");
    EXPECT_EQ(media.broadcast()->sink()->stats().mediaViewers, 0u) << "no WebM viewer beside it";
}

// Chromium losing packets is moved to the low rendition, a smaller picture, at a key frame,
// and plays on.
TEST_F(BrowserRenditionTest, HeadlessChromiumPlaysOnWhenLossMovesItToTheSmallerWebrtcRendition) {
    std::string output;
    expectChromiumPlays(url(BrowserEncoder::kPlayerPath), {}, {}, "--webrtc-loss 30", &output);
    const std::vector<double> sizes{320, 240, kWebrtcLowWidth, kWebrtcLowHeight};
    EXPECT_EQ(numbersOf(output, "videoSizes"), sizes) << output;
}

TEST_F(BrowserRenditionTest, HeadlessChromiumPlaysTheSegmentsThroughAnNginxCache) {
    test::NginxRelay nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(freeLoopbackPort(), media.serving.port, &error)) << error;
    const uint64_t answersBefore = media.broadcast()->sink()->stats().segmentAnswers;
    expectChromiumPlays("http://127.0.0.1:" + std::to_string(nginx.port()) + BrowserEncoder::kRelayPlayerPath);
    // Everything came through nginx, and the sink saw pieces asked for, never a viewer.
    EXPECT_GT(media.broadcast()->sink()->stats().segmentAnswers, answersBefore + 2);
    EXPECT_EQ(media.broadcast()->sink()->stats().mediaViewers, 0u);
}

// A channel as the directory lists it with --relay-base: its channel page's relayed link leads
// through the shipped edge and shield, which fetch the pieces from where the directory says.
TEST_F(BrowserRenditionTest, HeadlessChromiumFollowsTheChannelPagesRelayedLinkThroughTheShippedTier) {
    const std::string address = "127.0.8.1", page = address + ":8080";
    const std::string build = std::getenv("MORLANEX_BUILD_DIR") ? std::getenv("MORLANEX_BUILD_DIR") : ".";
    char dir[] = "/tmp/morlanex-directory-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const uint16_t edgePort = freeLoopbackPort(), shieldPort = freeLoopbackPort();
    bench::ChildProcess directory;
    bench::ProcessOptions quiet;
    quiet.quiet = true;
    ASSERT_TRUE(directory.start({build + "/directory_server/morlanex-directory", "--address", address, "--database",
                                 std::string(dir) + "/directory.sqlite", "--http-port", "8080", "--relay-base",
                                 "http://127.0.0.1:" + std::to_string(edgePort)},
                                quiet));
    test::NginxRelay shield, edge;
    std::string error;
    ASSERT_TRUE(shield.startShipped("morlanex-shield.conf", shieldPort, {{"@DIRECTORY@", page}}, &error)) << error;
    ASSERT_TRUE(edge.startShipped("morlanex-edge.conf", edgePort,
                                  {{"@DIRECTORY@", page}, {"@SHIELD@", "127.0.0.1:" + std::to_string(shieldPort)}},
                                  &error))
        << error;

    // Registered from the stream's port, as the broadcaster registers (asked again until the
    // directory is up).
    const std::string nodeId = "4D4C52454C42";
    const UniqueFd cam(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{}, to{};
    at.sin_family = to.sin_family = AF_INET;
    at.sin_port = htons(media.serving.port);
    inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    ASSERT_EQ(bind(cam.get(), reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    auto send = [&](uint16_t port, const DirectoryMessage &m) {
        to.sin_port = htons(port);
        sendto(cam.get(), m.bytes().data(), m.bytes().size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    };
    std::optional<DirectoryMessage> ok;
    for (int attempt = 0; attempt < 50 && !ok; ++attempt) {
        send(20, DirectoryMessage::linkKerfCam(nodeId, "127.0.0.1", "Relayed", "", "relay"));
        pollfd p{cam.get(), POLLIN, 0};
        uint8_t buffer[1024];
        if (poll(&p, 1, 200) == 1) {
            const ssize_t size = recv(cam.get(), buffer, sizeof buffer, 0);
            if (size > 0) ok = DirectoryMessage::fromBytes({buffer, size_t(size)});
        }
    }
    ASSERT_TRUE(ok && ok->matches(cmd::LinkKerfOk));
    ok->answerLinkKerfPort(ok->readText(Field::ChannelId), nodeId);
    send(22, *ok);

    const uint64_t answersBefore = media.broadcast()->sink()->stats().segmentAnswers;
    expectChromiumPlays("http://" + page + "/", {}, "a.relay");
    EXPECT_GT(media.broadcast()->sink()->stats().segmentAnswers, answersBefore + 2);
    EXPECT_EQ(media.broadcast()->sink()->stats().mediaViewers, 0u) << "the pieces only, through the tier";
    directory.stop();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace morlanex
