// The main window's media side with the test devices: the preview painted in VideoWindow1,
// the live stream read back by real clients from http://127.0.0.1:<LocalPort>/, the levels
// menu and the wizard's device lists.
#include "app/main_window.h"
#include "app/morlanex_app.h"
#include "app/settings_file.h"
#include "dialogs/setup_wizard.h"
#include "media/profiles.h"
#include "media/device_catalog.h"
#include "media/video_window_widget.h"
#include "net/unique_fd.h"
#include "test_devices.h"
#include "app/media_controller.h"
#include "app/settings_store.h"
#include "app_fixture.h"

#include <QAction>
#include <QSignalSpy>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <gst/gst.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using morlanex::SettingsRecord;
using morlanex::testing::ScriptedPeer;

class TestDevicesEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        morlanex::testing::useTestDevices();
        gst_init(nullptr, nullptr);
    }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new TestDevicesEnvironment);

int deviceIndex(morlanex::DeviceKind kind, const std::string &name) {
    const std::vector<morlanex::CatalogEntry> entries = morlanex::listDevices(kind);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].name == name) return int(i);
    }
    return -1;
}

// Waits with the event loop running.
bool waitFor(const std::function<bool()> &done, int timeoutMs) { return QTest::qWaitFor(done, timeoutMs); }

