// Device listing, media-type descriptions, recording lines and the profile table.
#include <gtest/gtest.h>
#include <gst/gst.h>

#include <string>

#include "media/capture_media.h"
#include "media/media_error.h"
#include "media/media_type.h"
#include "media/pin_list.h"
#include "media/profiles.h"
#include "media/sys_dev_enum.h"

namespace morlanex {
namespace {

std::string describe(const char *caps)
{
    GstCaps *c = gst_caps_from_string(caps);
    std::string text = describeMediaType(gst_caps_get_structure(c, 0));
    gst_caps_unref(c);
    return text;
}

int indexOf(const TSysDevEnum &e, const std::string &name)
{
    for (int i = 0; i < e.DeviceCount(); ++i) {
        if (e.DeviceName(i).friendlyName == name)
            return i;
    }
    return -1;
}

TEST(MediaTypeDescription, VideoFormatsReadLikeTheCaptureDriver)
{
    EXPECT_EQ(describe("video/x-raw,format=RGB,width=320,height=240,framerate=30/1"),
              "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RGB 320X240, 24 bits");
    EXPECT_EQ(describe("video/x-raw,format=I420,width=640,height=480"),
              "Major Type: Video - Sub Type: I420 Format: VideoInfo I420 640X480, 12 bits");
    EXPECT_EQ(describe("video/x-raw,format=YUY2,width=320,height=240"),
              "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 320X240, 16 bits");
    EXPECT_EQ(describe("video/x-raw,format=BGRx,width=160,height=120"),
              "Major Type: Video - Sub Type: RGB32 Format: VideoInfo RGB 160X120, 32 bits");
    EXPECT_EQ(describe("image/jpeg,width=1280,height=720"),
              "Major Type: Video - Sub Type: MJPG Format: VideoInfo MJPG 1280X720, 24 bits");
}

TEST(MediaTypeDescription, OnlyTwentyFourBitRgbIsCalledRgb24)
{
    for (const char *format : {"BGR", "RGBx", "xRGB", "BGRA", "RGB16", "RGB15"}) {
        const std::string caps = std::string("video/x-raw,format=") + format + ",width=320,height=240";
        EXPECT_EQ(describe(caps.c_str()).find("RGB24"), std::string::npos) << format;
    }
}

TEST(MediaTypeDescription, AudioFormatsAndUnknownMajorType)
{
    EXPECT_EQ(describe("audio/x-raw,format=S16LE,rate=44100,channels=2,layout=interleaved"),
              "Major Type: Audio - Sub Type: PCM Format: WaveFormatEx: PCM, 44100 Hertz, 16 Bits, 2 Channels");
    EXPECT_EQ(describe("audio/x-raw,format=F32LE,rate=22050,channels=1,layout=interleaved"),
              "Major Type: Audio - Sub Type: IEEE_FLOAT Format: WaveFormatEx: IEEE_FLOAT, 22050 Hertz, 32 Bits, 1 Channels");
    EXPECT_EQ(describe("application/x-foo"), "Major Type: UnKnown  - Sub Type: x-foo Format: ");
}

TEST(MediaTypeList, RangesSettleOnUsualValuesAndOrderIsKept)
{
    GstCaps *caps = gst_caps_from_string(
        "video/x-raw,format=YUY2,width=[160,1920],height=[120,1080],framerate=[1/1,60/1];"
        "video/x-raw,format=RGB,width=320,height=240");
    TEnumMediaType list;
    list.fillFromCaps(caps);
    gst_caps_unref(caps);
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.description(0),
              "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 320X240, 16 bits");
    EXPECT_TRUE(gst_caps_is_fixed(list.item(0).caps()));
    EXPECT_EQ(CaptureMedia::findRgb24At320x240(list), 1);
    list.fillFromCaps(nullptr);
    EXPECT_EQ(list.count(), 0);
}

TEST(MediaTypeList, Rgb24SearchTakesTheFirst320x240Only)
{
    GstCaps *caps = gst_caps_from_string(
        "video/x-raw,format=RGB,width=640,height=480;"
        "video/x-raw,format=BGR,width=320,height=240;"
        "video/x-raw,format=RGB,width=320,height=240,framerate=15/1;"
        "video/x-raw,format=RGB,width=320,height=240,framerate=30/1");
    TEnumMediaType list;
    list.fillFromCaps(caps);
    gst_caps_unref(caps);
    EXPECT_EQ(CaptureMedia::findRgb24At320x240(list), 2);

    GstCaps *none = gst_caps_from_string("video/x-raw,format=I420,width=320,height=240");
    list.fillFromCaps(none);
    gst_caps_unref(none);
    EXPECT_EQ(CaptureMedia::findRgb24At320x240(list), -1);
}

TEST(DeviceEnumerator, ListsTheTestDevicesInTheirCategories)
{
    TSysDevEnum e(DeviceCategory::VideoInput);
    const int camera = indexOf(e, "Morlanex Test Camera");
    ASSERT_GE(camera, 0);
    EXPECT_EQ(indexOf(e, "Morlanex Test Microphone"), -1);
    EXPECT_EQ(e.DeviceName(camera).classId, "morlanextestdeviceprovider");
    EXPECT_NE(e.DeviceMoniker(camera), nullptr);
    EXPECT_EQ(e.DeviceMoniker(-1), nullptr);
    EXPECT_EQ(e.DeviceMoniker(e.DeviceCount()), nullptr);
    EXPECT_THROW(e.DeviceName(e.DeviceCount()), std::out_of_range);

    e.SelectCategory(DeviceCategory::AudioInput);
    EXPECT_EQ(e.category(), DeviceCategory::AudioInput);
    EXPECT_GE(indexOf(e, "Morlanex Test Microphone"), 0);
    EXPECT_EQ(indexOf(e, "Morlanex Test Camera"), -1);
}

TEST(DeviceEnumerator, OrderIsTheSameOnEveryListing)
{
    TSysDevEnum first(DeviceCategory::AudioInput);
    TSysDevEnum second(DeviceCategory::AudioInput);
    ASSERT_EQ(first.DeviceCount(), second.DeviceCount());
    for (int i = 0; i < first.DeviceCount(); ++i) {
        EXPECT_EQ(first.DeviceName(i).friendlyName, second.DeviceName(i).friendlyName);
        if (i > 0) {  // sorted by provider
            EXPECT_LE(first.DeviceName(i - 1).classId, first.DeviceName(i).classId);
        }
    }
}

TEST(TestCamera, OffersRgb320x240AmongOtherFormatsButNotFirst)
{
    CaptureMedia media;
    TSysDevEnum e(DeviceCategory::VideoInput);
    media.Filter1.setBaseFilter(e.DeviceMoniker(indexOf(e, "Morlanex Test Camera")));
    media.FilterGraph2.setActive(true);
    TPinList pins(media.Filter1);
    ASSERT_EQ(pins.count(), 1);
    EXPECT_EQ(pins.info(0).direction, PinDirection::Output);
    media.VideoFormatList.fillFromPin(pins.pin(0));
    media.FilterGraph2.setActive(false);

    ASSERT_EQ(media.VideoFormatList.count(), 4);
    EXPECT_EQ(media.VideoFormatList.description(0),
              "Major Type: Video - Sub Type: I420 Format: VideoInfo I420 640X480, 12 bits");
    EXPECT_EQ(media.VideoFormatList.description(1),
              "Major Type: Video - Sub Type: YUY2 Format: VideoInfo YUY2 320X240, 16 bits");
    EXPECT_EQ(media.VideoFormatList.description(2),
              "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RGB 320X240, 24 bits");
    EXPECT_EQ(media.VideoFormatList.description(3),
              "Major Type: Video - Sub Type: RGB24 Format: VideoInfo RGB 160X120, 24 bits");
    EXPECT_EQ(CaptureMedia::findRgb24At320x240(media.VideoFormatList), 2);
}

TEST(PinList, AFilterWithoutDeviceHasNoPins)
{
    CaptureMedia media;
    media.FilterGraph2.setActive(true);
    EXPECT_THROW(TPinList pins(media.Filter2), MediaError);
    media.FilterGraph2.setActive(false);
}

TEST(WebCamProc, ListsCamerasAndEmptiesTheAudioList)
{
    CaptureMedia media;
    media.lists.comboBox2 = {"stale"};
    media.lists.comboBox2Index = 0;
    media.GetWebCamProc();
    ASSERT_FALSE(media.lists.comboBox1.empty());
    EXPECT_NE(std::find(media.lists.comboBox1.begin(), media.lists.comboBox1.end(),
                        "Morlanex Test Camera"), media.lists.comboBox1.end());
    EXPECT_EQ(media.lists.comboBox1Index, 0);
    EXPECT_EQ(media.VideoDeviceIndex, 0);
    EXPECT_TRUE(media.lists.comboBox2.empty());
    EXPECT_EQ(media.DeviceEnumerator->category(), DeviceCategory::VideoInput);
}

TEST(WebCamProc, NoCameraGivesThePlaceholderEntry)
{
    TSysDevEnum e(DeviceCategory::VideoInput);
    if (e.DeviceCount() != 1)
        GTEST_SKIP() << "a real camera is attached";
    GstDevice *camera = e.DeviceMoniker(0).get();
    g_object_set(camera, "present", FALSE, nullptr);
    CaptureMedia media;
    media.GetWebCamProc();
    g_object_set(camera, "present", TRUE, nullptr);
    ASSERT_EQ(media.lists.comboBox1.size(), 1u);
    EXPECT_EQ(media.lists.comboBox1[0], "您未安裝任何視訊擷取裝置");
    EXPECT_EQ(media.lists.comboBox1Index, 0);
    EXPECT_EQ(media.VideoDeviceIndex, -1);
}

TEST(WavProc, ListsOnlyTheEnabledSecondLineOfTheTestMicrophone)
{
    CaptureMedia media;
    media.GetWebCamProc();
    media.AudioDeviceIndex = 5;
    media.AudioInputPin = -1;
    media.GetWAVProc();

    ASSERT_FALSE(media.lists.comboBox2.empty());
    EXPECT_EQ(media.lists.comboBox2[0], "Morlanex Test Microphone");
    EXPECT_EQ(media.AudioDeviceIndex, 0);
    EXPECT_EQ(media.lists.comboBox2Index, 0);
    EXPECT_EQ(media.ListedAudioDevice, "Morlanex Test Microphone");
    ASSERT_EQ(media.lists.comboBox3.size(), 1u);
    EXPECT_EQ(media.lists.comboBox3[0], "Microphone");
    ASSERT_EQ(media.lists.comboBox4.size(), 1u);
    EXPECT_EQ(media.lists.comboBox4[0], "1");
    EXPECT_EQ(media.lists.comboBox3Index, 0);
    EXPECT_TRUE(media.lists.comboBox3Enabled);
    EXPECT_TRUE(media.lists.label8Enabled);
    EXPECT_EQ(media.AudioInputPin, 1);
    EXPECT_FALSE(media.FilterGraph2.Active());

    ASSERT_EQ(media.AudioFormatList.count(), 4);
    EXPECT_EQ(media.AudioFormatList.description(0),
              "Major Type: Audio - Sub Type: PCM Format: WaveFormatEx: PCM, 44100 Hertz, 16 Bits, 2 Channels");
}

TEST(WavProc, LeavesARunningPreviewGraphInactive)
{
    CaptureMedia media;
    media.GetWebCamProc();
    media.GetWAVProc();
    media.startPreviewGraph();
    ASSERT_TRUE(media.FilterGraph2.Active());
    media.GetWAVProc();
    EXPECT_FALSE(media.FilterGraph2.Active());
    EXPECT_EQ(media.AudioInputPin, 1);
}

TEST(WavProc, KeepsTheChosenDeviceWhenTheListIsFilled)
{
    CaptureMedia media;
    media.GetWebCamProc();
    media.GetWAVProc();
    // A second run with the list filled keeps the device chosen in it.
    media.lists.comboBox3 = {"x"};
    media.GetWAVProc();
    EXPECT_EQ(media.AudioDeviceIndex, 0);
    EXPECT_EQ(media.lists.comboBox3, std::vector<std::string>{"Microphone"});
}

TEST(WavProc, AVanishedMicrophoneIsReportedAndLeavesTheGraphInactive)
{
    CaptureMedia media;
    media.GetWebCamProc();
    TSysDevEnum e(DeviceCategory::AudioInput);
    GstDevice *mic = e.DeviceMoniker(indexOf(e, "Morlanex Test Microphone")).get();
    media.GetWAVProc();  // fills the list while the device is there
    media.lists.comboBox2Index = indexOf(e, "Morlanex Test Microphone");
    media.AudioDeviceIndex = media.lists.comboBox2Index;
    // Unplugged after listing: the enumerator no longer has it, or cannot open it.
    g_object_set(mic, "present", FALSE, nullptr);
    bool threw = false;
    try {
        media.GetWAVProc();
    } catch (const MediaError &error) {
        threw = true;
        EXPECT_STREQ(error.what(), "Interface not supported");
    }
    g_object_set(mic, "present", TRUE, nullptr);
    EXPECT_FALSE(media.FilterGraph2.Active());
    if (!threw) {  // no audio device left at all: the lists stay empty and disabled
        EXPECT_TRUE(media.lists.comboBox3.empty());
    }
}

TEST(Profiles, TableHasTheTwentySevenProfilesInOrder)
{
    const auto &table = profileTable();
    for (int i = 0; i < kProfileCount; ++i)
        EXPECT_EQ(static_cast<int>(table[static_cast<size_t>(i)].value), i);
    EXPECT_EQ(table[3].enumName, "wmp_V80_100768VideoMBR");
    EXPECT_EQ(table[3].guid, "{5BDB5A0E-979E-47D3-9596-73B386392A55}");
    EXPECT_EQ(table[26].enumName, "wmp_V80_BESTVBRVideo");
    EXPECT_FALSE(profileInfo(27).has_value());
    EXPECT_FALSE(profileInfo(-1).has_value());
}

TEST(Profiles, GuidsReadBackThroughTheTable)
{
    EXPECT_EQ(profileFromGuid("{A2E300B4-C2D4-4FC0-B5DD-ECBD948DC0DF}"), 7);
    EXPECT_EQ(profileFromGuid("bbc75500-33d2-4466-b86b-122b201cc9ae"), 8);
    EXPECT_EQ(profileFromGuid("{74D01102-E71A-4820-8F0D-13D2EC1E4872}"), 10);
    EXPECT_EQ(profileFromGuid("{00000000-0000-0000-0000-000000000000}"), 255);
    EXPECT_EQ(profileFromGuid(""), 255);
    for (const ProfileInfo &p : profileTable())
        EXPECT_EQ(profileFromGuid(p.guid), p.value) << p.enumName;
}

TEST(Profiles, LevelsMapToTheirProfilesAndSettingsFitTheBandwidth)
{
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

TEST(Profiles, ApplyLevelSetsTheWriterProfileOnlyForKnownLevels)
{
    CaptureMedia media;
    EXPECT_EQ(media.ASFWriter1.Profile(), wmp_V80_100768VideoMBR);
    EXPECT_TRUE(media.applyLevel(3));
    EXPECT_EQ(media.ASFWriter1.Profile(), wmp_V80_768Video);
    EXPECT_FALSE(media.applyLevel(7));
    EXPECT_EQ(media.ASFWriter1.Profile(), wmp_V80_768Video);
    EXPECT_TRUE(media.applyLevel(2));
    EXPECT_EQ(media.ASFWriter1.Profile(), wmp_V80_256Video);
}

}  // namespace
}  // namespace morlanex
