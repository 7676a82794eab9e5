// Public header file.
//
// RecordedAsf: a recorded live ASF stream (as the muxer writes it to a file) split back into
// what the muxer hands the network sink: the header and the fixed-size data packets. Used to
// feed the sink a real stream in tests and benchmarks.
//
// Threads: plain functions; callable from any thread.
#pragma once

#include "media/asf/asf_header.h"

#include <optional>
#include <string>
#include <vector>

namespace morlanex {

struct RecordedAsf {
    std::vector<uint8_t> header;  // Header Object + Data Object start
    std::vector<std::vector<uint8_t>> packets;  // each AsfHeaderInfo::packetSize bytes
    AsfHeaderInfo info;
};

// Splits `bytes`; a trailing partial packet or an index after the packets is ignored.
std::optional<RecordedAsf> splitRecordedAsf(const std::vector<uint8_t> &bytes, std::string *error);
std::optional<RecordedAsf> loadRecordedAsf(const std::string &path, std::string *error);

}  // namespace morlanex
