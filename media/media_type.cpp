#include "media/media_type.h"

#include <gst/gst.h>
#include <gst/audio/audio.h>
#include <gst/video/video.h>

#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "media/pin_list.h"

namespace morlanex {

namespace {

// Settle ranges and lists on the values a capture driver would report first.
GstStructure *fixedCopy(const GstStructure *s)
{
    GstStructure *copy = gst_structure_copy(s);
    for (auto [field, value] : {std::pair{"width", 320}, {"height", 240}, {"rate", 44100},
                                {"channels", 2}}) {
        if (gst_structure_has_field(copy, field))
            gst_structure_fixate_field_nearest_int(copy, field, value);
    }
    if (gst_structure_has_field(copy, "framerate"))
        gst_structure_fixate_field_nearest_fraction(copy, "framerate", 30, 1);
    gst_structure_fixate(copy);
    return copy;
}

std::string majorTypeName(std::string_view media)
{
    if (media.starts_with("video/") || media == "image/jpeg")
        return "Video";
    if (media.starts_with("audio/"))
        return "Audio";
    if (media.starts_with("text/"))
        return "Text";
    if (media == "timecode/x-timecode")
        return "Timecode";
    return "UnKnown ";
}

struct VideoNames {
    const char *format;
    const char *subtype;      // short name of the subtype
    const char *compression;  // the bitmap header's compression as text
};

// GStreamer's "RGB" is the 24-bit RGB subtype; nothing else may be called "RGB24".
constexpr VideoNames kVideoNames[] = {
    {"RGB", "RGB24", "RGB"},       {"BGR", "BGR24", "RGB"},
    {"BGRx", "RGB32", "RGB"},      {"xRGB", "XRGB32", "RGB"},
    {"RGBx", "RGBX32", "RGB"},     {"xBGR", "XBGR32", "RGB"},
    {"BGRA", "ARGB32", "RGB"},     {"RGB16", "RGB565", "BITFIELDS"},
    {"RGB15", "RGB555", "RGB"},    {"RGB8P", "RGB8", "RGB"},
    {"GRAY8", "Y800", "Y800"},     {"I420", "I420", "I420"},
    {"YV12", "YV12", "YV12"},      {"NV12", "NV12", "NV12"},
    {"YUY2", "YUY2", "YUY2"},      {"UYVY", "UYVY", "UYVY"},
    {"YVYU", "YVYU", "YVYU"},      {"Y41B", "Y41B", "Y41B"},
    {"Y42B", "Y42B", "Y42B"},      {"YUV9", "YUV9", "YUV9"},
};

// Bits per pixel as the bitmap header counts them.
int videoBitCount(GstVideoFormat format)
{
    const GstVideoFormatInfo *info = gst_video_format_get_info(format);
    if (!info || format == GST_VIDEO_FORMAT_UNKNOWN || format == GST_VIDEO_FORMAT_ENCODED)
        return 0;
    if (GST_VIDEO_FORMAT_INFO_N_PLANES(info) == 1 && GST_VIDEO_FORMAT_INFO_PSTRIDE(info, 0) > 0)
        return GST_VIDEO_FORMAT_INFO_PSTRIDE(info, 0) * 8;
    int bits = 0;
    for (guint c = 0; c < GST_VIDEO_FORMAT_INFO_N_COMPONENTS(info); ++c) {
        int sub = (1 << GST_VIDEO_FORMAT_INFO_W_SUB(info, c)) * (1 << GST_VIDEO_FORMAT_INFO_H_SUB(info, c));
        bits += GST_VIDEO_FORMAT_INFO_DEPTH(info, c) * 4 / sub;
    }
    return bits / 4;
}

std::string videoPart(const GstStructure *s, std::string &subtype)
{
    const char *media = gst_structure_get_name(s);
    int width = 0, height = 0;
    gst_structure_get_int(s, "width", &width);
    gst_structure_get_int(s, "height", &height);
    std::string compression;
    int bits = 0;
    if (std::strcmp(media, "image/jpeg") == 0) {
        subtype = "MJPG";
        compression = "MJPG";
        bits = 24;
    } else if (std::strcmp(media, "video/x-raw") == 0) {
        const char *format = gst_structure_get_string(s, "format");
        const std::string fmt = format ? format : "";
        subtype = fmt;
        compression = fmt.substr(0, 4);
        for (const VideoNames &n : kVideoNames) {
            if (fmt == n.format) {
                subtype = n.subtype;
                compression = n.compression;
                break;
            }
        }
        bits = videoBitCount(gst_video_format_from_string(fmt.c_str()));
    } else {
        std::string_view name(media);
        subtype = std::string(name.substr(name.find('/') + 1));
        compression = subtype.substr(0, 4);
    }
    char text[128];
    std::snprintf(text, sizeof text, "%s %dX%d, %d bits", compression.c_str(), width, height, bits);
    return std::string("VideoInfo ") + text;
}

std::string audioPart(const GstStructure *s, std::string &subtype)
{
    const char *media = gst_structure_get_name(s);
    int rate = 0, channels = 0, bits = 0;
    gst_structure_get_int(s, "rate", &rate);
    gst_structure_get_int(s, "channels", &channels);
    std::string tag = "Unknown";
    if (std::strcmp(media, "audio/x-raw") == 0) {
        const char *format = gst_structure_get_string(s, "format");
        GstAudioFormat af = gst_audio_format_from_string(format ? format : "");
        if (af != GST_AUDIO_FORMAT_UNKNOWN) {
            const GstAudioFormatInfo *info = gst_audio_format_get_info(af);
            bits = GST_AUDIO_FORMAT_INFO_WIDTH(info);
            tag = GST_AUDIO_FORMAT_INFO_IS_FLOAT(info) ? "IEEE_FLOAT" : "PCM";
        }
        subtype = tag == "Unknown" ? std::string(format ? format : "") : tag;
    } else if (std::strcmp(media, "audio/x-alaw") == 0) {
        tag = subtype = "ALAW";
        bits = 8;
    } else if (std::strcmp(media, "audio/x-mulaw") == 0) {
        tag = subtype = "MULAW";
        bits = 8;
    } else {
        std::string_view name(media);
        subtype = std::string(name.substr(name.find('/') + 1));
    }
    char text[128];
    std::snprintf(text, sizeof text, ", %d Hertz, %d Bits, %d Channels", rate, bits, channels);
    return "WaveFormatEx: " + tag + text;
}

}  // namespace

std::string describeMediaType(const GstStructure *s)
{
    if (!s)
        return {};
    const std::string_view media(gst_structure_get_name(s));
    const std::string major = majorTypeName(media);
    std::string subtype;
    std::string format;
    if (major == "Video")
        format = videoPart(s, subtype);
    else if (major == "Audio")
        format = audioPart(s, subtype);
    else
        subtype = std::string(media.substr(media.find('/') + 1));
    std::string text = "Major Type: " + major + " - Sub Type: " + subtype + " Format: " + format;
    return text;
}

MediaType::MediaType(const GstStructure *structure) : caps_(gst_caps_new_empty())
{
    gst_caps_append_structure(caps_, fixedCopy(structure));
}

MediaType::MediaType(const MediaType &other) : caps_(gst_caps_copy(other.caps_)) {}

MediaType &MediaType::operator=(const MediaType &other)
{
    if (this != &other) {
        GstCaps *copy = gst_caps_copy(other.caps_);
        gst_caps_unref(caps_);
        caps_ = copy;
    }
    return *this;
}

MediaType::~MediaType()
{
    gst_caps_unref(caps_);
}

const GstStructure *MediaType::structure() const
{
    return gst_caps_get_structure(caps_, 0);
}

std::string MediaType::description() const
{
    return describeMediaType(structure());
}

void TEnumMediaType::fillFromCaps(const GstCaps *caps)
{
    items_.clear();
    if (!caps || gst_caps_is_any(caps))
        return;
    for (guint i = 0; i < gst_caps_get_size(caps); ++i)
        items_.emplace_back(gst_caps_get_structure(caps, i));
}

void TEnumMediaType::fillFromPin(const Pin &pin)
{
    GstCaps *caps = pin.mediaTypes();
    fillFromCaps(caps);
    if (caps)
        gst_caps_unref(caps);
}

}  // namespace morlanex
