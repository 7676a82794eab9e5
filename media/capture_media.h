// Public header. The media side of the main window, without widgets (CaptureMedia).
//
// Owns the capture graph and its components under their form names (FilterGraph2,
// Filter1 video source, Filter2 audio source, VideoWindow1 renderer, ASFWriter1
// encoder), the device enumerator, the two media-type lists and the device working
// values, and runs the media steps of the main window's operations:
//   GetWebCamProc / GetWAVProc - list the devices and recording lines into
//       WizardDeviceLists, which the wizard copies into ComboBox1..4 and Label8;
//   startPreviewGraph          - open the chosen devices and run the preview;
//   switchToLive / stopLive    - rebuild the graph with / without the encoder;
//   closeDevice                - stop and drop the graph;
//   applyLevel                 - the writer's profile for a compression level.
// Failures that end an operation are thrown as MediaError with the text to report.
//
// Threads: UI thread only (see TFilterGraph for events and TVideoWindow for frames).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "media/asf_writer.h"
#include "media/filter.h"
#include "media/filter_graph.h"
#include "media/media_type.h"
#include "media/sys_dev_enum.h"
#include "media/video_window.h"

namespace morlanex {

// The only entry of the video device list when there is no camera.
inline constexpr const char *kNoVideoDevice = "您未安裝任何視訊擷取裝置";

// What the wizard's device controls show. Indices are -1 for "nothing selected"; the UI
// writes the user's choices back into the *Index fields before the next call.
struct WizardDeviceLists {
    std::vector<std::string> comboBox1;  // video devices (or kNoVideoDevice)
    int comboBox1Index = -1;
    std::vector<std::string> comboBox2;  // audio devices
    int comboBox2Index = -1;
    std::vector<std::string> comboBox3;  // recording lines that are enabled
    std::vector<std::string> comboBox4;  // their pin numbers, decimal (never shown)
    int comboBox3Index = -1;             // ComboBox4 follows the same position
    bool comboBox3Enabled = false;
    bool label8Enabled = false;

    std::string comboBox2Text() const;
};

enum class LiveStart {
    NoVideoDevice,  // nothing was done
    Started,        // encoding, and the network sink serves on Port
    SinkFailed,     // encoding, but the sink could not open its port (see sinkError)
};

class CaptureMedia {
public:
    CaptureMedia();
    ~CaptureMedia();
    CaptureMedia(const CaptureMedia &) = delete;
    CaptureMedia &operator=(const CaptureMedia &) = delete;

    // Declared first: the components detach from it before it goes.
    TFilterGraph FilterGraph2;
    TFilter Filter2{"Filter2"};
    TFilter Filter1{"Filter1"};
    TVideoWindow VideoWindow1{"VideoWindow1"};
    TASFWriter ASFWriter1{"ASFWriter1"};

    std::unique_ptr<TSysDevEnum> DeviceEnumerator;
    TEnumMediaType AudioFormatList;
    TEnumMediaType VideoFormatList;

    int VideoDeviceIndex = -1;
    int AudioDeviceIndex = -1;
    int AudioInputPin = -1;
    std::string ListedAudioDevice;
    WizardDeviceLists lists;

    void GetWebCamProc();
    // Throws MediaError when the audio device cannot be opened; lines listed before
    // stay, and the graph is left inactive.
    void GetWAVProc();

    // Devices by VideoDeviceIndex / AudioDeviceIndex, activate, render the preview, run.
    void startPreviewGraph();
    // The media steps of going live. Throws MediaError when a source lacks what a step
    // needs (e.g. the device vanished) or the audio device offers no format.
    LiveStart switchToLive();
    // Deactivates the graph (stops the encoder, closes the sink) and detaches the writer.
    void stopLive();
    // Stops, clears and deactivates the graph, detaches the writer, drops the enumerator.
    void closeDevice();

    // Sets ASFWriter1's profile for level 0..3; false (nothing changed) for other levels.
    bool applyLevel(int level);

    // Index of the first type whose description holds "RGB24" and "320x240", letter
    // case ignored; -1 when none does.
    static int findRgb24At320x240(const TEnumMediaType &list);
};

}  // namespace morlanex
