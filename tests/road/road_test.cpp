// The whole road as a user walks it, with the test camera and microphone and the real directory
// daemon: wizard, settings file, preview, live, viewers, stop, and the last settings reused.
#include "road_walk.h"

#include "app/morlanex_app.h"
#include "app/main_window.h"
#include "session/broadcast_session.h"
#include "server_harness.h"
#include "widget_helpers.h"

#include <QDir>
#include <QFile>

#include <cstdio>
#include <gtest/gtest.h>

using namespace morlanex::testing;

namespace {

TEST(Road, FromTheWizardToLiveAndBack) {
    TempDir registry;
    setenv("GST_PLUGIN_PATH", (std::string(std::getenv("MORLANEX_BUILD_DIR")) + "/media/testdevices").c_str(), 1);
    setenv("GST_REGISTRY", (registry.path() / "registry.bin").c_str(), 1);
    setenv("GST_REGISTRY_FORK", "no", 1);

    TempDir data;
    DirectoryProcess directory("127.0.0.61", data.path() / "directory.sqlite");
    ASSERT_TRUE(directory.start()) << directory.log();

    IsolatedConfig config;
    QDir().mkpath(config.programFolder());
    QFile conf(config.programFolder() + QStringLiteral("/Morlanex.conf"));
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write("[Directory]\nAddress=127.0.0.61\n[Network]\nPortMapping=off\n");
    conf.close();

    MorlanexApp app;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(app.mainWindow.get()));
    app.mainWindow->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(app.mainWindow.get()));

    RoadOptions options;
    options.directoryAddress = "127.0.0.61";
    options.settingsFile = config.programFolder() + QStringLiteral("/DefData.ini");
    options.say = [](const QString &line) { std::fprintf(stderr, "%s\n", line.toUtf8().constData()); };
    const RoadReport r = walkTheRoad(app, options);
    EXPECT_EQ(r.failure, QString());

    // The wizard: the test devices, the second recording line (the only enabled one).
    ASSERT_FALSE(r.videoDevices.isEmpty());
    EXPECT_EQ(r.recordingLines.size(), 1);
    EXPECT_EQ(r.chosenLinePin, QStringLiteral("1"));
    // Trimmed texts, CP950, CR LF; automatic compression is level 0.
    EXPECT_EQ(r.settingsBytes,
              QByteArray("\xaa\xfc\xa9\xfa\xaa\xba\xae\xc8\xb9\x43\xc0\x57\xb9\x44\r\n"
                         "\xa8\x43\xa4\xd1\xb1\x61\xb1\x7a\xac\xdd\xa5\x78\xc6\x57\xa6\x55\xa6\x61\xaa\xba\xb4\xba\xc2"
                         "\x49\xbb\x50\xac\xfc\xad\xb9\r\n"
                         "0\r\n0\r\n1\r\n0\r\n"
                         "\xa6\xdb\xa9\xe7\x20\xb4\xba\xc2\x49\x20\xb6\xba\xa9\xb1\r\n"));
    EXPECT_EQ(r.nameCaption, QStringLiteral("阿明的旅遊頻道"));
    EXPECT_EQ(r.descriptionCaption, QStringLiteral("每天帶您看台灣各地的景點與美食"));
    EXPECT_EQ(r.popupText, QStringLiteral("按此啟動直播"));
    EXPECT_TRUE(r.popupShowing);
    EXPECT_TRUE(r.previewPainting);

    // Live, watched, stopped.
    EXPECT_EQ(r.statusWhenLive, QStringLiteral("視訊直播已啟動"));
    EXPECT_EQ(r.localPort, app.mainWindow->session().servingPort());
    EXPECT_TRUE(r.ffprobe.contains(QStringLiteral("codec_name=wmv2"))) << r.ffprobe.toStdString();
    EXPECT_TRUE(r.ffprobe.contains(QStringLiteral("codec_name=wmav2"))) << r.ffprobe.toStdString();
    EXPECT_TRUE(r.viewerGotUCanSee);
    EXPECT_EQ(r.cumulativeAfterJoin, QStringLiteral("1"));
    EXPECT_EQ(r.viewersWhileWatched, QStringLiteral("1"));
    EXPECT_EQ(r.viewersAfterLeave, QStringLiteral("0"));
    EXPECT_EQ(r.statusAfterStop, QStringLiteral("視訊直播已關閉"));
    EXPECT_TRUE(r.previewAfterStop);
    EXPECT_TRUE(r.reusedLastSettings);

    const std::string log = directory.log();
    EXPECT_NE(log.find("LinkKERF_CAM"), std::string::npos) << log;
    EXPECT_NE(log.find("CloseKERF"), std::string::npos) << log;
}

}  // namespace
