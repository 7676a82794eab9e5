#include "media/capture_media.h"

#include <gst/gst.h>

#include <algorithm>

#include "media/recording_mixer.h"

namespace morlanex {

namespace {

// Trimming removes leading and trailing characters of code 32 or below.
bool blankAfterTrim(const std::string &text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c <= 32; });
}

std::vector<std::string> namesOf(const std::vector<CatalogEntry> &entries) {
    std::vector<std::string> names;
    for (const CatalogEntry &e : entries) names.push_back(e.name);
    return names;
}

}  // namespace

std::string DeviceLists::microphoneText() const {
    if (microphoneIndex < 0 || microphoneIndex >= static_cast<int>(microphones.size())) return {};
    return microphones[static_cast<size_t>(microphoneIndex)];
}

void CaptureMedia::listCameras() {
    lists.cameras = namesOf(listDevices(DeviceKind::Camera));
    lists.microphones.clear();  // so that the next listing lists the microphones afresh
    lists.microphoneIndex = -1;
    choice.camera = lists.cameras.empty() ? -1 : 0;
    if (lists.cameras.empty()) lists.cameras.push_back(kNoVideoDevice);
    lists.cameraIndex = 0;
}

void CaptureMedia::listMicrophones() {
    lists.lines.clear();
    lists.lineNumbers.clear();
    lists.lineIndex = -1;
    lists.linesEnabled = false;
    stopLive();
    pipeline.clear();

    const std::vector<CatalogEntry> microphones = listDevices(DeviceKind::Microphone);
    if (!microphones.empty()) {
        if (blankAfterTrim(lists.microphoneText())) {
            lists.microphones = namesOf(microphones);
            lists.microphoneIndex = 0;
            choice.microphone = 0;
        }
        const int at = choice.microphone;
        GstDevice *device = at >= 0 && at < static_cast<int>(microphones.size())
            ? microphones[static_cast<size_t>(at)].device.get()
            : nullptr;
        // A device that cannot be opened has no lines to show.
        GstElement *probe = device ? gst_device_create_element(device, nullptr) : nullptr;
        if (!probe) throw MediaError(kInterfaceNotSupported);
        gst_object_unref(gst_object_ref_sink(probe));
        listedMicrophoneFormat_ = firstFormat(device);

        if (std::unique_ptr<RecordingMixer> mixer = recordingMixerFor(device)) {
            for (int n = 0; n < mixer->lineCount(); ++n) {
                if (mixer->enabled(n)) {
                    lists.lines.push_back(mixer->lineName(n));
                    lists.lineNumbers.push_back(n);
                    lists.linesEnabled = true;
                }
            }
        }
        choice.recordingLine = lists.lineNumbers.empty() ? -1 : lists.lineNumbers.front();
    }
    lists.microphoneIndex = choice.microphone >= 0 && choice.microphone < static_cast<int>(lists.microphones.size())
        ? choice.microphone
        : -1;
    lists.lineIndex = lists.lines.empty() ? -1 : 0;
    choice.listedMicrophone = lists.microphoneText();
}

void CaptureMedia::startPreview() {
    camera_ = deviceAt(DeviceKind::Camera, choice.camera);
    microphone_ = deviceAt(DeviceKind::Microphone, choice.microphone);
    stopLive();
    CaptureDescription description;
    description.camera = camera_;
    pipeline.build(description);
    pipeline.play();
}

LiveStart CaptureMedia::goLive() {
    if (!camera_) return LiveStart::NoVideoDevice;
    stopLive();
    CaptureDescription description;
    description.live = true;
    description.camera = camera_;
    description.microphone = microphone_;
    // The camera's first RGB 320 x 240, where it offers one.
    GstCaps *offered = gst_device_get_caps(camera_.get());
    description.cameraCaps = firstRgb320x240(offered);
    if (offered) gst_caps_unref(offered);
    if (microphone_) {
        // The format listed last, unless it came from a device that does not offer it.
        description.microphoneCaps = offersFormat(microphone_.get(), listedMicrophoneFormat_)
            ? listedMicrophoneFormat_
            : firstFormat(microphone_.get());
        if (description.microphoneCaps.empty()) throw MediaError("The audio capture device offers no format.");
        description.recordingLine = choice.recordingLine;
    }
    LiveSettings live;
    live.encoder = *encoderSettings(profile_);
    live.serving = serving;
    live.observer = observer;
    live.rtcObserver = rtcObserver;
    const LiveInputs inputs = pipeline.joinLive(description);
    broadcast_ = std::make_unique<LiveBroadcast>(pipeline, inputs, live, mapping, push);
    pipeline.startLive();
    if (!broadcast_->serving() && serving.port > 0 && serving.maxClients > 0) return LiveStart::SinkFailed;
    return LiveStart::Started;
}

void CaptureMedia::stopLive() {
    if (broadcast_) broadcast_->stop();
    broadcast_.reset();
    pipeline.stopLive();
}

void CaptureMedia::close() {
    stopLive();
    pipeline.clear();
    camera_.reset();
    microphone_.reset();
}

bool CaptureMedia::applyLevel(int level) {
    std::optional<Wm8Profile> p = profileForLevel(level);
    if (!p) return false;
    profile_ = *p;
    return true;
}

}  // namespace morlanex
