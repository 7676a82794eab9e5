// The automatic level end to end: the test devices through three WMV8 renditions, our ASF
// writer and the real network sink on loopback, read by clients whose links differ. Each
// client is throttled the way a slow link is: a small receive buffer, read slowly.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/unique_fd.h"
#include "media/asf/asf_packet.h"
#include "media/asf/recorded_asf.h"
#include "media/capture_media.h"
#include "media/netsink/network_sink.h"
#include "bench/bench_process.h"
#include "media_test_env.h"

namespace morlanex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::CommandResult;
using testing::run;

// A plain HTTP client of the stream that reads at most `bitsPerSecond` (0: as fast as it can).
class ThrottledReader {
public:
    ThrottledReader(uint16_t port, uint64_t bitsPerSecond) : rate_(bitsPerSecond) {
        thread_ = std::thread([this, port] { read(port); });
    }
    ~ThrottledReader() { stop(); }

    void setRate(uint64_t bitsPerSecond) { rate_ = bitsPerSecond; }
    size_t received() const { return received_.load(); }
    bool ended() const { return ended_.load(); }
    Clock::time_point requested() const { return requested_; }
    // Stops reading; the body received (after the response head).
    std::vector<uint8_t> stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        std::lock_guard lock(mutex_);
        const std::string text(bytes_.begin(), bytes_.end());
        const size_t body = text.find("\r\n\r\n");
        headBytes_ = body == std::string::npos ? bytes_.size() : body + 4;
        return std::vector<uint8_t>(bytes_.begin() + long(headBytes_), bytes_.end());
    }
    // After stop(): when the body's first `bytes` had all come.
    Clock::time_point cameBy(size_t bytes) const {
        const auto at = std::lower_bound(arrivals_.begin(), arrivals_.end(),
                                         std::make_pair(headBytes_ + bytes, Clock::time_point{}));
        return at == arrivals_.end() ? Clock::time_point::max() : at->second;
    }

private:
    void read(uint16_t port) {
        const morlanex::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int fd = socket.get();
        // A small receive window keeps the backlog in the sender's socket, as on a slow link,
        // where it waits in front of the link and not in the viewer's machine.
        const int window = 16384;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        // Segments of an Ethernet link rather than loopback's 64 KiB, so the window opens in
        // small steps, as it does behind a real link.
        const int segment = 1448;
        ::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::string request = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: throttled-reader\r\n\r\n";
        requested_ = Clock::now();
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
            ended_ = true;
            return;
        }
        uint64_t phaseRate = rate_.load(), phaseBytes = 0;
        Clock::time_point phaseStart = Clock::now();
        uint8_t buffer[16384];
        while (!stopping_) {
            const uint64_t rate = rate_.load();
            if (rate != phaseRate) {
                phaseRate = rate;
                phaseBytes = 0;
                phaseStart = Clock::now();
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = ::recv(fd, buffer, rate ? 1024 : sizeof buffer, 0);
            if (n <= 0) {
                ended_ = true;
                break;
            }
            {
                std::lock_guard lock(mutex_);
                bytes_.insert(bytes_.end(), buffer, buffer + n);
                arrivals_.emplace_back(bytes_.size(), Clock::now());
            }
            received_ += size_t(n);
            phaseBytes += uint64_t(n);
            if (!rate) continue;
            // A link does not save up what it did not carry while there was nothing to send.
            if (phaseStart + std::chrono::microseconds(phaseBytes * 8'000'000 / rate) < Clock::now() - 250ms) {
                phaseStart = Clock::now() - 250ms;
                phaseBytes = 0;
            }
            std::this_thread::sleep_until(phaseStart + std::chrono::microseconds(phaseBytes * 8'000'000 / rate));
        }
    }

    std::atomic<uint64_t> rate_;
    std::atomic<bool> stopping_{false}, ended_{false};
    std::atomic<size_t> received_{0};
    std::mutex mutex_;
    std::vector<uint8_t> bytes_;
    std::vector<std::pair<size_t, Clock::time_point>> arrivals_;  // bytes received by then
    size_t headBytes_ = 0;
    std::atomic<Clock::time_point> requested_{Clock::now()};
    std::thread thread_;
};

// Writes the header and the packets of a received stream up to its last video key frame to
// `path`: a recording cut anywhere else would end in a frame whose rest never came.
void saveWholeGroups(const std::vector<uint8_t> &body, const std::string &path) {
    std::string error;
    const std::optional<RecordedAsf> stream = splitRecordedAsf(body, &error);
    ASSERT_TRUE(stream) << error;
    // Our writer begins a packet with each video key frame.
    size_t lastKey = 0;
    for (size_t i = 0; i < stream->packets.size(); ++i) {
        const std::optional<AsfPacketContents> p = readAsfPacket(stream->packets[i]);
        ASSERT_TRUE(p && !p->payloads.empty()) << "packet " << i << " is malformed";
        const AsfPayload &first = p->payloads.front();
        if (first.stream == 2 && first.keyFrame && first.offset == 0) lastKey = i;
    }
    ASSERT_GT(lastKey, 0u) << "no key frame after the first";
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(stream->header.data()), std::streamsize(stream->header.size()));
    for (size_t i = 0; i < lastKey; ++i)
        out.write(reinterpret_cast<const char *>(stream->packets[i].data()),
                  std::streamsize(stream->packets[i].size()));
}

