// Public header. Windows Media 8 system profiles and the four compression levels.
//
// TWMPofiles8 numbers the 27 profiles 0..26 in the order of the profile enumeration;
// each has the GUID and official name that Windows Media players know it by. The
// compression level (0 automatic, 1 high, 2 medium, 3 low compression) picks one of
// four profiles, and each of those four has the encoder numbers we stream it with.
//
// Pure data and look-ups: any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace morlanex {

enum TWMPofiles8 : uint8_t {
    wmp_V80_255VideoPDA, wmp_V80_150VideoPDA, wmp_V80_28856VideoMBR, wmp_V80_100768VideoMBR,
    wmp_V80_288100VideoMBR, wmp_V80_288Video, wmp_V80_56Video, wmp_V80_100Video,
    wmp_V80_256Video, wmp_V80_384Video, wmp_V80_768Video, wmp_V80_700NTSCVideo,
    wmp_V80_1400NTSCVideo, wmp_V80_384PALVideo, wmp_V80_700PALVideo, wmp_V80_288MonoAudio,
    wmp_V80_288StereoAudio, wmp_V80_32StereoAudio, wmp_V80_48StereoAudio,
    wmp_V80_64StereoAudio, wmp_V80_96StereoAudio, wmp_V80_128StereoAudio,
    wmp_V80_288VideoOnly, wmp_V80_56VideoOnly, wmp_V80_FAIRVBRVideo, wmp_V80_HIGHVBRVideo,
    wmp_V80_BESTVBRVideo,
};

inline constexpr int kProfileCount = 27;
// What a profile GUID outside the table reads back as.
inline constexpr int kUnknownProfile = 255;

struct ProfileInfo {
    TWMPofiles8 value;
    std::string_view enumName;  // "wmp_V80_100Video"
    std::string_view guid;      // "{A2E300B4-C2D4-4FC0-B5DD-ECBD948DC0DF}"
    std::string_view officialName;
};

const std::array<ProfileInfo, kProfileCount> &profileTable();

// Profile by index; nullopt when outside 0..26.
std::optional<ProfileInfo> profileInfo(int index);

// Index of the profile with this GUID (braces and letter case optional), else kUnknownProfile.
int profileFromGuid(std::string_view guid);

// Level (0..3) to profile; nullopt for any other level.
std::optional<TWMPofiles8> profileForLevel(int level);

// What the encoders are told for one profile.
struct EncoderSettings {
    int videoBitrate;      // bits per second
    int videoFramesPerSecond;
    int width;             // always the capture size, 320 x 240
    int height;
    int audioBitrate;      // bits per second
    int audioSampleRate;   // Hz
    int audioChannels;
    int keyFrameSeconds;
    bool multipleBitRate;  // the profile has several video renditions; we send the top one
};

// Encoder numbers of the four profiles the levels use; nullopt for the others.
std::optional<EncoderSettings> encoderSettings(TWMPofiles8 profile);

}  // namespace morlanex
