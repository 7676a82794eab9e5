#include "media/capture_media.h"

#include <gst/gst.h>

#include <algorithm>
#include <cctype>

#include "media/media_error.h"
#include "media/pin_list.h"
#include "media/profiles.h"

namespace morlanex {

namespace {

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Trimming removes leading and trailing characters of code 32 or below.
bool blankAfterTrim(const std::string &text)
{
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return c <= 32; });
}

}  // namespace

std::string WizardDeviceLists::comboBox2Text() const
{
    if (comboBox2Index < 0 || comboBox2Index >= static_cast<int>(comboBox2.size()))
        return {};
    return comboBox2[static_cast<size_t>(comboBox2Index)];
}

CaptureMedia::CaptureMedia()
{
    // Attachment order is the order filters join the graph.
    Filter2.setFilterGraph(&FilterGraph2);
    Filter1.setFilterGraph(&FilterGraph2);
    VideoWindow1.setFilterGraph(&FilterGraph2);
}

CaptureMedia::~CaptureMedia()
{
    FilterGraph2.setActive(false);
}

void CaptureMedia::GetWebCamProc()
{
    lists.comboBox1.clear();
    lists.comboBox2.clear();
    lists.comboBox2Index = -1;
    DeviceEnumerator = std::make_unique<TSysDevEnum>(DeviceCategory::VideoInput);
    if (DeviceEnumerator->DeviceCount() > 0) {
        for (int i = 0; i < DeviceEnumerator->DeviceCount(); ++i)
            lists.comboBox1.push_back(DeviceEnumerator->DeviceName(i).friendlyName);
        VideoDeviceIndex = 0;
    } else {
        VideoDeviceIndex = -1;
        lists.comboBox1.push_back(kNoVideoDevice);
    }
    lists.comboBox1Index = 0;
}

void CaptureMedia::GetWAVProc()
{
    lists.comboBox3.clear();
    lists.comboBox4.clear();
    lists.comboBox3Index = -1;
    lists.comboBox3Enabled = false;
    lists.label8Enabled = false;

    if (!DeviceEnumerator)
        DeviceEnumerator = std::make_unique<TSysDevEnum>(DeviceCategory::AudioInput);
    else
        DeviceEnumerator->SelectCategory(DeviceCategory::AudioInput);

    if (DeviceEnumerator->DeviceCount() > 0) {
        if (blankAfterTrim(lists.comboBox2Text())) {
            lists.comboBox2.clear();
            for (int i = 0; i < DeviceEnumerator->DeviceCount(); ++i)
                lists.comboBox2.push_back(DeviceEnumerator->DeviceName(i).friendlyName);
            lists.comboBox2Index = 0;
            ListedAudioDevice = lists.comboBox2Text();
            AudioDeviceIndex = 0;
        }
        Filter2.setBaseFilter(DeviceEnumerator->DeviceMoniker(AudioDeviceIndex));
        FilterGraph2.setActive(true);

        std::unique_ptr<TPinList> pins;
        try {
            pins = std::make_unique<TPinList>(Filter2);
        } catch (const MediaError &) {
            // Do not leave a half-used graph behind the error report.
            FilterGraph2.setActive(false);
            throw;
        }
        for (int at = 0; at < pins->count();) {
            if (pins->info(at).direction == PinDirection::Output) {
                AudioFormatList.fillFromPin(pins->pin(at));
                pins->remove(at);
            } else {
                ++at;
            }
        }
        FilterGraph2.setActive(false);

        for (int n = 0; n < pins->count(); ++n) {
            if (pins->pin(n).getEnable()) {
                lists.comboBox3.push_back(pins->info(n).name);
                lists.comboBox3Enabled = true;
                lists.label8Enabled = true;
                lists.comboBox4.push_back(std::to_string(n));
            }
        }
        AudioInputPin = lists.comboBox4.empty() ? -1 : std::stoi(lists.comboBox4.front());
    }

    lists.comboBox2Index =
        AudioDeviceIndex >= 0 && AudioDeviceIndex < static_cast<int>(lists.comboBox2.size())
            ? AudioDeviceIndex : -1;
    lists.comboBox3Index = lists.comboBox3.empty() ? -1 : 0;
    ListedAudioDevice = lists.comboBox2Text();
}

