// Test support: a PipeWire daemon and WirePlumber of the test's own, in a runtime folder of its
// own (no D-Bus session needed), with virtual cameras and microphones offered as PipeWire nodes
// (media.class Video/Source and Audio/Source) by GStreamer's pipewiresink. The destructor ends
// every process it started and removes the folder, also when a test fails; the children end
// with the test process.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace morlanex::testing {

class PipeWireSession {
public:
    PipeWireSession();
    ~PipeWireSession();
    PipeWireSession(const PipeWireSession &) = delete;
    PipeWireSession &operator=(const PipeWireSession &) = delete;

    // Starts the daemon and the session manager and points this process's PipeWire clients at
    // them (before GStreamer starts). Empty when running, else why not.
    std::string start();
    // A node of class Video/Source or Audio/Source named `name`; its process id, which
    // remove() takes to make the node go away as an unplugged device does.
    pid_t offerCamera(const std::string &name);
    pid_t offerMicrophone(const std::string &name);
    void remove(pid_t provider);
    // The processes' output, for a failure's message.
    std::string log() const;

private:
    pid_t spawn(const std::vector<std::string> &argv, const std::string &logName);
    pid_t offer(const std::string &source, const std::string &mediaClass, const std::string &name);

    std::filesystem::path folder_;
    std::vector<pid_t> children_;
};

}  // namespace morlanex::testing
