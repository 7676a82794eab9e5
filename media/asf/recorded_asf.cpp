#include "media/asf/recorded_asf.h"

#include "media/asf/byte_order.h"

#include <fstream>
#include <iterator>

namespace morlanex {

std::optional<RecordedAsf> splitRecordedAsf(const std::vector<uint8_t> &bytes, std::string *error) {
    auto info = parseAsfHeader(bytes, error, /*allowTrailing=*/true);
    if (!info) return std::nullopt;
    RecordedAsf r;
    r.info = *info;
    r.header.assign(bytes.begin(), bytes.begin() + std::ptrdiff_t(info->totalBytes));
    // A finished file states its data object size; a live recording says 0 or 50.
    const uint64_t dataSize = le::u64(bytes.data() + info->headerObjectBytes + 16);
    size_t end = bytes.size();
    if (dataSize > kAsfDataObjectHeaderBytes && dataSize <= bytes.size() - info->headerObjectBytes)
        end = info->headerObjectBytes + size_t(dataSize);
    for (size_t at = info->totalBytes; end - at >= info->packetSize; at += info->packetSize)
        r.packets.emplace_back(bytes.begin() + std::ptrdiff_t(at),
                               bytes.begin() + std::ptrdiff_t(at + info->packetSize));
    return r;
}

std::optional<RecordedAsf> loadRecordedAsf(const std::string &path, std::string *error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot open " + path;
        return std::nullopt;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return splitRecordedAsf(bytes, error);
}

}  // namespace morlanex