// A client process that runs while the window's event loop keeps going.
struct Client {
    QProcess process;
    void start(const QString &program, const QStringList &args) {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, args);
    }
    bool finish(int timeoutMs) {
        return waitFor([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    }
    QString output() { return QString::fromUtf8(process.readAll()); }

    // An ffmpeg viewer of `url` that decodes and throws away (`more` before the output),
    // writing its progress to a file of its own.
    void startViewer(const QString &url, const QStringList &more = {}) {
        start(QStringLiteral("ffmpeg"),
              QStringList{QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
                          QStringLiteral("-progress"), progress.filePath(QStringLiteral("progress")),
                          QStringLiteral("-stats_period"), QStringLiteral("0.2"), QStringLiteral("-i"), url} +
                  more + QStringList{QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    }
    // The frames the viewer has decoded, by its last progress line.
    int framesDecoded() const {
        QFile f(progress.filePath(QStringLiteral("progress")));
        const QByteArray text = "\n" + (f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
        const qsizetype at = text.lastIndexOf("\nframe=");
        return at < 0 ? 0 : text.mid(at + 7, text.indexOf('\n', at + 1) - at - 7).toInt();
    }
    QTemporaryDir progress;
};

class MainWindowMedia : public morlanex::testing::AppFixture {
protected:
    void SetUp() override { open(); }
    void open(const std::string &directory = {}) {
        openApp(directory);
        video = child<morlanex::VideoWindowWidget>(form, "videoArea");
        ASSERT_NE(video, nullptr);
        camera = deviceIndex(morlanex::DeviceKind::Camera, "Morlanex Test Camera");
        microphone = deviceIndex(morlanex::DeviceKind::Microphone, "Morlanex Test Microphone");
        ASSERT_GE(camera, 0);
        ASSERT_GE(microphone, 0);
        setRecord(camera, microphone, 1, 2);
    }
    // The same windows again, registering with a scripted directory on `address`.
    void reopenWithDirectory(const std::string &address) {
        app.reset();
        port20 = std::make_unique<ScriptedPeer>(address, 20);
        open(address);
    }

    void setRecord(int videoIndex, int audioIndex, int pin, int level) {
        SettingsRecord r;
        r[SettingsRecord::ChannelName] = "Test channel";
        r[SettingsRecord::ChannelDescription] = "A test";
        r[SettingsRecord::VideoDeviceIndex] = std::to_string(videoIndex);
        r[SettingsRecord::AudioDeviceIndex] = std::to_string(audioIndex);
        r[SettingsRecord::AudioInputPin] = std::to_string(pin);
        r[SettingsRecord::CompressionLevel] = std::to_string(level);
        r[SettingsRecord::Keywords] = "k";
        app->settings->setRecord(r);
    }
    QString url() { return QStringLiteral("http://127.0.0.1:%1/").arg(form->media().servingPort()); }
    QColor colour(const char *name) { return label(name)->palette().color(QPalette::WindowText); }
    QAction *action(const char *name) { return child<QAction>(form, name); }

    void startPreview() {
        form->startPreview();
        ASSERT_TRUE(form->previewActive());
        ASSERT_TRUE(waitFor([this] { return video->isVisible() && video->framesPainted() > 3; }, 20000));
    }
    // Live through a scripted directory on `address`; the media side switches to live encoding.
    void goLive(const std::string &address) {
        reopenWithDirectory(address);
        startPreview();
        goLiveThrough(*port20);
    }
    QString probe(int timeoutMs = 30000) {
        Client c;
        c.start(QStringLiteral("ffprobe"),
                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_streams"), url()});
        if (!c.finish(timeoutMs)) c.process.kill();
        c.finish(2000);
        return c.output();
    }

    std::unique_ptr<ScriptedPeer> port20;
    morlanex::VideoWindowWidget *video = nullptr;
    int camera = -1;
    int microphone = -1;
};

TEST_F(MainWindowMedia, PreviewShowsTheVideoOnlyAfterPauseCompletedThenPaintsFrames) {
    form->startPreview();
    // The pause-completed event is queued to this thread: nothing shows before it runs.
    EXPECT_FALSE(video->isVisible());
    EXPECT_TRUE(label("videoPlaceholder")->isVisible());
    EXPECT_TRUE(form->previewActive());
    EXPECT_TRUE(child(form, "modeBadge")->isVisible());
    EXPECT_EQ(label("modeLabel")->text(), QStringLiteral("預覽模式"));
    EXPECT_EQ(colour("modeLabel"), QColor(255, 255, 255));
    EXPECT_EQ(label("channelNameLabel")->text(), QStringLiteral("Test channel"));

    ASSERT_TRUE(waitFor([this] { return video->isVisible(); }, 10000));
    ASSERT_TRUE(waitFor([this] { return video->framesPainted() > 10; }, 20000));
    EXPECT_EQ(video->size(), QSize(320, 240));
    const QImage frame = video->currentFrame();
    EXPECT_EQ(frame.size(), QSize(320, 240));
    // The ball pattern: a white ball on black, painted into the widget (above the camera's
    // time code, a band of black and white cells along the bottom twelfth).
    const QImage grabbed = video->grab().toImage();
    const int above = grabbed.height() - grabbed.height() / 12;
    int bright = 0, samples = 0;
    for (int y = 0; y < above; y += 4)
        for (int x = 0; x < grabbed.width(); x += 4, ++samples) bright += qGray(grabbed.pixel(x, y)) > 128;
    EXPECT_GT(bright, 0) << "the painted picture is all dark";
    EXPECT_LT(bright, samples / 2) << "the painted picture is not the camera's";
}

TEST_F(MainWindowMedia, PreviewStartAppliesTheLevelWithoutWritingTheFile) {
    setRecord(camera, microphone, 1, 3);
    const QString file = config.programFolder() + QStringLiteral("/DefData.ini");
    QFile before(file);
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    const QByteArray bytes = before.readAll();
    before.close();

    startPreview();
    EXPECT_TRUE(action("levelLowAction")->isChecked());
    EXPECT_EQ(form->media().writerProfile(), morlanex::wmp_V80_768Video);
    QFile after(file);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), bytes);

    // An unknown level leaves the check and the profile alone.
    setRecord(camera, microphone, 1, 7);
    form->applyStoredSettings();
    EXPECT_TRUE(action("levelLowAction")->isChecked());
    EXPECT_EQ(form->media().writerProfile(), morlanex::wmp_V80_768Video);
}

TEST_F(MainWindowMedia, TheLevelMenuChecksStoresAndWritesLineSix) {
    startPreview();
    action("levelMediumAction")->trigger();
    EXPECT_TRUE(action("levelMediumAction")->isChecked());
    EXPECT_FALSE(action("levelAutomaticAction")->isChecked());
    EXPECT_EQ(form->media().writerProfile(), morlanex::wmp_V80_256Video);
    const SettingsRecord stored = morlanex::readSettings(morlanex::settingsFilePath());
    SettingsRecord expected = app->settings->record();
    EXPECT_EQ(stored[SettingsRecord::CompressionLevel], "2");
    EXPECT_EQ(stored[SettingsRecord::ChannelName], expected[SettingsRecord::ChannelName]);
    EXPECT_EQ(stored[SettingsRecord::Keywords], expected[SettingsRecord::Keywords]);
    // The working value is read back only at the next preview start.
    EXPECT_EQ(form->channelSetup().setup().compressionLevel, 2);  // the record said 2 at this preview start
    action("levelAutomaticAction")->trigger();
    EXPECT_EQ(form->channelSetup().setup().compressionLevel, 2);
    EXPECT_EQ(form->media().writerProfile(), morlanex::wmp_V80_100768VideoMBR);
    // Only the level menu writes the file; a preview start that follows does not.
    setRecord(camera, microphone, 1, 2);
    form->startPreview();
    EXPECT_EQ(morlanex::readSettings(morlanex::settingsFilePath())[SettingsRecord::CompressionLevel], "0");
}

TEST_F(MainWindowMedia, LiveStreamIsReadFromLocalPortWithTheLiveStatus) {
    goLive("127.0.0.191");
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("視訊直播已啟動"));
    EXPECT_EQ(colour("statusLabel"), QColor(255, 0, 0));
    EXPECT_EQ(label("modeLabel")->text(), QStringLiteral("現場直播"));
    EXPECT_EQ(colour("modeLabel"), QColor(255, 255, 0));
    EXPECT_TRUE(child(form, "modeBadge")->isVisible());
    EXPECT_TRUE(label("liveLampBlinking")->isVisible());
    ASSERT_TRUE(waitFor([this] { return video->isVisible(); }, 10000));

    const QString streams = probe();
    EXPECT_TRUE(streams.contains(QStringLiteral("codec_name=wmv2"))) << streams.toStdString();
    EXPECT_TRUE(streams.contains(QStringLiteral("codec_name=wmav2"))) << streams.toStdString();
    EXPECT_TRUE(streams.contains(QStringLiteral("width=320")));
    EXPECT_TRUE(streams.contains(QStringLiteral("height=240")));
}

TEST_F(MainWindowMedia, TwoViewersThenStopClosesThemAndARestartServesAgain) {
    goLive("127.0.0.192");
    Client first, second;
    first.startViewer(url());
    second.startViewer(url());
    // Both keep decoding while live: two seconds of pictures each.
    EXPECT_TRUE(waitFor([&] { return first.framesDecoded() >= 30 && second.framesDecoded() >= 30; }, 20000));
    EXPECT_EQ(first.process.state(), QProcess::Running) << first.output().toStdString();
    EXPECT_EQ(second.process.state(), QProcess::Running) << second.output().toStdString();

    QSignalSpy reopened(&form->media(), &MediaController::pictureShowing);
    ASSERT_TRUE(session().stopBroadcast());
    ticks.advanceSeconds(3);
    EXPECT_FALSE(form->liveActive());
    EXPECT_TRUE(video->isVisible()) << "the picture went away while stopping";
    const bool firstEnded = first.finish(15000);
    const bool secondEnded = second.finish(15000);
    if (!firstEnded) first.process.kill();
    if (!secondEnded) second.process.kill();
    first.finish(2000);
    second.finish(2000);
    EXPECT_TRUE(firstEnded) << "a viewer stayed connected after the stop";
    EXPECT_TRUE(secondEnded) << "a viewer stayed connected after the stop";

    // The preview went on through the stop, without the camera opened again; going live
    // again serves on the same port.
    EXPECT_TRUE(form->previewActive());
    EXPECT_TRUE(video->isVisible());
    EXPECT_EQ(reopened.count(), 0) << "stopping opened the camera again";
    goLiveThrough(*port20);
    EXPECT_TRUE(probe().contains(QStringLiteral("codec_name=wmv2")));
}

TEST_F(MainWindowMedia, APortThatCannotBeOpenedIsSaidInRed) {
    // Something else already listens on the serving port.
    morlanex::UniqueFd squatter(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    socklen_t length = sizeof a;
    ASSERT_EQ(bind(squatter.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(squatter.get(), 1), 0);
    ASSERT_EQ(getsockname(squatter.get(), reinterpret_cast<sockaddr *>(&a), &length), 0);
    const int port = ntohs(a.sin_port);
    reopenWithDirectory("127.0.0.193");
    form->media().setServingPort(port);
    startPreview();
    ASSERT_TRUE(session().startBroadcast());
    ticks.advanceSeconds(5);
    auto registration = receiveLive(*port20);
    ASSERT_TRUE(registration);
    morlanex::DirectoryMessage ok;
    ok.writeCommand(morlanex::cmd::LinkKerfOk);
    port20->send("127.0.0.1", registration->fromPort, ok);
    ASSERT_TRUE(morlanex::testing::waitUntil(
        [&] { return label("statusLabel")->text() == QStringLiteral("無法開啟直播連接埠 %1").arg(port); }));
    squatter.reset();
    EXPECT_EQ(colour("statusLabel"), QColor(255, 0, 0));
    EXPECT_FALSE(form->liveActive()) << "nobody can watch: no false live";
    EXPECT_TRUE(form->previewActive());
}

TEST_F(MainWindowMedia, ClosingTheDeviceResetsTheDisplay) {
    startPreview();
    answerMessageBox(form, QMessageBox::Yes);
    action("closeDeviceAction")->trigger();
    EXPECT_FALSE(form->previewActive());
    EXPECT_FALSE(video->isVisible());
    EXPECT_FALSE(child(form, "modeBadge")->isVisible());
    EXPECT_TRUE(label("videoPlaceholder")->isVisible());
    EXPECT_EQ(label("channelNameLabel")->text(), QString());
    EXPECT_EQ(label("totalViewsLabel")->text(), QStringLiteral("0"));
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("視訊裝置已關閉"));
    EXPECT_EQ(colour("statusLabel"), QColor(255, 0, 0));
    const quint64 painted = video->framesPresented();
    // Real time: that nothing more comes takes waiting (a frame already on its way would show).
    QTest::qWait(300);
    EXPECT_EQ(video->framesPresented(), painted);
}

TEST_F(MainWindowMedia, APulledOutCameraIsReportedAndTheVideoHidden) {
    startPreview();
    const morlanex::DeviceHandle handle = morlanex::deviceAt(morlanex::DeviceKind::Camera, camera);
    GstDevice *device = handle.get();
    g_object_set(device, "present", FALSE, nullptr);
    const bool hidden = waitFor([this] { return !video->isVisible(); }, 10000);
    g_object_set(device, "present", TRUE, nullptr);
    EXPECT_TRUE(hidden);
    EXPECT_EQ(colour("statusLabel"), QColor(255, 0, 0));
    // Which device, in the program's language; GStreamer's words go to the log.
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("視訊裝置已中斷: Morlanex Test Camera"));
}

TEST_F(MainWindowMedia, ACameraLostWhileLiveEndsTheBroadcastAndOneClickBringsThePreviewBack) {
    goLive("127.0.0.194");
    Client viewer;
    viewer.startViewer(url());
    ASSERT_TRUE(waitFor([&] { return viewer.framesDecoded() > 0; }, 20000)) << "the viewer decodes nothing";
    const morlanex::DeviceHandle handle = morlanex::deviceAt(morlanex::DeviceKind::Camera, camera);
    g_object_set(handle.get(), "present", FALSE, nullptr);
    const auto notice = morlanex::testing::receiveCommandLive(*port20, morlanex::cmd::CloseKerf, 2000);
    const bool viewerEnded = viewer.finish(15000);
    if (!viewerEnded) viewer.process.kill();
    EXPECT_TRUE(notice) << "the directory was not told within 2 s";
    EXPECT_TRUE(viewerEnded) << "the viewer's stream hangs";
    EXPECT_FALSE(form->liveActive());
    EXPECT_EQ(label("statusLabel")->text(), QStringLiteral("視訊裝置已中斷: Morlanex Test Camera"));
    EXPECT_EQ(colour("statusLabel"), QColor(255, 0, 0));

    // Plugged in again: one click on the action button and the picture is back.
    g_object_set(handle.get(), "present", TRUE, nullptr);
    clickAction("setupOverlay");
    EXPECT_TRUE(form->previewActive());
    EXPECT_TRUE(waitFor([this] { return video->isVisible() && video->framesPainted() > 3; }, 20000));
}

TEST_F(MainWindowMedia, ACameraLostBeforeTheAcknowledgementGoesBackToPreviewWithACloseNotice) {
    reopenWithDirectory("127.0.0.196");
    startPreview();
    ASSERT_TRUE(session().startBroadcast());
    ticks.advanceSeconds(5);
    auto registration = receiveLive(*port20);
    ASSERT_TRUE(registration);
    const morlanex::DeviceHandle handle = morlanex::deviceAt(morlanex::DeviceKind::Camera, camera);
    g_object_set(handle.get(), "present", FALSE, nullptr);
    const bool said = waitFor(
        [this] { return label("statusLabel")->text() == QStringLiteral("視訊裝置已中斷: Morlanex Test Camera"); },
        10000);
    morlanex::DirectoryMessage ok;
    ok.writeCommand(morlanex::cmd::LinkKerfOk);
    ok.writeText(morlanex::Field::ChannelId, "808");
    port20->send("127.0.0.1", registration->fromPort, ok);
    const auto notice = morlanex::testing::receiveCommandLive(*port20, morlanex::cmd::CloseKerf);
    g_object_set(handle.get(), "present", TRUE, nullptr);
    EXPECT_TRUE(said);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->readText(morlanex::Field::ChannelId), "808");
    EXPECT_FALSE(form->liveActive());
    EXPECT_FALSE(form->busy()) << "commands work again";
    EXPECT_EQ(colour("statusLabel"), QColor(255, 0, 0));
}

TEST_F(MainWindowMedia, AMicrophoneLostWhileLiveLeavesTheStreamDecodingWithAWarning) {
    goLive("127.0.0.195");
    Client viewer;
    viewer.startViewer(url(), {QStringLiteral("-t"), QStringLiteral("8")});
    ASSERT_TRUE(waitFor([&] { return viewer.framesDecoded() > 0; }, 20000)) << "the viewer decodes nothing";
    const morlanex::DeviceHandle handle = morlanex::deviceAt(morlanex::DeviceKind::Microphone, microphone);
    g_object_set(handle.get(), "present", FALSE, nullptr);
    const bool warned = waitFor(
        [this] {
            return label("statusLabel")->text() ==
                QStringLiteral("音訊裝置已中斷: Morlanex Test Microphone,改以靜音直播");
        },
        10000);
    g_object_set(handle.get(), "present", TRUE, nullptr);
    EXPECT_TRUE(warned) << label("statusLabel")->text().toStdString();
    const bool ended = viewer.finish(30000);
    if (!ended) viewer.process.kill();
    EXPECT_TRUE(ended);
    EXPECT_EQ(viewer.process.exitCode(), 0);
    EXPECT_EQ(viewer.output(), QString()) << "the stream did not decode cleanly";
    EXPECT_TRUE(form->liveActive()) << "the broadcast goes on";
}

TEST_F(MainWindowMedia, WizardListsComeFromTheDevices) {
    WizardHost &host = form->wizardHost();
    const DeviceList videos = host.videoDevices();
    ASSERT_GT(videos.names.size(), camera);
    EXPECT_EQ(videos.names[camera], QStringLiteral("Morlanex Test Camera"));
    EXPECT_EQ(videos.current, 0);
    EXPECT_EQ(form->channelSetup().setup().devices.camera, 0);

    // From an empty list the devices are listed anew, the first one current.
    const AudioChoices listed = host.audioChoices(DeviceList{}, 3);
    ASSERT_GT(listed.devices.names.size(), microphone);
    EXPECT_EQ(listed.devices.names[microphone], QStringLiteral("Morlanex Test Microphone"));
    EXPECT_EQ(listed.devices.current, 0);
    EXPECT_EQ(listed.choice.microphone, 0);

    // The test microphone's one recording line, chosen from the list the user sees.
    const AudioChoices mic = host.audioChoices(DeviceList{listed.devices.names, microphone}, microphone);
    EXPECT_EQ(mic.lines, QStringList{QStringLiteral("Microphone")});
    EXPECT_EQ(mic.linePins, QStringList{QStringLiteral("1")});
    EXPECT_TRUE(mic.linesEnabled);
    EXPECT_TRUE(mic.linesCaptionEnabled);
    EXPECT_EQ(mic.choice.recordingLine, 1);
    EXPECT_EQ(mic.choice.listedMicrophone, "Morlanex Test Microphone");
}

}  // namespace
