#include "media/profiles.h"

namespace morlanex {

std::optional<Wm8Profile> profileForLevel(int level)
{
    switch (level) {
    case 0: return wmp_V80_100768VideoMBR;
    case 1: return wmp_V80_100Video;
    case 2: return wmp_V80_256Video;
    case 3: return wmp_V80_768Video;
    default: return std::nullopt;
    }
}

std::optional<EncoderSettings> encoderSettings(Wm8Profile profile)
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
