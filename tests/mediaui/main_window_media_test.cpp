// The main window's media side with the test devices: the preview painted in VideoWindow1,
// the live stream read back by real clients from http://127.0.0.1:<LocalPort>/, the levels
// menu and the wizard's device lists.
#include "app/form1.h"
#include "app/morlanex_app.h"
#include "app/settings_file.h"
#include "dialogs/form2.h"
#include "media/profiles.h"
#include "media/device_catalog.h"
#include "media/video_window_widget.h"
#include "media_test_env.h"
#include "widget_helpers.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <gtest/gtest.h>

#include <gst/gst.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using morlanex::SettingsRecord;

class TestDevicesEnvironment : public ::testing::Environment {
public:
    void SetUp() override { morlanex::testing::useTestDevices(); }
};
const auto *const kEnvironment = ::testing::AddGlobalTestEnvironment(new TestDevicesEnvironment);

int deviceIndex(morlanex::DeviceKind kind, const std::string &name)
{
    const std::vector<morlanex::CatalogEntry> entries = morlanex::listDevices(kind);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].name == name)
            return int(i);
    }
    return -1;
}

// Waits with the event loop running.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QTest::qWait(20);
    }
    return true;
}

// A client process that runs while the window's event loop keeps going.
struct Client {
    QProcess process;
    void start(const QString &program, const QStringList &args)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, args);
    }
    bool finish(int timeoutMs)
    {
        return waitFor([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    }
    QString output() { return QString::fromUtf8(process.readAll()); }
};

class MainWindowMedia : public ::testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<MorlanexApp>();
        form = app->Form1.get();
        video = child<morlanex::VideoWindowWidget>(form, "VideoWindow1");
        ASSERT_NE(video, nullptr);
        camera = deviceIndex(morlanex::DeviceKind::Camera, "Morlanex Test Camera");
        microphone = deviceIndex(morlanex::DeviceKind::Microphone, "Morlanex Test Microphone");
        ASSERT_GE(camera, 0);
        ASSERT_GE(microphone, 0);
        setRecord(camera, microphone, 1, 2);
    }
    void TearDown() override { app.reset(); }

    void setRecord(int videoIndex, int audioIndex, int pin, int level)
    {
        SettingsRecord &r = app->Form2->SettingsRecord;
        r[SettingsRecord::ChannelName] = "Test channel";
        r[SettingsRecord::ChannelDescription] = "A test";
        r[SettingsRecord::VideoDeviceIndex] = std::to_string(videoIndex);
        r[SettingsRecord::AudioDeviceIndex] = std::to_string(audioIndex);
        r[SettingsRecord::AudioInputPin] = std::to_string(pin);
        r[SettingsRecord::CompressionLevel] = std::to_string(level);
        r[SettingsRecord::Keywords] = "k";
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/").arg(form->localPort()); }
    QLabel *label(const char *name) { return child<QLabel>(form, name); }
    QColor colour(const char *name) { return label(name)->palette().color(QPalette::WindowText); }

    void startPreview()
    {
        form->BeginPreview();
        ASSERT_TRUE(form->previewActive());
        ASSERT_TRUE(waitFor([this] { return video->isVisible() && video->framesPainted() > 3; }, 20000));
    }
    void goLive()
    {
        startPreview();
        form->MixBoth();
        ASSERT_TRUE(form->liveActive());
    }
    QString probe(int timeoutMs = 30000)
    {
        Client c;
        c.start(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"),
                                            QStringLiteral("-show_streams"), url()});
        if (!c.finish(timeoutMs))
            c.process.kill();
        c.finish(2000);
        return c.output();
    }

    IsolatedConfig config;
    std::unique_ptr<MorlanexApp> app;
    TForm1 *form = nullptr;
    morlanex::VideoWindowWidget *video = nullptr;
    int camera = -1;
    int microphone = -1;
};

TEST_F(MainWindowMedia, PreviewShowsTheVideoOnlyAfterPauseCompletedThenPaintsFrames)
{
    form->BeginPreview();
    // The pause-completed event is queued to this thread: nothing shows before it runs.
    EXPECT_FALSE(video->isVisible());
    EXPECT_TRUE(label("Image8")->isVisible());
    EXPECT_TRUE(form->previewActive());
    EXPECT_TRUE(child(form, "Panel1")->isVisible());
    EXPECT_EQ(label("Label10")->text(), QStringLiteral("預覽模式"));
    EXPECT_EQ(colour("Label10"), QColor(255, 255, 255));
    EXPECT_EQ(label("Label4")->text(), QStringLiteral("Test channel"));

    ASSERT_TRUE(waitFor([this] { return video->isVisible(); }, 10000));
    ASSERT_TRUE(waitFor([this] { return video->framesPainted() > 10; }, 20000));
    EXPECT_EQ(video->size(), QSize(320, 240));
    const QImage frame = video->currentFrame();
    EXPECT_EQ(frame.size(), QSize(320, 240));
    // The ball pattern: a white ball on black, painted into the widget.
    const QImage grabbed = video->grab().toImage();
    int bright = 0;
    for (int y = 0; y < grabbed.height(); y += 4)
        for (int x = 0; x < grabbed.width(); x += 4)
            bright += qGray(grabbed.pixel(x, y)) > 128;
    EXPECT_GT(bright, 0) << "the painted picture is all dark";
    EXPECT_LT(bright, 80 * 60 / 2) << "the painted picture is not the camera's";
}

