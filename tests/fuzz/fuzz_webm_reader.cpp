// libFuzzer: the WebM reader on arbitrary bytes, taken as a stream's header and as its
// clusters. Whatever reads keeps its word: a header read has tracks and a time scale, a track
// cut out of it reads back with that track, and clusters cut to one track cut again the same.
// An empty corpus folder is seeded with a live stream written here, so a run starts from bytes
// that read.
#include "media/netsink/webm_reader.h"
#include "tests/netsink/webm_test_stream.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

using namespace morlanex;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void seed(const std::filesystem::path &folder) {
    namespace w = webmtest;
    const w::Bytes two = w::join({w::liveHeader(), w::liveCluster(0), w::liveCluster(2000)});
    const w::Bytes grouped =
        w::join({w::clusterStart(4000), w::element(w::kBlockGroup, w::element(w::kBlock, w::blockData(1, 16))),
                 w::simpleBlock(2, 8)});
    const w::Bytes odd = w::header(w::join({w::videoTrack(3, "V_VP9", 0, 0, 33366666),
                                            w::audioTrack(4, "A_OPUS", 48000), w::videoTrack(5, "V_OTHER", 8, 8, 0)}),
                                   500000);
    int n = 0;
    for (const w::Bytes &bytes : {two, grouped, odd, w::liveHeader()})
        std::ofstream(folder / ("seed-" + std::to_string(n++)), std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    for (int i = 1; i < *argc; ++i) {
        const std::string_view arg = (*argv)[i];
        if (arg.starts_with("-")) continue;
        std::error_code error;
        if (std::filesystem::is_directory(arg, error) && std::filesystem::is_empty(arg, error)) seed(arg);
        break;  // the first folder is the corpus libFuzzer writes
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    const std::optional<WebmHeaderInfo> info = readWebmHeader(bytes);
    if (info) {
        check(!info->tracks.empty() && info->timecodeScaleNs != 0);
        for (const WebmTrack &t : info->tracks) {
            const std::vector<uint8_t> cut = webmTrackHeader(bytes, t.number);
            if (cut.empty()) continue;
            const std::optional<WebmHeaderInfo> back = readWebmHeader(cut);
            check(back.has_value());
            bool kept = false;
            for (const WebmTrack &b : back->tracks) kept = kept || b.number == t.number;
            check(kept);
        }
    }
    (void)clusterTimeMs(bytes, info ? info->timecodeScaleNs : 1000000);
    (void)clusterTimeMs(bytes, UINT64_MAX);
    for (uint64_t track : {1, 2}) {
        std::vector<uint8_t> once, twice;
        if (!appendWebmTrackClusters(bytes, track, &once)) continue;
        check(appendWebmTrackClusters(once, track, &twice));
        check(twice == once);
    }
    return 0;
}
