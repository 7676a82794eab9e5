// Public header. The media side of the main window, without widgets (CaptureMedia).
//
// Holds the capture pipeline, the device lists the user chooses from and the device
// choice, and runs the media steps of the window's operations:
//   listCameras / listMicrophones - fill `lists` (and adjust `choice`) from the devices;
//   startPreview                  - the chosen camera's preview;
//   goLive / stopLive             - the pipeline with / without the live branch;
//   close                         - stop and empty the pipeline;
//   applyLevel                    - the profile of a compression level.
// Failures that end an operation are thrown as MediaError with the text to report.
//
// Threads: UI thread only (see CapturePipeline for frames and events).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/capture_pipeline.h"
#include "media/device_choice.h"
#include "media/live_broadcast.h"
#include "media/profiles.h"

namespace morlanex {

// The only entry of the camera list when there is no camera.
inline constexpr const char *kNoVideoDevice = "您未安裝任何視訊擷取裝置";

// What the user picks from. Indices are -1 for "nothing selected"; the caller writes the
// user's choices back before the next call.
struct DeviceLists {
    std::vector<std::string> cameras;  // or kNoVideoDevice alone
    int cameraIndex = -1;
    std::vector<std::string> microphones;
    int microphoneIndex = -1;
    std::vector<std::string> lines;  // recording lines whose capture switch is on
    std::vector<int> lineNumbers;  // each one's position among the device's lines
    int lineIndex = -1;  // lineNumbers follows the same position
    bool linesEnabled = false;

    std::string microphoneText() const;
};

enum class LiveStart {
    NoVideoDevice,  // nothing was done
    Started,  // encoding, and the network sink serves on the port
    SinkFailed,  // encoding, but the sink could not open its port (see sinkError)
};

class CaptureMedia {
public:
    CapturePipeline pipeline;
    DeviceLists lists;
    DeviceChoice choice;
    ServingSettings serving;  // port 0: encode without serving
    PortMappingSettings mapping;  // the home router's, while serving
    PushSettings push;  // to the relay tier, while serving
    StreamObserver observer;  // optional, for whoever watches the stream as served
    RtcObserver rtcObserver;  // optional, sees the WebRTC viewers' frames

    void listCameras();
    // Throws MediaError("Interface not supported") when the microphone cannot be opened;
    // lines listed before stay. Stops the pipeline in any case.
    void listMicrophones();

    void startPreview();
    // Throws MediaError when a device that going live needs cannot be opened, or the
    // microphone offers no format.
    LiveStart goLive();
    void stopLive();
    // The broadcast while live (also when its port failed: it encodes all the same).
    LiveBroadcast *broadcast() const { return broadcast_.get(); }
    void close();

    // The profile for level 0..3; false (nothing changed) for other levels.
    bool applyLevel(int level);
    Wm8Profile profile() const { return profile_; }
    bool hasCamera() const { return camera_ != nullptr; }
    DeviceHandle camera() const { return camera_; }
    DeviceHandle microphone() const { return microphone_; }

private:
    Wm8Profile profile_ = wmp_V80_100768VideoMBR;
    DeviceHandle camera_, microphone_;  // chosen at the preview start
    std::string listedMicrophoneFormat_;  // the first format of the microphone listed last
    std::unique_ptr<LiveBroadcast> broadcast_;  // after the pipeline: goes first
};

}  // namespace morlanex
