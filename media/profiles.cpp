#include "media/profiles.h"

#include <cctype>

namespace morlanex {

namespace {

constexpr std::array<ProfileInfo, kProfileCount> kProfiles{{
    {wmp_V80_255VideoPDA, "wmp_V80_255VideoPDA", "{FEEDBCDF-3FAC-4C93-AC0D-47941EC72C0B}",
     "Windows Media Video 8 for Color Pocket PCs (225 Kbps)"},
    {wmp_V80_150VideoPDA, "wmp_V80_150VideoPDA", "{AEE16DFA-2C14-4A2F-AD3F-A3034031784F}",
     "Windows Media Video 8 for Color Pocket PCs (150 Kbps)"},
    {wmp_V80_28856VideoMBR, "wmp_V80_28856VideoMBR", "{D66920C4-C21F-4EC8-A0B4-95CF2BD57FC4}",
     "Windows Media Video 8 for Dial-up Modems or Single-channel ISDN (28.8 to 56 Kbps)"},
    {wmp_V80_100768VideoMBR, "wmp_V80_100768VideoMBR", "{5BDB5A0E-979E-47D3-9596-73B386392A55}",
     "Windows Media Video 8 for LAN, Cable Modem, or xDSL (100 to 768 Kbps)"},
    {wmp_V80_288100VideoMBR, "wmp_V80_288100VideoMBR", "{D8722C69-2419-4B36-B4E0-6E17B60564E5}",
     "Windows Media Video 8 for Dial-up Modems or LAN (28.8 to 100 Kbps)"},
    {wmp_V80_288Video, "wmp_V80_288Video", "{3DF678D9-1352-4186-BBF8-74F0C19B6AE2}",
     "Windows Media Video 8 for Dial-up Modems (28.8 Kbps)"},
    {wmp_V80_56Video, "wmp_V80_56Video", "{254E8A96-2612-405C-8039-F0BF725CED7D}",
     "Windows Media Video 8 for Dial-up Modems (56 Kbps)"},
    {wmp_V80_100Video, "wmp_V80_100Video", "{A2E300B4-C2D4-4FC0-B5DD-ECBD948DC0DF}",
     "Windows Media Video 8 for Local Area Network (100 Kbps)"},
    {wmp_V80_256Video, "wmp_V80_256Video", "{BBC75500-33D2-4466-B86B-122B201CC9AE}",
     "Windows Media Video 8 for Local Area Network (256 Kbps)"},
    {wmp_V80_384Video, "wmp_V80_384Video", "{29B00C2B-09A9-48BD-AD09-CDAE117D1DA7}",
     "Windows Media Video 8 for Local Area Network (384 Kbps)"},
    {wmp_V80_768Video, "wmp_V80_768Video", "{74D01102-E71A-4820-8F0D-13D2EC1E4872}",
     "Windows Media Video 8 for Local Area Network (768 Kbps)"},
    {wmp_V80_700NTSCVideo, "wmp_V80_700NTSCVideo", "{C8C2985F-E5D9-4538-9E23-9B21BF78F745}",
     "Windows Media Video 8 for Broadband (NTSC, 700 Kbps)"},
    {wmp_V80_1400NTSCVideo, "wmp_V80_1400NTSCVideo", "{931D1BEE-617A-4BCD-9905-CCD0786683EE}",
     "Windows Media Video 8 for Broadband (NTSC, 1400 Kbps)"},
    {wmp_V80_384PALVideo, "wmp_V80_384PALVideo", "{9227C692-AE62-4F72-A7EA-736062D0E21E}",
     "Windows Media Video 8 for Broadband (PAL, 384 Kbps)"},
    {wmp_V80_700PALVideo, "wmp_V80_700PALVideo", "{EC298949-639B-45E2-96FD-4AB32D5919C2}",
     "Windows Media Video 8 for Broadband (PAL, 700 Kbps)"},
    {wmp_V80_288MonoAudio, "wmp_V80_288MonoAudio", "{7EA3126D-E1BA-4716-89AF-F65CEE0C0C67}",
     "Windows Media Audio 8 for Dial-up Modem (Mono, 28.8 Kbps)"},
    {wmp_V80_288StereoAudio, "wmp_V80_288StereoAudio", "{7E4CAB5C-35DC-45BB-A7C0-19B28070D0CC}",
     "Windows Media Audio 8 for Dial-up Modem (FM Radio Stereo, 28.8 Kbps)"},
    {wmp_V80_32StereoAudio, "wmp_V80_32StereoAudio", "{60907F9F-B352-47E5-B210-0EF1F47E9F9D}",
     "Windows Media Audio 8 for Dial-up Modem (32 Kbps)"},
    {wmp_V80_48StereoAudio, "wmp_V80_48StereoAudio", "{5EE06BE5-492B-480A-8A8F-12F373ECF9D4}",
     "Windows Media Audio 8 for Dial-up Modem (Near CD quality, 48 Kbps)"},
    {wmp_V80_64StereoAudio, "wmp_V80_64StereoAudio", "{09BB5BC4-3176-457F-8DD6-3CD919123E2D}",
     "Windows Media Audio 8 for Dial-up Modem (CD quality, 64 Kbps)"},
    {wmp_V80_96StereoAudio, "wmp_V80_96StereoAudio", "{1FC81930-61F2-436F-9D33-349F2A1C0F10}",
     "Windows Media Audio 8 for ISDN (Better than CD quality, 96 Kbps)"},
    {wmp_V80_128StereoAudio, "wmp_V80_128StereoAudio", "{407B9450-8BDC-4EE5-88B8-6F527BD941F2}",
     "Windows Media Audio 8 for ISDN (Better than CD quality, 128 Kbps)"},
    {wmp_V80_288VideoOnly, "wmp_V80_288VideoOnly", "{8C45B4C7-4AEB-4F78-A5EC-88420B9DADEF}",
     "Windows Media Video 8 for Dial-up Modem (No audio, 28.8 Kbps)"},
    {wmp_V80_56VideoOnly, "wmp_V80_56VideoOnly", "{6E2A6955-81DF-4943-BA50-68A986A708F6}",
     "Windows Media Video 8 for Dial-up Modem (No audio, 56 Kbps)"},
    {wmp_V80_FAIRVBRVideo, "wmp_V80_FAIRVBRVideo", "{3510A862-5850-4886-835F-D78EC6A64042}",
     "Windows Media 8 Fair Quality based VBR for Broadband"},
    {wmp_V80_HIGHVBRVideo, "wmp_V80_HIGHVBRVideo", "{0F10D9D3-3B04-4FB0-A3D3-88D4AC854ACC}",
     "Windows Media 8 High Quality based VBR for Broadband"},
    {wmp_V80_BESTVBRVideo, "wmp_V80_BESTVBRVideo", "{048439BA-309C-440E-9CB4-3DCCA3756423}",
     "Windows Media 8 Best Quality based VBR for Broadband"},
}};

// Compare GUID texts ignoring braces and letter case.
bool sameGuid(std::string_view a, std::string_view b)
{
    auto strip = [](std::string_view s) {
        if (s.size() >= 2 && s.front() == '{' && s.back() == '}')
            s = s.substr(1, s.size() - 2);
        return s;
    };
    a = strip(a);
    b = strip(b);
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

const std::array<ProfileInfo, kProfileCount> &profileTable()
{
    return kProfiles;
}

std::optional<ProfileInfo> profileInfo(int index)
{
    if (index < 0 || index >= kProfileCount)
        return std::nullopt;
    return kProfiles[static_cast<size_t>(index)];
}

int profileFromGuid(std::string_view guid)
{
    for (const ProfileInfo &p : kProfiles) {
        if (sameGuid(p.guid, guid))
            return p.value;
    }
    return kUnknownProfile;
}

std::optional<TWMPofiles8> profileForLevel(int level)
{
    switch (level) {
    case 0: return wmp_V80_100768VideoMBR;
    case 1: return wmp_V80_100Video;
    case 2: return wmp_V80_256Video;
    case 3: return wmp_V80_768Video;
    default: return std::nullopt;
    }
}

std::optional<EncoderSettings> encoderSettings(TWMPofiles8 profile)
{
    // The profiles' own per-stream numbers are not published; these honour each
    // profile's total bandwidth with the encoders we have.
    switch (profile) {
    case wmp_V80_100Video:
        return EncoderSettings{76000, 10, 320, 240, 24000, 22050, 1, 3, false};
    case wmp_V80_256Video:
        return EncoderSettings{224000, 15, 320, 240, 32000, 22050, 2, 3, false};
    case wmp_V80_768Video:
        return EncoderSettings{704000, 30, 320, 240, 64000, 44100, 2, 3, false};
    case wmp_V80_100768VideoMBR:
        // Top rendition of 68/224/704 kbps; the audio stream is shared by all renditions.
        return EncoderSettings{704000, 30, 320, 240, 32000, 22050, 2, 3, true};
    default:
        return std::nullopt;
    }
}

}  // namespace morlanex
