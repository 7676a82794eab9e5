// Internal header. A branch of the capture pipeline hung off its sources' tees while the
// pipeline runs, and taken off again, without stopping the sources or the other branches.
//
// The branch is a bin whose sink pads are named "video" and, where it takes sound, "audio".
// Attaching adds it to the pipeline, brings it to the pipeline's state and only then links a
// new pad of each tee to it, so no frame reaches an element that is not running. Its inputs'
// frames are stamped with their running time less `offset`, in a segment from 0: a branch
// added minutes into the preview sees its stream begin near time 0, as a pipeline built for
// it would; frames captured before `offset` do not enter it. Detaching unlinks each tee pad
// once no frame is passing through it (an idle probe), gives the pad back to its tee, and
// then stops and removes the bin; the encoders' queues keep every push short, so the wait is
// too.
//
// Threads: UI thread (the owner of the pipeline's state).
//
// Example:
//   GstElement *bin = encoder.makeBranch(true);
//   TeeBranch branch(pipeline, bin, cameraTee, microphoneTee, TeeBranch::runningTime(pipeline));
//   ...
//   // ~TeeBranch: detached and removed; the camera goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "media/profiles.h"

typedef struct _GstElement GstElement;
typedef struct _GstPad GstPad;

namespace morlanex {

// Makes the elements of `factories`, adds them to `bin` and links them one after another from
// `from` (none: the first stays unlinked); empty, with nothing added, when an element is missing.
std::vector<GstElement *> addChain(GstElement *bin, GstElement *from, std::initializer_list<const char *> factories);
// Gives `bin` the sink pad `name`, leading to `first`'s sink pad.
void addBranchInput(GstElement *bin, const char *name, GstElement *first);
// A camera's chain to VP8 at the settings' size, rate and bit rate, in real time with no frame
// held back and a key frame at least every `keyFrameSeconds`: valve, queue, videoconvert,
// videoscale, videorate, capsfilter, vp8enc (the last). Empty when an element is missing.
std::vector<GstElement *> addVp8Chain(GstElement *bin, const EncoderSettings &s, int keyFrameSeconds);
// The picture's way to a VP8 encoder (valve, queue, conversion, scaling, rate, format), and an
// encoder in real time at constant `bitrate` after `from` (if given).
std::vector<GstElement *> addVideoInput(GstElement *bin, const EncoderSettings &s);
GstElement *addVp8Encoder(GstElement *bin, GstElement *from, int bitrate, int keyFrameDistance);
// A microphone's chain to `encoder` at `rate` in the settings' channels (one or two): valve,
// queue, audioconvert, audioresample, capsfilter, the encoder (the last).
std::vector<GstElement *> addAudioChain(GstElement *bin, const EncoderSettings &s, int rate, const char *encoder);
// A chain's valve (its first element) closed or open, and its queue made live: it never holds
// up the camera or microphone for long, dropping the oldest instead.
void setValveAndQueue(const std::vector<GstElement *> &chain, bool open);
// Asks a video encoder for a key frame as its next frame (an upstream event from its source pad).
void forceKeyUnit(GstElement *encoder);

// The valves of a branch that encodes only while it is needed, and its video encoder; shared
// with the server's callbacks, so that they never reach elements that are gone.
struct ValveGate {
    std::mutex mutex;
    std::vector<GstElement *> valves;  // guarded by mutex; references held
    GstElement *videoEncoder = nullptr;  // guarded by mutex; reference held
    // Asks for a key frame in place of the encoder's own request, where there are several.
    std::function<void()> keyFrameHook;  // guarded by mutex
    bool open;  // guarded by mutex: the valves pass frames

    explicit ValveGate(bool openAtStart) : open(openAtStart) {}
    ~ValveGate();
    ValveGate(const ValveGate &) = delete;
    ValveGate &operator=(const ValveGate &) = delete;
    // With mutex held: the chains' valves and queues set as the gate is, `video`'s last
    // element taken as the encoder. Either chain may be empty.
    void adoptLocked(const std::vector<GstElement *> &video, const std::vector<GstElement *> &audio);
    // With mutex held: opens or closes the valves, without waiting for the streaming threads.
    // Opening asks the encoder for a key frame, so that a newcomer starts at one now.
    void setOpenLocked(bool wanted);
    // With mutex held: the next picture is a key frame.
    void askKeyFrameLocked();
};

class TeeBranch {
public:
    // The pipeline's running time now (ns); 0 while it is not playing.
    static uint64_t runningTime(GstElement *pipeline);

    // Takes `bin` (floating) into `pipeline` and links it to the tees; `audioTee` may be null.
    TeeBranch(GstElement *pipeline, GstElement *bin, GstElement *videoTee, GstElement *audioTee, uint64_t offsetNs);
    ~TeeBranch();  // detaches
    TeeBranch(const TeeBranch &) = delete;
    TeeBranch &operator=(const TeeBranch &) = delete;

private:
    struct Link {
        GstElement *tee;
        GstPad *teePad;  // requested from the tee; reference held
        GstPad *binPad;  // reference held
    };
    void unlink(const Link &link);

    GstElement *pipeline_;
    GstElement *bin_;  // reference held
    std::vector<Link> links_;
};

}  // namespace morlanex
