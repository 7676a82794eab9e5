// A short live-style ASF stream recorded by GStreamer's asfmux (not by our writer), for the
// tests of the readers and of the network sink.
#pragma once

#include "media/asf/recorded_asf.h"

#include <string>

namespace morlanex::test {

// Records (once per process) a short WMV2 + WMA stream with a key frame every second and
// returns it split into header and packets. Fails the calling test when gst-launch fails.
const RecordedAsf &testStream();
std::string testStreamPath();

}  // namespace morlanex::test