// The video's presentation times (ms) in a recorded stream.
std::vector<int> videoTimes(const std::string &path) {
    const CommandResult r = run("ffprobe -v error -select_streams v -show_entries packet=pts -of csv=p=0 " + path);
    std::vector<int> times;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) times.push_back(std::atoi(line.c_str()));
    return times;
}

// The rendition the frames at the end of a recording belong to, told by their spacing:
// 1 at 10 fps, 2 at 15, 3 at 30; 0 when there are too few.
int renditionAtEnd(const std::vector<int> &times) {
    if (times.size() < 12) return 0;
    std::vector<int> gaps;
    for (size_t i = times.size() - 10; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
    std::nth_element(gaps.begin(), gaps.begin() + 5, gaps.end());
    const int gap = gaps[5];
    return gap >= 85 ? 1 : gap >= 50 ? 2 : 3;
}

// When each whole picture (video frame) of a received body had come, and its presentation time.
struct Pictures {
    std::vector<std::pair<Clock::time_point, uint32_t>> came;  // in the order they came

    // The presentation time (ms) of the newest picture that had come by `t`; -1: none yet.
    int64_t newestBy(Clock::time_point t) const {
        int64_t newest = -1;
        for (const auto &[at, ms] : came)
            if (at <= t) newest = std::max<int64_t>(newest, ms);
        return newest;
    }
};

Pictures picturesOf(const ThrottledReader &reader, const std::vector<uint8_t> &body) {
    Pictures pictures;
    const std::optional<RecordedAsf> stream = splitRecordedAsf(body, nullptr);
    if (!stream) return pictures;
    size_t end = stream->header.size();
    for (const std::vector<uint8_t> &packet : stream->packets) {
        end += packet.size();
        const std::optional<AsfPacketContents> p = readAsfPacket(packet);
        if (!p) continue;
        for (const AsfPayload &payload : p->payloads)
            if (payload.stream == 2 &&
                (payload.compressed() || payload.offset + payload.data.size() == payload.objectSize()))
                pictures.came.emplace_back(reader.cameBy(end), payload.presentationMs());
    }
    return pictures;
}

// Seconds by which `reader`'s newest picture at `t` is older than `reference`'s.
double behindAt(const Pictures &reader, const Pictures &reference, Clock::time_point t) {
    return double(reference.newestBy(t) - reader.newestBy(t)) / 1000;
}

std::string counts(const std::array<size_t, 4> &c) {
    return std::to_string(c[0]) + "/" + std::to_string(c[1]) + "/" + std::to_string(c[2]);
}

class RenditionLiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        media.listCameras();
        media.listMicrophones();
        media.serving.bindAddress = "127.0.0.1";
        media.serving.port = bench::freeLoopbackPort();
        media.observer = [this](bool isHeader, std::span<const uint8_t> bytes, uint8_t rendition) {
            if (!isHeader) wireBytes[rendition] += bytes.size();
        };
        ASSERT_TRUE(media.applyLevel(0));
        media.startPreview();
        ASSERT_EQ(media.goLive(), LiveStart::Started) << media.broadcast()->error();
        ASSERT_TRUE(pump.pumpUntil([&] { return media.broadcast()->packetsOut() > 0; }, 30s));
        dir = ::testing::TempDir() + "renditions-" + std::to_string(::getpid());
        run("mkdir -p " + dir);
    }
    void TearDown() override {
        media.close();
        if (!getenv("KEEP_RENDITIONS")) run("rm -rf " + dir);
    }
    std::array<size_t, 4> onRendition() const { return media.broadcast()->sink()->stats().viewersOnRendition; }
    bool waitFor(std::array<size_t, 4> wanted, std::chrono::seconds timeout) {
        auto said = Clock::now();
        return pump.pumpUntil(
            [&] {
                if (Clock::now() - said > 10s) {
                    said = Clock::now();
                    std::fprintf(stderr, "viewers on 68/224/704 kbps: %s; on the wire: %s\n",
                                 counts(onRendition()).c_str(), wireRates().c_str());
                }
                return onRendition() == wanted;
            },
            timeout);
    }

    // What the sound and each rendition put on the wire so far.
    std::string wireRates() const {
        const double seconds = std::chrono::duration<double>(Clock::now() - liveSince).count();
        auto kbps = [&](size_t r) { return std::to_string(int(double(wireBytes[r]) * 8 / seconds / 1000)); };
        return "sound " + kbps(0) + ", renditions " + kbps(1) + " / " + kbps(2) + " / " + kbps(3) + " kbit/s";
    }

    std::array<std::atomic<uint64_t>, 4> wireBytes{};
    Clock::time_point liveSince = Clock::now();
    CaptureMedia media;
    testing::EventPump pump{media.pipeline};
    std::string dir;
};

