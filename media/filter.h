// Public header. A capture source (TFilter): the video source Filter1 or the audio
// source Filter2.
//
// Holds the chosen device (its "moniker"; empty = no device). When the graph activates,
// the device's source element is created inside the filter's bin, followed by a caps
// filter (the format set with SetFormat) and a tee, so that the preview and the capture
// branch can both take the stream. A device that cannot be created leaves the filter
// without an element; the graph reports it as an error event.
//
// UI thread only.
#pragma once

#include <string>
#include <vector>

#include "media/graph_component.h"
#include "media/sys_dev_enum.h"

typedef struct _GstPad GstPad;

namespace morlanex {

class MediaType;

class TFilter : public GraphComponent {
public:
    explicit TFilter(std::string name) : GraphComponent(std::move(name)) {}
    ~TFilter() override;

    // The BaseFilter property: the device, or empty for none.
    void setBaseFilter(Moniker device) { device_ = std::move(device); }
    const Moniker &BaseFilter() const { return device_; }
    bool holdsDevice() const { return device_ != nullptr; }

    // Whether the device's element exists (graph active and device created).
    bool hasElement() const { return source_ != nullptr; }

    // The output format (IAMStreamConfig::SetFormat); applies to the next connection and
    // run. False when the filter has no element.
    bool setFormat(const MediaType &type);

    // A new output pad of the filter's bin, for one consumer. Null without an element.
    GstPad *requestOutput();

protected:
    void adding() override;
    void removing() override;
    void removed() override;
    bool connected() const override { return !outputs_.empty(); }
    void disconnectAll() override;

private:
    Moniker device_;
    GstElement *source_ = nullptr;
    GstElement *format_ = nullptr;
    GstElement *tee_ = nullptr;
    std::vector<GstPad *> outputs_;  // ghost pads on bin_, with their tee pads as targets
};

}  // namespace morlanex