TEST_F(MainWindowMedia, PreviewStartAppliesTheLevelWithoutWritingTheFile)
{
    setRecord(camera, microphone, 1, 3);
    const QString file = config.programFolder() + QStringLiteral("/DefData.ini");
    QFile before(file);
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    const QByteArray bytes = before.readAll();
    before.close();

    startPreview();
    EXPECT_TRUE(form->N17->isChecked());
    EXPECT_EQ(form->writerProfile(), morlanex::wmp_V80_768Video);
    QFile after(file);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), bytes);

    // An unknown level leaves the check and the profile alone.
    form->CompressionLevel = 7;
    form->applyCompressionLevel();
    EXPECT_TRUE(form->N17->isChecked());
    EXPECT_EQ(form->writerProfile(), morlanex::wmp_V80_768Video);
}

TEST_F(MainWindowMedia, TheLevelMenuChecksStoresAndWritesLineSix)
{
    startPreview();
    form->N16->trigger();
    EXPECT_TRUE(form->N16->isChecked());
    EXPECT_FALSE(form->N19->isChecked());
    EXPECT_EQ(form->writerProfile(), morlanex::wmp_V80_256Video);
    EXPECT_FALSE(form->SaveLevelRequest);
    const SettingsRecord stored = morlanex::readSettings(morlanex::settingsFilePath());
    SettingsRecord expected = app->Form2->SettingsRecord;
    EXPECT_EQ(stored[SettingsRecord::CompressionLevel], "2");
    EXPECT_EQ(stored[SettingsRecord::ChannelName], expected[SettingsRecord::ChannelName]);
    EXPECT_EQ(stored[SettingsRecord::Keywords], expected[SettingsRecord::Keywords]);
    // The working value is read back only at the next preview start.
    EXPECT_EQ(form->CompressionLevel, 2);  // the record said 2 at this preview start
    form->N19->trigger();
    EXPECT_EQ(form->CompressionLevel, 2);
    EXPECT_EQ(form->writerProfile(), morlanex::wmp_V80_100768VideoMBR);
}

TEST_F(MainWindowMedia, LiveStreamIsReadFromLocalPortWithTheLiveStatus)
{
    goLive();
    EXPECT_EQ(label("Label7")->text(), QStringLiteral("視訊直播已啟動"));
    EXPECT_EQ(colour("Label7"), QColor(255, 0, 0));
    EXPECT_EQ(label("Label10")->text(), QStringLiteral("現場直播"));
    EXPECT_EQ(colour("Label10"), QColor(255, 255, 0));
    EXPECT_TRUE(child(form, "Panel1")->isVisible());
    EXPECT_TRUE(label("Image5")->isVisible());
    ASSERT_TRUE(waitFor([this] { return video->isVisible(); }, 10000));

    const QString streams = probe();
    EXPECT_TRUE(streams.contains(QStringLiteral("codec_name=wmv2"))) << streams.toStdString();
    EXPECT_TRUE(streams.contains(QStringLiteral("codec_name=wmav2"))) << streams.toStdString();
    EXPECT_TRUE(streams.contains(QStringLiteral("width=320")));
    EXPECT_TRUE(streams.contains(QStringLiteral("height=240")));
}

