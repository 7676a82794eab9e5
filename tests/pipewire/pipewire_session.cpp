#include "pipewire_session.h"

#include "tests/support/poll_until.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace morlanex::testing {

namespace {

// WirePlumber as packaged, but without D-Bus (a CI runner as root has no session bus), without
// Bluetooth, and without hardware monitors: the only devices are the ones the test offers.
void writeConfig(const fs::path &folder) {
    const fs::path wp = folder / "config" / "wireplumber";
    fs::create_directories(wp / "main.lua.d");
    std::ifstream in("/usr/share/wireplumber/wireplumber.conf");
    std::ofstream out(wp / "wireplumber.conf");
    for (std::string line; std::getline(in, line);) {
        if (line.find("bluetooth.lua") != std::string::npos) continue;
        if (line.find("#support.dbus") != std::string::npos) line = "  support.dbus = false";
        out << line << '\n';
    }
    std::ofstream(wp / "main.lua.d" / "90-enable-all.lua")
        << "load_module(\"metadata\")\n"
           "default_access.properties[\"enable-flatpak-portal\"] = false\n"
           "default_access.enable()\n"
           "stream_defaults.enable()\n"
           "load_script(\"intended-roles.lua\")\n";
}

bool waitFor(const fs::path &file) {
    return pollUntil([&] { return fs::exists(file); }, std::chrono::seconds(5), std::chrono::milliseconds(10));
}

}  // namespace

PipeWireSession::PipeWireSession() {
    std::string pattern = (fs::temp_directory_path() / "morlanex-pipewire.XXXXXX").string();
    if (::mkdtemp(pattern.data())) folder_ = pattern;
}

PipeWireSession::~PipeWireSession() {
    // Providers first, then the session manager, then the daemon.
    while (!children_.empty()) remove(children_.back());
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
}

std::string PipeWireSession::start() {
    if (folder_.empty()) return "no temporary folder";
    for (const char *program : {"/usr/bin/pipewire", "/usr/bin/wireplumber", "/usr/bin/gst-launch-1.0"})
        if (::access(program, X_OK) != 0) return std::string(program) + " is not installed";
    writeConfig(folder_);
    ::setenv("PIPEWIRE_RUNTIME_DIR", folder_.c_str(), 1);
    if (spawn({"/usr/bin/pipewire"}, "pipewire.log") <= 0 || !waitFor(folder_ / "pipewire-0"))
        return "the PipeWire daemon did not start:\n" + log();
    if (spawn({"/usr/bin/wireplumber"}, "wireplumber.log") <= 0) return "WirePlumber did not start:\n" + log();
    return {};
}

pid_t PipeWireSession::spawn(const std::vector<std::string> &argv, const std::string &logName) {
    // Everything the child needs is made before the fork: the test process has threads, so the
    // child may only make system calls until it runs the program.
    std::vector<std::string> environment = {
        "XDG_RUNTIME_DIR=" + folder_.string(), "PIPEWIRE_RUNTIME_DIR=" + folder_.string(),
        "XDG_CONFIG_HOME=" + (folder_ / "config").string(), "XDG_STATE_HOME=" + (folder_ / "state").string()};
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        // No session bus and no display: the daemons run as on a CI runner.
        if (key != "XDG_RUNTIME_DIR" && key != "PIPEWIRE_RUNTIME_DIR" && key != "XDG_CONFIG_HOME" &&
            key != "XDG_STATE_HOME" && key != "DBUS_SESSION_BUS_ADDRESS" && key != "DISPLAY")
            environment.push_back(entry);
    }
    std::vector<char *> envp, args;
    for (std::string &e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const std::string logFile = (folder_ / logName).string();
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid != 0) {
        if (pid > 0) children_.push_back(pid);
        return pid;
    }
    // The child ends with the test process, whatever ends that.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    const int out = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
}

pid_t PipeWireSession::offer(const std::string &source, const std::string &mediaClass, const std::string &name) {
    const std::string props = "stream-properties=\"props,media.class=" + mediaClass +
        ",media.type=" + mediaClass.substr(0, mediaClass.find('/')) + ",node.description=\\\"" + name + "\\\"\"";
    std::vector<std::string> argv = {"/usr/bin/gst-launch-1.0", "-q"};
    std::istringstream words(source);
    for (std::string w; words >> w;) argv.push_back(w);
    // A plain stream, paced like the other nodes by the daemon's dummy driver. With 0.3.65, a
    // node in provide mode drives its own graph at the rate its frames come, and the daemon
    // hands every graph without a driver (the microphone's) to the first driver running: sound
    // offered after such a camera came at 15 cycles a second, a third of its samples; a
    // microphone in provide mode never gets a cycle at all.
    for (const char *w : {"!", "pipewiresink"}) argv.emplace_back(w);
    argv.push_back(props);
    return spawn(argv, "providers.log");
}

pid_t PipeWireSession::offerCamera(const std::string &name) {
    return offer("videotestsrc is-live=true ! video/x-raw,format=I420,width=320,height=240,framerate=15/1",
                 "Video/Source", name);
}

pid_t PipeWireSession::offerMicrophone(const std::string &name) {
    return offer("audiotestsrc is-live=true ! audio/x-raw,format=S16LE,rate=44100,channels=2", "Audio/Source", name);
}

void PipeWireSession::remove(pid_t provider) {
    auto it = std::find(children_.begin(), children_.end(), provider);
    if (it == children_.end()) return;
    children_.erase(it);
    ::kill(provider, SIGTERM);
    ::waitpid(provider, nullptr, 0);
}

std::string PipeWireSession::log() const {
    std::string all;
    for (const char *name : {"pipewire.log", "wireplumber.log", "providers.log"}) {
        std::ifstream in(folder_ / name);
        std::ostringstream text;
        text << in.rdbuf();
        all += std::string(name) + ":\n" + text.str();
    }
    return all;
}

}  // namespace morlanex::testing