void CaptureMedia::startPreviewGraph()
{
    DeviceEnumerator = std::make_unique<TSysDevEnum>(DeviceCategory::VideoInput);
    Filter1.setBaseFilter(DeviceEnumerator->DeviceMoniker(VideoDeviceIndex));
    DeviceEnumerator->SelectCategory(DeviceCategory::AudioInput);
    Filter2.setBaseFilter(DeviceEnumerator->DeviceMoniker(AudioDeviceIndex));
    FilterGraph2.setActive(true);
    if (Filter1.holdsDevice())
        FilterGraph2.renderPreview(Filter1, VideoWindow1);
    FilterGraph2.Run();
}

LiveStart CaptureMedia::switchToLive()
{
    if (!Filter1.holdsDevice())
        return LiveStart::NoVideoDevice;
    FilterGraph2.ClearGraph();
    FilterGraph2.setActive(false);
    ASFWriter1.setFilterGraph(&FilterGraph2);
    FilterGraph2.setActive(true);

    // Audio format and recording line. Without a microphone the stream is video only.
    if (Filter2.holdsDevice()) {
        TPinList pins(Filter2);
        for (int at = 0; at < pins.count();) {
            if (pins.info(at).direction != PinDirection::Output) {
                ++at;
                continue;
            }
            if (AudioFormatList.count() == 0)
                throw MediaError("The audio capture device offers no format.");
            // The list may come from another audio device; never force a format on a
            // device that does not offer it.
            GstCaps *offered = pins.pin(at).mediaTypes();
            if (offered && !gst_caps_can_intersect(offered, AudioFormatList.item(0).caps()))
                AudioFormatList.fillFromPin(pins.pin(at));
            if (offered)
                gst_caps_unref(offered);
            if (AudioFormatList.count() > 0)
                Filter2.setFormat(AudioFormatList.item(0));
            pins.remove(at);
        }
        if (AudioInputPin >= 0 && AudioInputPin < pins.count())
            pins.pin(AudioInputPin).putEnable(true);
    }

    // Video format: the first RGB24 320x240 type, if the camera has one.
    TPinList videoPins(Filter1);
    VideoFormatList.fillFromPin(videoPins.pin(0));
    if (int at = findRgb24At320x240(VideoFormatList); at >= 0)
        Filter1.setFormat(VideoFormatList.item(at));

    FilterGraph2.renderPreview(Filter1, VideoWindow1);
    FilterGraph2.renderCapture(Filter1, ASFWriter1);
    FilterGraph2.renderAudio(Filter2, ASFWriter1);
    FilterGraph2.Run();
    if (!ASFWriter1.sinkOpen() && ASFWriter1.Port > 0 && ASFWriter1.MaxUsers > 0)
        return LiveStart::SinkFailed;
    return LiveStart::Started;
}

void CaptureMedia::stopLive()
{
    FilterGraph2.setActive(false);
    ASFWriter1.setFilterGraph(nullptr);
}

void CaptureMedia::closeDevice()
{
    if (FilterGraph2.Active()) {
        FilterGraph2.Stop();
        FilterGraph2.ClearGraph();
        FilterGraph2.setActive(false);
        ASFWriter1.setFilterGraph(nullptr);
    }
    DeviceEnumerator.reset();
}

bool CaptureMedia::applyLevel(int level)
{
    std::optional<TWMPofiles8> profile = profileForLevel(level);
    if (!profile)
        return false;
    ASFWriter1.setProfile(*profile);
    return true;
}

int CaptureMedia::findRgb24At320x240(const TEnumMediaType &list)
{
    for (int i = 0; i < list.count(); ++i) {
        const std::string d = lower(list.description(i));
        if (d.find("rgb24") != std::string::npos && d.find("320x240") != std::string::npos)
            return i;
    }
    return -1;
}

}  // namespace morlanex