TEST_F(MainWindowMedia, TwoViewersThenStopClosesThemAndARestartServesAgain)
{
    goLive();
    Client first, second;
    const QStringList args = {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
                              QStringLiteral("-i"), url(), QStringLiteral("-f"), QStringLiteral("null"),
                              QStringLiteral("-")};
    first.start(QStringLiteral("ffmpeg"), args);
    second.start(QStringLiteral("ffmpeg"), args);
    // Both keep decoding while live.
    QTest::qWait(3000);
    EXPECT_EQ(first.process.state(), QProcess::Running) << first.output().toStdString();
    EXPECT_EQ(second.process.state(), QProcess::Running) << second.output().toStdString();

    form->StopSendWebCamData();
    EXPECT_FALSE(form->liveActive());
    const bool firstEnded = first.finish(15000);
    const bool secondEnded = second.finish(15000);
    if (!firstEnded)
        first.process.kill();
    if (!secondEnded)
        second.process.kill();
    first.finish(2000);
    second.finish(2000);
    EXPECT_TRUE(firstEnded) << "a viewer stayed connected after the stop";
    EXPECT_TRUE(secondEnded) << "a viewer stayed connected after the stop";

    // The stop resumed the preview; going live again serves on the same port.
    EXPECT_TRUE(form->previewActive());
    ASSERT_TRUE(waitFor([this] { return video->isVisible(); }, 10000));
    form->MixBoth();
    EXPECT_TRUE(probe().contains(QStringLiteral("codec_name=wmv2")));
}

TEST_F(MainWindowMedia, APortThatCannotBeOpenedIsSaidInRed)
{
    // Something else already listens on the serving port.
    const int squatter = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    socklen_t length = sizeof a;
    ASSERT_EQ(bind(squatter, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(squatter, 1), 0);
    ASSERT_EQ(getsockname(squatter, reinterpret_cast<sockaddr *>(&a), &length), 0);
    const int port = ntohs(a.sin_port);
    form->setWriterPort(port);
    goLive();
    close(squatter);
    EXPECT_EQ(label("Label7")->text(), QStringLiteral("無法開啟直播連接埠 %1").arg(port));
    EXPECT_EQ(colour("Label7"), QColor(255, 0, 0));
}

TEST_F(MainWindowMedia, ClosingTheDeviceResetsTheDisplay)
{
    startPreview();
    form->AbortWebCamDATA();
    EXPECT_FALSE(form->previewActive());
    EXPECT_FALSE(video->isVisible());
    EXPECT_FALSE(child(form, "Panel1")->isVisible());
    EXPECT_TRUE(label("Image8")->isVisible());
    EXPECT_EQ(label("Label4")->text(), QString());
    EXPECT_EQ(label("Label9")->text(), QStringLiteral("0"));
    EXPECT_EQ(label("Label7")->text(), QStringLiteral("視訊裝置已關閉"));
    EXPECT_EQ(colour("Label7"), QColor(255, 0, 0));
    const quint64 painted = video->framesPresented();
    QTest::qWait(300);
    EXPECT_EQ(video->framesPresented(), painted);
}

TEST_F(MainWindowMedia, APulledOutCameraIsReportedAndTheVideoHidden)
{
    startPreview();
    const morlanex::DeviceHandle handle = morlanex::deviceAt(morlanex::DeviceKind::Camera, camera);
    GstDevice *device = handle.get();
    g_object_set(device, "present", FALSE, nullptr);
    const bool hidden = waitFor([this] { return !video->isVisible(); }, 10000);
    g_object_set(device, "present", TRUE, nullptr);
    EXPECT_TRUE(hidden);
    EXPECT_EQ(colour("Label7"), QColor(255, 0, 0));
    // The device's own message, not the generic one that follows it.
    EXPECT_EQ(label("Label7")->text(), QStringLiteral("The capture device was removed."));
}

TEST_F(MainWindowMedia, WizardListsComeFromTheDevices)
{
    TForm2 *wizard = app->Form2;
    form->GetWebCamProc();
    ASSERT_GT(wizard->ComboBox1->count(), camera);
    EXPECT_EQ(wizard->ComboBox1->itemText(camera), QStringLiteral("Morlanex Test Camera"));
    EXPECT_EQ(wizard->ComboBox1->currentIndex(), 0);
    EXPECT_EQ(wizard->ComboBox2->count(), 0);
    EXPECT_EQ(form->VideoDeviceIndex, 0);

    form->AudioDeviceIndex = 3;
    form->GetWAVProc();
    EXPECT_EQ(wizard->ComboBox2->itemText(microphone), QStringLiteral("Morlanex Test Microphone"));
    EXPECT_EQ(form->AudioDeviceIndex, 0);
    EXPECT_EQ(wizard->ComboBox2->currentIndex(), 0);
    if (microphone == 0) {
        ASSERT_EQ(wizard->ComboBox3->count(), 1);
        EXPECT_EQ(wizard->ComboBox3->itemText(0), QStringLiteral("Microphone"));
        EXPECT_EQ(wizard->ComboBox4->itemText(0), QStringLiteral("1"));
        EXPECT_TRUE(wizard->ComboBox3->isEnabled());
        EXPECT_TRUE(wizard->Label8->isEnabled());
        EXPECT_EQ(form->AudioInputPin, 1);
        EXPECT_EQ(form->ListedAudioDevice, QStringLiteral("Morlanex Test Microphone"));
    }
}

}  // namespace
