#include "media/profiles.h"

#include <algorithm>

namespace morlanex {

std::optional<Wm8Profile> profileForLevel(int level) {
    switch (level) {
    case 0:
        return wmp_V80_100768VideoMBR;
    case 1:
        return wmp_V80_100Video;
    case 2:
        return wmp_V80_256Video;
    case 3:
        return wmp_V80_768Video;
    default:
        return std::nullopt;
    }
}

std::optional<EncoderSettings> encoderSettings(Wm8Profile profile) {
    // The profiles' own per-stream numbers are not published; these honour each
    // profile's total bandwidth with the encoders we have.
    switch (profile) {
    case wmp_V80_100Video:
        return EncoderSettings{76000, 10, 320, 240, 24000, 22050, 1, 3, false, {{76000, 10}}};
    case wmp_V80_256Video:
        return EncoderSettings{224000, 15, 320, 240, 32000, 22050, 2, 3, false, {{224000, 15}}};
    case wmp_V80_768Video:
        return EncoderSettings{704000, 30, 320, 240, 64000, 44100, 2, 3, false, {{704000, 30}}};
    case wmp_V80_100768VideoMBR:
        // Renditions of 68, 224 and 704 kbps; the audio stream is shared by all of them.
        return EncoderSettings{704000, 30, 320, 240,  32000,
                               22050,  2,  3,   true, {{68000, 10}, {224000, 15}, {704000, 30}}};
    default:
        return std::nullopt;
    }
}

std::vector<WebrtcRendition> webrtcRenditions(const EncoderSettings &settings) {
    std::vector<WebrtcRendition> renditions{{uint32_t(settings.videoBitrate), settings.width, settings.height, 1}};
    if (renditions[0].bitrate >= kWebrtcLowFromBitrate)
        renditions.push_back({kWebrtcLowVideoBitrate, kWebrtcLowWidth, kWebrtcLowHeight,
                              std::max(1, settings.videoFramesPerSecond / kWebrtcLowFramesPerSecond)});
    return renditions;
}

std::vector<uint32_t> webrtcVideoRates(const EncoderSettings &settings) {
    std::vector<uint32_t> rates;
    for (const WebrtcRendition &r : webrtcRenditions(settings)) rates.push_back(r.bitrate);
    return rates;
}

}  // namespace morlanex
