// Device listing, the formats chosen from caps, recording lines and the profile table.
#include <gtest/gtest.h>
#include <gst/gst.h>

#include <algorithm>
#include <string>

#include "media/capture_media.h"
#include "media/device_catalog.h"
#include "media/profiles.h"

namespace morlanex {
namespace {

int indexOf(const std::vector<CatalogEntry> &entries, const std::string &name) {
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].name == name) return int(i);
    }
    return -1;
}

std::string rgbChoice(const char *offered) {
    GstCaps *caps = gst_caps_from_string(offered);
    std::string chosen = firstRgb320x240(caps);
    gst_caps_unref(caps);
    return chosen;
}

bool sameCaps(const std::string &a, const char *b) {
    GstCaps *x = gst_caps_from_string(a.c_str());
    GstCaps *y = gst_caps_from_string(b);
    const bool same = x && y && gst_caps_is_equal(x, y);
    if (x) gst_caps_unref(x);
    if (y) gst_caps_unref(y);
    return same;
}

TEST(CameraFormat, TheFirstRgb320x240IsChosenFixed) {
    const std::string chosen = rgbChoice("video/x-raw,format=RGB,width=640,height=480;"
                                         "video/x-raw,format=BGR,width=320,height=240;"
                                         "video/x-raw,format=RGB,width=320,height=240,framerate=15/1;"
                                         "video/x-raw,format=RGB,width=320,height=240,framerate=30/1");
    EXPECT_TRUE(sameCaps(chosen, "video/x-raw,format=RGB,width=320,height=240,framerate=15/1")) << chosen;
    // A range that holds 320 x 240 offers it; the rate settles on 30.
    const std::string ranged = rgbChoice("video/x-raw,format=YUY2,width=320,height=240;"
                                         "video/x-raw,format=RGB,width=[160,1920],height=[120,1080],"
                                         "framerate=[1/1,60/1]");
    EXPECT_TRUE(sameCaps(ranged, "video/x-raw,format=RGB,width=320,height=240,framerate=30/1")) << ranged;
}

TEST(CameraFormat, NoRgb320x240KeepsTheCurrentFormat) {
    EXPECT_EQ(rgbChoice("video/x-raw,format=I420,width=320,height=240;"
                        "video/x-raw,format=RGB,width=160,height=120;image/jpeg,width=320,height=240"),
              "");
    EXPECT_EQ(firstRgb320x240(nullptr), "");
}

TEST(DeviceCatalog, ListsTheTestDevicesInTheirKinds) {
    const std::vector<CatalogEntry> cameras = listDevices(DeviceKind::Camera);
    const int camera = indexOf(cameras, "Morlanex Test Camera");
    ASSERT_GE(camera, 0);
    EXPECT_EQ(indexOf(cameras, "Morlanex Test Microphone"), -1);
    EXPECT_EQ(cameras[size_t(camera)].provider, "morlanextestdeviceprovider");
    EXPECT_NE(deviceAt(DeviceKind::Camera, camera), nullptr);
    EXPECT_EQ(deviceAt(DeviceKind::Camera, -1), nullptr);
    EXPECT_EQ(deviceAt(DeviceKind::Camera, int(cameras.size())), nullptr);

    const std::vector<CatalogEntry> microphones = listDevices(DeviceKind::Microphone);
    EXPECT_GE(indexOf(microphones, "Morlanex Test Microphone"), 0);
    EXPECT_EQ(indexOf(microphones, "Morlanex Test Camera"), -1);
}

TEST(DeviceCatalog, OrderIsTheSameOnEveryListing) {
    const std::vector<CatalogEntry> first = listDevices(DeviceKind::Microphone);
    const std::vector<CatalogEntry> second = listDevices(DeviceKind::Microphone);
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].name, second[i].name);
        if (i > 0) {  // sorted by provider
            EXPECT_LE(first[i - 1].provider, first[i].provider);
        }
    }
}

TEST(TestCamera, OffersRgb320x240AmongOtherFormatsButNotFirst) {
    const std::vector<CatalogEntry> cameras = listDevices(DeviceKind::Camera);
    GstDevice *camera = cameras.at(size_t(indexOf(cameras, "Morlanex Test Camera"))).device.get();
    EXPECT_TRUE(sameCaps(firstFormat(camera),
                         "video/x-raw,format=I420,width=640,height=480,framerate=30/1,pixel-aspect-ratio=1/1"));
    GstCaps *offered = gst_device_get_caps(camera);
    EXPECT_TRUE(sameCaps(firstRgb320x240(offered),
                         "video/x-raw,format=RGB,width=320,height=240,framerate=30/1,pixel-aspect-ratio=1/1"));
    gst_caps_unref(offered);
    EXPECT_TRUE(offersFormat(camera, "video/x-raw,format=YUY2,width=320,height=240"));
    EXPECT_FALSE(offersFormat(camera, "video/x-raw,format=YUY2,width=640,height=480"));
}

TEST(CameraList, ListsCamerasAndEmptiesTheMicrophoneList) {
    CaptureMedia media;
    media.lists.microphones = {"stale"};
    media.lists.microphoneIndex = 0;
    media.listCameras();
    ASSERT_FALSE(media.lists.cameras.empty());
    EXPECT_NE(std::find(media.lists.cameras.begin(), media.lists.cameras.end(), "Morlanex Test Camera"),
              media.lists.cameras.end());
    EXPECT_EQ(media.lists.cameraIndex, 0);
    EXPECT_EQ(media.choice.camera, 0);
    EXPECT_TRUE(media.lists.microphones.empty());
}

