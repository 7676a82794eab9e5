// Test support: the media side runs on the project's test camera and microphone (a GStreamer
// plugin of the build tree), with a plugin registry of this process's own.
#pragma once

namespace morlanex::testing {

// Once per process, before GStreamer starts.
void useTestDevices();

}  // namespace morlanex::testing
