#include "media/pin_list.h"

#include <gst/gst.h>

#include "media/filter.h"
#include "media/media_error.h"
#include "media/recording_mixer.h"

namespace morlanex {

Pin::Pin(PinInfo info, GstCaps *caps, std::shared_ptr<RecordingMixer> mixer, int line)
    : info_(std::move(info)), caps_(caps), mixer_(std::move(mixer)), line_(line)
{
}

Pin::Pin(const Pin &other)
    : info_(other.info_), caps_(other.caps_ ? gst_caps_ref(other.caps_) : nullptr),
      mixer_(other.mixer_), line_(other.line_)
{
}

Pin &Pin::operator=(const Pin &other)
{
    if (this != &other) {
        GstCaps *caps = other.caps_ ? gst_caps_ref(other.caps_) : nullptr;
        if (caps_)
            gst_caps_unref(caps_);
        caps_ = caps;
        info_ = other.info_;
        mixer_ = other.mixer_;
        line_ = other.line_;
    }
    return *this;
}

Pin::~Pin()
{
    if (caps_)
        gst_caps_unref(caps_);
}

GstCaps *Pin::mediaTypes() const
{
    return caps_ ? gst_caps_ref(caps_) : nullptr;
}

bool Pin::getEnable() const
{
    if (!mixer_)
        throw MediaError(kInterfaceNotSupported);
    return mixer_->enabled(line_);
}

void Pin::putEnable(bool enable)
{
    if (!mixer_)
        throw MediaError(kInterfaceNotSupported);
    mixer_->setEnabled(line_, enable);
}

TPinList::TPinList(const TFilter &filter)
{
    if (!filter.hasElement())
        throw MediaError(kInterfaceNotSupported);
    GstDevice *device = filter.BaseFilter().get();
    pins_.emplace_back(PinInfo{PinDirection::Output, "Capture"}, gst_device_get_caps(device),
                       nullptr, -1);
    std::shared_ptr<RecordingMixer> mixer = recordingMixerFor(device);
    if (!mixer)
        return;
    for (int line = 0; line < mixer->lineCount(); ++line)
        pins_.emplace_back(PinInfo{PinDirection::Input, mixer->lineName(line)}, nullptr, mixer, line);
}

}  // namespace morlanex
