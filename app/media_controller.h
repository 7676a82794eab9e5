// Internal header. Every media call of the main window: the capture pipeline with its preview,
// the live switch, the quality levels and the wizard's device lists. The window keeps what it
// shows and the device choice; this class keeps the graph.
//
// Threads: UI thread. The pipeline's events reach this object's thread through its bus
// descriptor; frames go straight to the video area, which copies them.
#pragma once

#include "dialogs/wizard_host.h"
#include "media/device_choice.h"

#include <QObject>
#include <QRect>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class QWidget;
namespace morlanex {
class VideoWindowWidget;
struct PipelineEvent;
struct PushReport;
struct PushSettings;
namespace portmap {
struct MappingReport;
}
}  // namespace morlanex

class MediaController : public QObject {
    Q_OBJECT
public:
    enum class LiveOutcome { NoVideoDevice, Started, PortFailed };

    explicit MediaController(QObject *parent = nullptr);
    ~MediaController() override;

    // The painting video area, hidden, placed at `geometry` in `parent` under `above`.
    QWidget *createVideoArea(QWidget *parent, QRect geometry, QWidget *above);

    // The wizard's lists; each leaves in `choice` what the lists now stand for (the camera -1
    // without a camera). Throws MediaError when the microphone cannot be opened; `choice` and
    // `result` hold what was listed all the same.
    DeviceList listVideoDevices(morlanex::DeviceChoice &choice);
    void listAudio(const DeviceList &shown, morlanex::DeviceChoice &choice, AudioChoices &result);

    void startPreview(const morlanex::DeviceChoice &choice);
    // The camera's preview goes on (as it does after a broadcast stops).
    bool previewRunning() const;
    void closeDevice();
    LiveOutcome switchToLive(const morlanex::DeviceChoice &choice);
    void stopLive();
    // False (nothing changed) for a level outside 0..3.
    bool applyLevel(int level);

    void setServingPort(int port);
    void setWebrtcPort(int port);  // see AppConfig::webrtcPort
    // While live, the home router is asked to map the stream's and WebRTC's ports and
    // `endpointPorts` (UDP); off: never.
    void setPortMapping(bool on, std::chrono::seconds lease, std::vector<uint16_t> endpointPorts);
    // While live, push mode (see BroadcastPusher): the credential is asked for as the broadcast
    // starts, with PushMode::Always the pushes too.
    void setPush(morlanex::PushSettings settings);
    // While live: the browser rendition goes to the relay tier from now on.
    void startPushing();
    int servingPort() const;
    // While live: the WebRTC port as bound (0: none).
    int webrtcPort() const;
    int writerProfile() const;  // the live profile (Wm8Profile)

signals:
    // The pipeline paused: the picture shows.
    void pictureShowing();
    // The picture stopped on an error (the camera vanished or failed); the text says so.
    void failed(const QString &text);
    // The microphone vanished while live: silence goes on in its place.
    void microphoneLost(const QString &text);
    // What the home router mapped, after each attempt and renewal while live.
    void portsMapped(const morlanex::portmap::MappingReport &report);
    // How the pusher does, after each change while live.
    void pushReported(const morlanex::PushReport &report);

private:
    struct Capture;
    void onError(const morlanex::PipelineEvent &e);
    std::unique_ptr<Capture> capture;
    morlanex::VideoWindowWidget *video = nullptr;  // owned by its parent widget
};
