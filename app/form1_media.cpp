// The media side of the main window: preview, live encoding, the quality levels, and the
// wizard's device lists.
//
// The capture pipeline lives in morlanex::CaptureMedia (no widgets); this file moves the
// window's working values in and out of it and shows the outcome. The pipeline's events
// reach this window's thread through its bus descriptor; frames go straight to the video
// widget, which copies them and repaints on this thread.
#include "app/form1.h"

#include "dialogs/form2.h"
#include "dialogs/form4.h"
#include "media/capture_media.h"
#include "media/pipeline_events.h"
#include "media/video_window_widget.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QMovie>

using morlanex::CaptureMedia;
using morlanex::LiveStart;
using morlanex::VideoWindowWidget;

namespace {

const QString kPreviewMode = QStringLiteral("預覽模式");
const QString kLiveMode = QStringLiteral("現場直播");
const QString kLiveStarted = QStringLiteral("視訊直播已啟動");
const QString kDeviceClosed = QStringLiteral("視訊裝置已關閉");
const QString kNoCaptureDevice = QStringLiteral("您未安裝任何視訊擷取裝置!");
const QString kClickToGoLive = QStringLiteral("按此啟動直播");
// The network sink could not listen on the serving port: nobody can watch.
const QString kPortFailed = QStringLiteral("無法開啟直播連接埠 %1");

const QColor kBadgeWhite(255, 255, 255);
const QColor kBadgeYellow(255, 255, 0);

void setTextColour(QLabel *label, const QColor &colour)
{
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, colour);
    label->setPalette(p);
}

void fillCombo(QComboBox *combo, const std::vector<std::string> &items, int current)
{
    combo->clear();
    for (const std::string &item : items)
        combo->addItem(QString::fromStdString(item));
    combo->setCurrentIndex(current);
}

std::vector<std::string> comboItems(const QComboBox *combo)
{
    std::vector<std::string> items;
    for (int i = 0; i < combo->count(); ++i)
        items.push_back(combo->itemText(i).toStdString());
    return items;
}

}  // namespace

struct TForm1::Media {
    CaptureMedia capture;
    std::unique_ptr<morlanex::PipelineEvents> events;  // destroyed before the pipeline
    VideoWindowWidget *video = nullptr;                // owned by the window
};

void TForm1::MediaDeleter::operator()(Media *m) const { delete m; }

// --- working values ----------------------------------------------------------------------------

namespace {

void pushIndices(const TForm1 &f, CaptureMedia &c)
{
    c.choice = {f.VideoDeviceIndex, f.AudioDeviceIndex, f.AudioInputPin, f.ListedAudioDevice.toStdString()};
}

void pullIndices(TForm1 &f, const CaptureMedia &c)
{
    f.VideoDeviceIndex = c.choice.camera;
    f.AudioDeviceIndex = c.choice.microphone;
    f.AudioInputPin = c.choice.recordingLine;
    f.ListedAudioDevice = QString::fromStdString(c.choice.listedMicrophone);
}

}  // namespace

// --- start-up and shutdown -----------------------------------------------------------------------

namespace {

// The media side, created on first use when start-up stopped before it got there.
CaptureMedia &captureOf(TForm1 &form)
{
    if (!form.media)
        form.createMediaTypeLists();
    return form.media->capture;
}

}  // namespace

void TForm1::createMediaTypeLists()
{
    if (media)
        return;
    media.reset(new Media);
    CaptureMedia &c = media->capture;
    media->events = std::make_unique<morlanex::PipelineEvents>(c.pipeline, [this](const morlanex::PipelineEvent &e) {
        guarded([&] { showPipelineEvent(e); });
    });

    // The painting video area takes the place of the plain one, under the badge.
    auto *video = new VideoWindowWidget(GroupBox2);
    video->setObjectName(QStringLiteral("VideoWindow1"));
    video->setGeometry(VideoWindow1->geometry());
    video->installEventFilter(this);
    video->setMouseTracking(true);
    video->setAttribute(Qt::WA_NoMousePropagation);
    video->hide();
    video->stackUnder(Panel1);
    delete VideoWindow1;
    VideoWindow1 = video;
    media->video = video;
    c.pipeline.setFrameCallback([video](const morlanex::VideoFrame &f) { video->presentFrame(f); });
}

