// Public header. The Windows Media 8 system profiles and the four compression levels.
//
// The 27 profiles are numbered 0..26 in the order of the profile enumeration. The compression
// level (0 automatic, 1 high, 2 medium, 3 low compression) picks one of four of them, and each
// of those four has the encoder numbers we stream it with.
//
// Pure data and look-ups: any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace morlanex {

enum Wm8Profile : uint8_t {
    wmp_V80_255VideoPDA,
    wmp_V80_150VideoPDA,
    wmp_V80_28856VideoMBR,
    wmp_V80_100768VideoMBR,
    wmp_V80_288100VideoMBR,
    wmp_V80_288Video,
    wmp_V80_56Video,
    wmp_V80_100Video,
    wmp_V80_256Video,
    wmp_V80_384Video,
    wmp_V80_768Video,
    wmp_V80_700NTSCVideo,
    wmp_V80_1400NTSCVideo,
    wmp_V80_384PALVideo,
    wmp_V80_700PALVideo,
    wmp_V80_288MonoAudio,
    wmp_V80_288StereoAudio,
    wmp_V80_32StereoAudio,
    wmp_V80_48StereoAudio,
    wmp_V80_64StereoAudio,
    wmp_V80_96StereoAudio,
    wmp_V80_128StereoAudio,
    wmp_V80_288VideoOnly,
    wmp_V80_56VideoOnly,
    wmp_V80_FAIRVBRVideo,
    wmp_V80_HIGHVBRVideo,
    wmp_V80_BESTVBRVideo,
};

// Level (0..3) to profile; nullopt for any other level.
std::optional<Wm8Profile> profileForLevel(int level);

struct VideoRendition {
    int bitrate;  // bits per second
    int framesPerSecond;
};

// What the encoders are told for one profile.
struct EncoderSettings {
    int videoBitrate;  // bits per second
    int videoFramesPerSecond;
    int width;  // always the capture size, 320 x 240
    int height;
    int audioBitrate;  // bits per second
    int audioSampleRate;  // Hz
    int audioChannels;
    int keyFrameSeconds;
    bool multipleBitRate;  // the profile has several video renditions
    // Every video rendition, lowest first; the last is videoBitrate at videoFramesPerSecond.
    std::vector<VideoRendition> renditions;
};

// Encoder numbers of the four profiles the levels use; nullopt for the others.
std::optional<EncoderSettings> encoderSettings(Wm8Profile profile);

// The WebRTC viewers' VP8 renditions, the top first: the level's own, and for a level of
// 192 kbit/s or more a low one that a 120 kbit/s link carries together with the sound and the
// packets' headers (about 103 kbit/s at most, see docs/webrtc.md). libvpx keeps to so low a
// rate only on a smaller picture, so the low one is a quarter of the picture at up to 15 fps.
struct WebrtcRendition {
    uint32_t bitrate;  // bits per second
    int width;
    int height;
    int frameStep;  // encodes every frameStep-th of the level's pictures
};
constexpr uint32_t kWebrtcLowFromBitrate = 192'000;
constexpr uint32_t kWebrtcLowVideoBitrate = 40'000;
constexpr int kWebrtcLowWidth = 160;
constexpr int kWebrtcLowHeight = 120;
constexpr int kWebrtcLowFramesPerSecond = 15;
// One Opus encode for every WebRTC viewer, so it is sized for the slowest link's budget.
constexpr int kWebrtcOpusBitrate = 32'000;
std::vector<WebrtcRendition> webrtcRenditions(const EncoderSettings &settings);
// Their bit rates, in the same order.
std::vector<uint32_t> webrtcVideoRates(const EncoderSettings &settings);

}  // namespace morlanex