TEST_F(RenditionLiveTest, EachReaderSettlesOnTheRenditionItsLinkCarriesNearLiveAndWhatItGotDecodes) {
    const uint16_t port = media.serving.port;
    ThrottledReader slow(port, 150'000), medium(port, 400'000), fast(port, 0), dropping(port, 0);
    const auto joined = Clock::now();
    // Every one starts on 704 kbps. 20 s after they came one fast link drops to 150 kbps.
    pump.pumpFor(20s);
    dropping.setRate(150'000);
    const auto dropped = Clock::now();
    // Then 68: the slow one and the dropping one; 224: the medium one; 704: the fast one.
    EXPECT_TRUE(waitFor({2, 1, 1, 0}, 40s)) << "viewers on 68/224/704 kbps: " << counts(onRendition());
    std::printf("all settled %.1f s after they came, %.1f s after the link slowed\n",
                std::chrono::duration<double>(Clock::now() - joined).count(),
                std::chrono::duration<double>(Clock::now() - dropped).count());
    // Both slow links go on carrying the lowest rendition and the sound (about 110 kbit/s) in
    // real time: 25 s of it is some 340 kB, where a stall of a few seconds would cost 40 kB each.
    pump.pumpFor(std::chrono::duration_cast<std::chrono::milliseconds>(joined + 35s - Clock::now()));
    const size_t slowBefore = slow.received(), droppingBefore = dropping.received();
    pump.pumpFor(std::chrono::duration_cast<std::chrono::milliseconds>(joined + 61s - Clock::now()));
    EXPECT_GT(slow.received(), slowBefore + 280'000u) << "it kept receiving";
    EXPECT_GT(dropping.received(), droppingBefore + 280'000u) << "it kept receiving";
    EXPECT_EQ(media.broadcast()->sink()->stats().droppedSlowTotal, 0u);
    EXPECT_EQ(onRendition(), (std::array<size_t, 4>{2, 1, 1, 0})) << "viewers on 68/224/704 kbps";

    // How far behind the fast reader's picture the slow ones' were, from what each received.
    const std::vector<uint8_t> fastBody = fast.stop(), slowBody = slow.stop(), droppingBody = dropping.stop(),
                               mediumBody = medium.stop();
    const Pictures reference = picturesOf(fast, fastBody), slowPictures = picturesOf(slow, slowBody),
                   droppingPictures = picturesOf(dropping, droppingBody);
    ASSERT_FALSE(slowPictures.came.empty());
    const double firstPicture =
        std::chrono::duration<double>(slowPictures.came.front().first - slow.requested()).count();
    const Clock::time_point slowJoined = slow.requested();
    double worstLater = 0;
    for (auto t = slowJoined + 20s; t <= slowJoined + 60s; t += 500ms)
        worstLater = std::max(worstLater, behindAt(slowPictures, reference, t));
    const double at15 = behindAt(slowPictures, reference, slowJoined + 15s);
    const double afterDrop = behindAt(droppingPictures, reference, dropped + 30s);
    std::printf("150 kbit/s: first picture %.1f s after its request; behind the fast reader 15 s after it came %.1f s, "
                "at most %.1f s from 20 to 60 s; the dropped link 30 s after the drop %.1f s\n",
                firstPicture, at15, worstLater, afterDrop);
    EXPECT_LE(firstPicture, 4.0);
    EXPECT_LE(at15, 3.0);
    EXPECT_LE(worstLater, 2.0);
    EXPECT_LE(afterDrop, 3.0);

    struct Expect {
        ThrottledReader *reader;
        const std::vector<uint8_t> *body;
        const char *name;
        int rendition;  // at the end
        bool switched;  // its frame rate changed on the way
    };
    const Expect readers[] = {{&slow, &slowBody, "slow", 1, true},
                              {&medium, &mediumBody, "medium", 2, true},
                              {&fast, &fastBody, "fast", 3, false},
                              {&dropping, &droppingBody, "dropping", 1, true}};
    for (const Expect &e : readers) {
        SCOPED_TRACE(e.name);
        EXPECT_FALSE(e.reader->ended()) << "the sink closed it";
        const std::string path = dir + "/" + e.name + ".asf";
        saveWholeGroups(*e.body, path);
        const CommandResult decode = run("ffmpeg -nostdin -v error -i " + path + " -f null -");
        EXPECT_EQ(decode.status, 0);
        EXPECT_EQ(decode.output, "");
        const std::vector<int> times = videoTimes(path);
        EXPECT_EQ(renditionAtEnd(times), e.rendition);
        if (e.switched) {
            EXPECT_NE(renditionAtEnd(
                          std::vector<int>(times.begin(), times.begin() + long(std::min<size_t>(times.size(), 20)))),
                      e.rendition)
                << "it began on another rendition";
        }
    }
}

}  // namespace
}  // namespace morlanex
