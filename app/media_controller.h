// Internal header. Every media call of the main window: the capture pipeline with its preview,
// the live switch, the quality levels and the wizard's device lists. The window keeps what it
// shows; this class keeps the graph and the device choices it was started with.
//
// Threads: UI thread. The pipeline's events reach this object's thread through its bus
// descriptor; frames go straight to the video area, which copies them.
#pragma once

#include "dialogs/wizard_host.h"

#include <QObject>
#include <QRect>

#include <memory>

class QWidget;
namespace morlanex { class VideoWindowWidget; }

// Which devices the preview opens; -1 for none.
struct DeviceChoice {
    int videoDevice = 0;
    int audioDevice = 0;
    int audioPin = 0;
};

class MediaController : public QObject {
    Q_OBJECT
public:
    enum class LiveOutcome { NoVideoDevice, Started, PortFailed };

    explicit MediaController(QObject *parent = nullptr);
    ~MediaController() override;

    // The painting video area, hidden, placed at `geometry` in `parent` under `above`.
    QWidget *createVideoArea(QWidget *parent, QRect geometry, QWidget *above);

    DeviceChoice choice;
    QString listedAudioDevice; // the audio device whose recording lines were listed last

    // The wizard's lists; the first refreshes choice.videoDevice (-1 without a camera).
    DeviceList listVideoDevices();
    // Throws MediaError when the device cannot be opened; `result` holds what was listed.
    void listAudio(const DeviceList &shown, AudioChoices &result);

    void startPreview();
    void closeDevice();
    LiveOutcome switchToLive();
    void stopLive();
    // False (nothing changed) for a level outside 0..3.
    bool applyLevel(int level);

    void setServingPort(int port);
    int servingPort() const;
    int writerProfile() const; // the live profile (Wm8Profile)

signals:
    // The pipeline paused: the picture shows.
    void pictureShowing();
    // The pipeline stopped on an error (a device vanished or failed).
    void failed(const QString &text);

private:
    struct Capture;
    std::unique_ptr<Capture> capture;
    morlanex::VideoWindowWidget *video = nullptr; // owned by its parent widget
};
