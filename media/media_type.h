// Public header. Media types and the media-type list (TEnumMediaType).
//
// A media type is one caps structure of a capture device: one format the device can
// deliver, with fixed numbers. Its one-line description reads like the capture
// driver's own, e.g.
//   "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RGB 320X240, 24 bits"
// and is what the live switch searches for the camera format.
//
// Owned GStreamer copies only; not thread-safe (the UI thread uses these).
#pragma once

#include <memory>
#include <string>
#include <vector>

typedef struct _GstCaps GstCaps;
typedef struct _GstStructure GstStructure;

namespace morlanex {

class Pin;

class MediaType {
public:
    // Takes a copy of the structure, with ranges and lists settled on usual values.
    explicit MediaType(const GstStructure *structure);
    MediaType(const MediaType &other);
    MediaType &operator=(const MediaType &other);
    ~MediaType();

    // Caps with exactly this one type (owned by the MediaType).
    GstCaps *caps() const { return caps_; }
    const GstStructure *structure() const;
    std::string description() const;

private:
    GstCaps *caps_;
};

// One-line description of a caps structure (see above).
std::string describeMediaType(const GstStructure *structure);

class TEnumMediaType {
public:
    // Clears the list, then appends every type the pin offers, in its order.
    void fillFromPin(const Pin &pin);
    // Clears the list, then appends one type per structure of the caps.
    void fillFromCaps(const GstCaps *caps);
    void clear() { items_.clear(); }
    int count() const { return static_cast<int>(items_.size()); }
    // Index must be in range.
    const MediaType &item(int index) const { return items_.at(static_cast<size_t>(index)); }
    std::string description(int index) const { return item(index).description(); }

private:
    std::vector<MediaType> items_;
};

}  // namespace morlanex
