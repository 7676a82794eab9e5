// Public header. Recording lines of an audio capture device and their capture switches.
//
// A recording line is an input of the sound card's capture mixer (microphone, line in,
// ...). For a card that ALSA drives, the lines are the mixer's simple elements with a
// capture switch (snd_mixer_selem_*); a line is "enabled" when its switch is on, and
// enabling it turns the switch on. Devices that describe their lines in their
// properties (the test microphone) keep the switches in their "enabled-lines" mask.
//
// UI thread; every call opens and closes the mixer, so no handle outlives a call.
#pragma once

#include <memory>
#include <string>

typedef struct _GstDevice GstDevice;

namespace morlanex {

class RecordingMixer {
public:
    virtual ~RecordingMixer() = default;
    virtual int lineCount() const = 0;
    virtual std::string lineName(int line) const = 0;
    // Whether the line's capture switch is on.
    virtual bool enabled(int line) const = 0;
    // Turns the line's capture switch on or off; false when the mixer refused.
    virtual bool setEnabled(int line, bool on) = 0;
};

// The recording lines of the device; null when it has none that we can reach.
std::unique_ptr<RecordingMixer> recordingMixerFor(GstDevice *device);

// The lines of ALSA card `card` (hw:<card>); null when the card has no capture mixer.
std::unique_ptr<RecordingMixer> alsaRecordingMixer(int card);

}  // namespace morlanex
