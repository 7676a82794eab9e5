// Public header. The pins of a capture filter (TPinList).
//
// A capture device shows one output pin, "Capture", whose media types are the device's
// formats in the device's order, and, for an audio device with recording lines, one
// input pin per line (named after the line) whose mixer switch is the line's capture
// switch (the IAMAudioInputMixer of the original design).
//
// UI thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _GstCaps GstCaps;

namespace morlanex {

class TFilter;
class RecordingMixer;

enum class PinDirection { Input = 0, Output = 1 };

struct PinInfo {
    PinDirection direction;
    std::string name;
};

class Pin {
public:
    Pin(PinInfo info, GstCaps *caps, std::shared_ptr<RecordingMixer> mixer, int line);
    Pin(const Pin &other);
    Pin &operator=(const Pin &other);
    ~Pin();

    const PinInfo &info() const { return info_; }
    // The media types (new reference; null when the pin has none).
    GstCaps *mediaTypes() const;
    // Whether the pin has a recording-line switch at all.
    bool hasAudioInputMixer() const { return mixer_ != nullptr; }
    // The line's capture switch; throws MediaError without a switch.
    bool getEnable() const;
    void putEnable(bool enable);

private:
    PinInfo info_;
    GstCaps *caps_;  // owned; null for input pins
    std::shared_ptr<RecordingMixer> mixer_;
    int line_;
};

class TPinList {
public:
    // The pins of the filter's device; throws MediaError("Interface not supported") when
    // the filter has no element (its device could not be created or none is chosen).
    explicit TPinList(const TFilter &filter);

    int count() const { return static_cast<int>(pins_.size()); }
    // Index must be in range.
    Pin &pin(int index) { return pins_.at(static_cast<size_t>(index)); }
    const PinInfo &info(int index) const { return pins_.at(static_cast<size_t>(index)).info(); }
    void remove(int index) { pins_.erase(pins_.begin() + index); }

private:
    std::vector<Pin> pins_;
};

}  // namespace morlanex