void TForm1::setWriterPort(int port)
{
    if (media)
        media->capture.port = port > 0 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

// --- pipeline events -----------------------------------------------------------------------------

void TForm1::showPipelineEvent(const morlanex::PipelineEvent &event)
{
    if (event.kind == morlanex::PipelineEvent::Paused) {
        VideoWindow1->show();
    } else if (event.kind == morlanex::PipelineEvent::Error) {
        // The picture is gone (a device vanished or failed): say so rather than freeze.
        VideoWindow1->hide();
        Image8->update();
        setStatus(QString::fromStdString(event.text), kStatusRed);
    }
}

// --- preview -------------------------------------------------------------------------------------

void TForm1::BeginPreview()
{
    GetWebCamProc();
    if (VideoDeviceIndex == -1) {
        QMessageBox::information(this, QStringLiteral("Morlanex!"), kNoCaptureDevice, QMessageBox::Ok);
        return;
    }
    GetWAVProc();
    applySettingsRecord();  // captions, indices and the compression level

    CaptureMedia &c = captureOf(*this);
    pushIndices(*this, c);
    c.startPreview();

    setTextColour(Label10, kBadgeWhite);
    Label10->setText(kPreviewMode);
    Panel1->show();
    PreviewActive = true;
    if (Form2 && Form2->isVisible() && Form4)
        Form4->showWithText(kClickToGoLive);
    refreshActionOverlay();
}

void TForm1::AbortWebCamDATA()
{
    captureOf(*this).close();
    VideoWindow1->hide();
    Panel1->hide();
    Image8->update();
    PreviewActive = false;
    CloseDeviceAfterStop = false;
    Image10->hide();
    Image9->hide();
    setChannelCaptions(QString(), QString());
    Label8->hide();
    Label9->hide();
    Label9->setText(QStringLiteral("0"));
    Label12->hide();
    Label11->hide();
    Label11->setText(QStringLiteral("0"));
    if (Form2 && Form2->isVisible())
        Label7->setText(QString());
    else
        setStatus(kDeviceClosed, kStatusRed);
    refreshActionOverlay();
}

// --- live ----------------------------------------------------------------------------------------

bool TForm1::MixBoth()
{
    CaptureMedia &c = captureOf(*this);
    if (!c.hasCamera())
        return true;
    Panel1->hide();
    if (media->video)
        media->video->clearFrame();
    pushIndices(*this, c);
    const LiveStart started = c.goLive();

    LiveActive = true;
    Image5->show();
    if (Image5Movie)
        Image5Movie->start();
    if (started == LiveStart::SinkFailed)
        setStatus(kPortFailed.arg(c.port), kStatusRed);
    else
        setStatus(kLiveStarted, kStatusRed);
    setTextColour(Label10, kBadgeYellow);
    Label10->setText(kLiveMode);
    Panel1->show();
    refreshActionOverlay();
    return started != LiveStart::SinkFailed;
}

void TForm1::stopLiveEncoding()
{
    captureOf(*this).stopLive();
    if (Image5Movie)
        Image5Movie->stop();
}

// --- quality levels ------------------------------------------------------------------------------

void TForm1::RadioCheck(int level)
{
    QAction *items[] = {N19, N15, N16, N17};
    if (captureOf(*this).applyLevel(level))
        items[level]->setChecked(true);
    if (!SaveLevelRequest)
        return;
    SaveLevelRequest = false;
    saveNewLevel(level);
}

void TForm1::levelMenuClick(int level)
{
    SaveLevelRequest = true;
    RadioCheck(level);
}

void TForm1::applyCompressionLevel()
{
    RadioCheck(CompressionLevel);
}

int TForm1::writerProfile() const
{
    return media ? media->capture.profile() : -1;
}

// --- the wizard's device lists -------------------------------------------------------------------

void TForm1::GetWebCamProc()
{
    CaptureMedia &c = captureOf(*this);
    pushIndices(*this, c);
    c.listCameras();
    pullIndices(*this, c);
    if (!Form2)
        return;
    fillCombo(Form2->ComboBox1, c.lists.cameras, c.lists.cameraIndex);
    Form2->ComboBox2->clear();
}

void TForm1::GetWAVProc()
{
    CaptureMedia &c = captureOf(*this);
    if (Form2) {
        // The wizard's list is what the user sees and chose from.
        c.lists.microphones = comboItems(Form2->ComboBox2);
        c.lists.microphoneIndex = Form2->ComboBox2->currentIndex();
    }
    pushIndices(*this, c);
    std::exception_ptr failure;
    try {
        c.listMicrophones();
    } catch (...) {
        failure = std::current_exception();
    }
    pullIndices(*this, c);
    if (Form2) {
        if (comboItems(Form2->ComboBox2) != c.lists.microphones)
            fillCombo(Form2->ComboBox2, c.lists.microphones, c.lists.microphoneIndex);
        else
            Form2->ComboBox2->setCurrentIndex(c.lists.microphoneIndex);
        fillCombo(Form2->ComboBox3, c.lists.lines, c.lists.lineIndex);
        std::vector<std::string> numbers;
        for (int n : c.lists.lineNumbers)
            numbers.push_back(std::to_string(n));
        fillCombo(Form2->ComboBox4, numbers, c.lists.lineIndex);
        Form2->ComboBox3->setEnabled(c.lists.linesEnabled);
        Form2->Label8->setEnabled(c.lists.linesEnabled);
    }
    if (failure)
        std::rethrow_exception(failure);
}
