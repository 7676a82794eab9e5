#include "app/media_controller.h"

#include "media/capture_media.h"
#include "net/port_mapping/mapping_report.h"

#include <cstdio>
#include "media/pipeline_events.h"
#include "media/video_window_widget.h"
#include "common/qt_translated_text.h"

using morlanex::CaptureMedia;
using morlanex::LiveStart;

namespace {

const TranslatedText kCameraLost{"MediaController", QT_TRANSLATE_NOOP("MediaController", "視訊裝置已中斷: %1")};
const TranslatedText kMicrophoneLost{"MediaController",
                                     QT_TRANSLATE_NOOP("MediaController", "音訊裝置已中斷: %1,改以靜音直播")};
const TranslatedText kMediaFailed{"MediaController", QT_TRANSLATE_NOOP("MediaController", "直播編碼失敗")};

QStringList names(const std::vector<std::string> &items) {
    QStringList list;
    for (const std::string &item : items) list << QString::fromStdString(item);
    return list;
}

std::vector<std::string> items(const QStringList &names) {
    std::vector<std::string> list;
    for (const QString &name : names) list.push_back(name.toStdString());
    return list;
}

}  // namespace

struct MediaController::Capture {
    CaptureMedia media;
    std::unique_ptr<morlanex::PipelineEvents> events;  // destroyed before the pipeline
};

MediaController::MediaController(QObject *parent) : QObject(parent), capture(std::make_unique<Capture>()) {
    capture->events =
        std::make_unique<morlanex::PipelineEvents>(capture->media.pipeline, [this](const morlanex::PipelineEvent &e) {
            if (e.kind == morlanex::PipelineEvent::Paused)
                emit pictureShowing();
            else if (e.kind == morlanex::PipelineEvent::Error)
                onError(e);  // the GStreamer detail is in the log
        });
}

MediaController::~MediaController() = default;

void MediaController::onError(const morlanex::PipelineEvent &e) {
    CaptureMedia &c = capture->media;
    if (e.device == morlanex::DeviceKind::Microphone) {
        const QString name = QString::fromStdString(morlanex::deviceName(c.microphone()));
        c.pipeline.replaceMicrophoneWithSilence();
        emit microphoneLost(kMicrophoneLost.arg(name));
        return;
    }
    // Without a live branch only the camera can fail.
    if (e.device == morlanex::DeviceKind::Camera || !c.pipeline.live())
        emit failed(kCameraLost.arg(QString::fromStdString(morlanex::deviceName(c.camera()))));
    else
        emit failed(kMediaFailed);
}

QWidget *MediaController::createVideoArea(QWidget *parent, QRect geometry, QWidget *above) {
    video = new morlanex::VideoWindowWidget(parent);
    video->setGeometry(geometry);
    video->hide();
    video->stackUnder(above);
    auto *area = video;
    capture->media.pipeline.setFrameCallback([area](const morlanex::VideoFrame &f) { area->presentFrame(f); });
    return video;
}

DeviceList MediaController::listVideoDevices(morlanex::DeviceChoice &choice) {
    CaptureMedia &c = capture->media;
    c.choice = choice;
    c.listCameras();
    choice = c.choice;
    return {names(c.lists.cameras), c.lists.cameraIndex};
}

void MediaController::listAudio(const DeviceList &shown, morlanex::DeviceChoice &choice, AudioChoices &result) {
    CaptureMedia &c = capture->media;
    c.lists.microphones = items(shown.names);
    c.lists.microphoneIndex = shown.current;
    c.choice = choice;
    std::exception_ptr failure;
    try {
        c.listMicrophones();
    } catch (...) {
        failure = std::current_exception();
    }
    choice = c.choice;
    result.devices = {names(c.lists.microphones), c.lists.microphoneIndex};
    result.lines = names(c.lists.lines);
    result.linePins.clear();
    for (int number : c.lists.lineNumbers) result.linePins << QString::number(number);
    result.currentLine = c.lists.lineIndex;
    result.linesEnabled = c.lists.linesEnabled;
    result.linesCaptionEnabled = c.lists.linesEnabled;
    result.choice = choice;
    if (failure) std::rethrow_exception(failure);
}

void MediaController::startPreview(const morlanex::DeviceChoice &choice) {
    CaptureMedia &c = capture->media;
    c.choice = choice;
    c.startPreview();
}

bool MediaController::previewRunning() const { return capture->media.pipeline.previewRunning(); }

void MediaController::closeDevice() { capture->media.close(); }

MediaController::LiveOutcome MediaController::switchToLive(const morlanex::DeviceChoice &choice) {
    CaptureMedia &c = capture->media;
    if (!c.hasCamera()) return LiveOutcome::NoVideoDevice;
    c.choice = choice;
    return c.goLive() == LiveStart::SinkFailed ? LiveOutcome::PortFailed : LiveOutcome::Started;
}

void MediaController::stopLive() { capture->media.stopLive(); }

bool MediaController::applyLevel(int level) { return capture->media.applyLevel(level); }

void MediaController::setServingPort(int port) {
    capture->media.serving.port = port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

void MediaController::setWebrtcPort(int port) { capture->media.serving.webrtcPort = port; }

void MediaController::setPortMapping(bool on, std::chrono::seconds lease, std::vector<uint16_t> endpointPorts) {
    morlanex::PortMappingSettings &m = capture->media.mapping;
    m.enabled = on;
    m.lease = lease;
    m.endpointPorts = std::move(endpointPorts);
    // The mapper reports on its own thread, and stops before this object goes; the window
    // hears it on this one (a call still queued when this object goes is dropped).
    m.report = [this](const morlanex::portmap::MappingReport &report) {
        QMetaObject::invokeMethod(
            this, [this, report] { emit portsMapped(report); }, Qt::QueuedConnection);
    };
    m.log = [](const std::string &line) { std::fprintf(stderr, "morlanex: %s\n", line.c_str()); };
}

void MediaController::setPush(morlanex::PushSettings settings) {
    // Reported on the pusher's thread, which ends before this object goes; heard on this one.
    settings.report = [this](const morlanex::PushReport &report) {
        QMetaObject::invokeMethod(
            this, [this, report] { emit pushReported(report); }, Qt::QueuedConnection);
    };
    settings.log = [](const std::string &line) { std::fprintf(stderr, "morlanex: push: %s\n", line.c_str()); };
    capture->media.push = std::move(settings);
}

void MediaController::startPushing() {
    if (morlanex::LiveBroadcast *b = capture->media.broadcast()) b->startPushing();
}

int MediaController::webrtcPort() const {
    const morlanex::LiveBroadcast *b = capture->media.broadcast();
    return b ? b->webrtcPort() : 0;
}

int MediaController::servingPort() const { return capture->media.serving.port; }

int MediaController::writerProfile() const { return capture->media.profile(); }