TEST(CameraList, NoCameraGivesThePlaceholderEntry) {
    const std::vector<CatalogEntry> cameras = listDevices(DeviceKind::Camera);
    if (cameras.size() != 1) GTEST_SKIP() << "a real camera is attached";
    g_object_set(cameras[0].device.get(), "present", FALSE, nullptr);
    CaptureMedia media;
    media.listCameras();
    g_object_set(cameras[0].device.get(), "present", TRUE, nullptr);
    ASSERT_EQ(media.lists.cameras.size(), 1u);
    EXPECT_EQ(media.lists.cameras[0], "您未安裝任何視訊擷取裝置");
    EXPECT_EQ(media.lists.cameraIndex, 0);
    EXPECT_EQ(media.choice.camera, -1);
}

TEST(MicrophoneList, ListsOnlyTheEnabledSecondLineOfTheTestMicrophone) {
    CaptureMedia media;
    media.listCameras();
    media.choice.microphone = 5;
    media.choice.recordingLine = -1;
    media.listMicrophones();

    ASSERT_FALSE(media.lists.microphones.empty());
    EXPECT_EQ(media.lists.microphones[0], "Morlanex Test Microphone");
    EXPECT_EQ(media.choice.microphone, 0);
    EXPECT_EQ(media.lists.microphoneIndex, 0);
    EXPECT_EQ(media.choice.listedMicrophone, "Morlanex Test Microphone");
    EXPECT_EQ(media.lists.lines, std::vector<std::string>{"Microphone"});
    EXPECT_EQ(media.lists.lineNumbers, std::vector<int>{1});
    EXPECT_EQ(media.lists.lineIndex, 0);
    EXPECT_TRUE(media.lists.linesEnabled);
    EXPECT_EQ(media.choice.recordingLine, 1);
    EXPECT_FALSE(media.pipeline.built());
}

TEST(MicrophoneList, StopsARunningPreview) {
    CaptureMedia media;
    media.listCameras();
    media.listMicrophones();
    media.startPreview();
    ASSERT_TRUE(media.pipeline.built());
    media.listMicrophones();
    EXPECT_FALSE(media.pipeline.built());
    EXPECT_EQ(media.choice.recordingLine, 1);
}

TEST(MicrophoneList, KeepsTheChosenDeviceWhenTheListIsFilled) {
    CaptureMedia media;
    media.listCameras();
    media.listMicrophones();
    // A second run with the list filled keeps the device chosen in it.
    media.lists.lines = {"x"};
    media.listMicrophones();
    EXPECT_EQ(media.choice.microphone, 0);
    EXPECT_EQ(media.lists.lines, std::vector<std::string>{"Microphone"});
}

TEST(MicrophoneList, AVanishedMicrophoneIsReportedAndLeavesThePipelineEmpty) {
    CaptureMedia media;
    media.listCameras();
    const std::vector<CatalogEntry> microphones = listDevices(DeviceKind::Microphone);
    GstDevice *mic = microphones.at(size_t(indexOf(microphones, "Morlanex Test Microphone"))).device.get();
    media.listMicrophones();  // fills the list while the device is there
    media.lists.microphoneIndex = indexOf(microphones, "Morlanex Test Microphone");
    media.choice.microphone = media.lists.microphoneIndex;
    // Unplugged after listing: the catalog no longer has it, or cannot open it.
    g_object_set(mic, "present", FALSE, nullptr);
    std::string error;
    try {
        media.listMicrophones();
    } catch (const MediaError &e) {
        error = e.what();
    }
    g_object_set(mic, "present", TRUE, nullptr);
    EXPECT_FALSE(media.pipeline.built());
    if (microphones.size() == 1) {  // no microphone left at all: the lines stay empty and disabled
        EXPECT_EQ(error, "");
        EXPECT_TRUE(media.lists.lines.empty());
        EXPECT_FALSE(media.lists.linesEnabled);
    } else {
        EXPECT_EQ(error, "Interface not supported");
    }
}

TEST(Profiles, LevelsMapToTheirProfilesAndSettingsFitTheBandwidth) {
    EXPECT_EQ(profileForLevel(0), wmp_V80_100768VideoMBR);
    EXPECT_EQ(profileForLevel(1), wmp_V80_100Video);
    EXPECT_EQ(profileForLevel(2), wmp_V80_256Video);
    EXPECT_EQ(profileForLevel(3), wmp_V80_768Video);
    EXPECT_FALSE(profileForLevel(4).has_value());
    EXPECT_FALSE(profileForLevel(-1).has_value());
    const int totals[] = {768000, 100000, 256000, 768000};
    for (int level = 0; level < 4; ++level) {
        std::optional<EncoderSettings> s = encoderSettings(*profileForLevel(level));
        ASSERT_TRUE(s.has_value());
        EXPECT_LE(s->videoBitrate + s->audioBitrate, totals[level]) << level;
        EXPECT_EQ(s->multipleBitRate, level == 0);
        if (level > 0) {
            EXPECT_EQ(s->videoBitrate + s->audioBitrate, totals[level]) << level;
        }
        EXPECT_EQ(s->width, 320);
        EXPECT_EQ(s->height, 240);
    }
    EXPECT_FALSE(encoderSettings(wmp_V80_288MonoAudio).has_value());
}

TEST(Profiles, ApplyLevelSetsTheProfileOnlyForKnownLevels) {
    CaptureMedia media;
    EXPECT_EQ(media.profile(), wmp_V80_100768VideoMBR);
    EXPECT_TRUE(media.applyLevel(3));
    EXPECT_EQ(media.profile(), wmp_V80_768Video);
    EXPECT_FALSE(media.applyLevel(7));
    EXPECT_EQ(media.profile(), wmp_V80_768Video);
    EXPECT_TRUE(media.applyLevel(2));
    EXPECT_EQ(media.profile(), wmp_V80_256Video);
}

}  // namespace
}  // namespace morlanex
