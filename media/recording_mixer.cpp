#include "media/recording_mixer.h"

#include <alsa/asoundlib.h>
#include <gst/gst.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace morlanex {

namespace {

// Lines listed in the device properties, switches in the device's "enabled-lines".
class PropertyMixer : public RecordingMixer {
public:
    PropertyMixer(GstDevice *device, std::vector<std::string> names)
        : device_(GST_DEVICE(gst_object_ref(device))), names_(std::move(names)) {}
    ~PropertyMixer() override { gst_object_unref(device_); }

    int lineCount() const override { return static_cast<int>(names_.size()); }
    std::string lineName(int line) const override { return names_.at(static_cast<size_t>(line)); }
    bool enabled(int line) const override {
        guint mask = 0;
        g_object_get(device_, "enabled-lines", &mask, nullptr);
        return line >= 0 && line < 32 && (mask >> line) & 1u;
    }
    bool setEnabled(int line, bool on) override {
        if (line < 0 || line >= lineCount()) return false;
        guint mask = 0;
        g_object_get(device_, "enabled-lines", &mask, nullptr);
        mask = on ? (mask | (1u << line)) : (mask & ~(1u << line));
        g_object_set(device_, "enabled-lines", mask, nullptr);
        return true;
    }

private:
    GstDevice *device_;
    std::vector<std::string> names_;
};

// One opened ALSA mixer, closed when it goes; null when the card has no mixer to open.
using AlsaMixerHandle = std::unique_ptr<snd_mixer_t, int (*)(snd_mixer_t *)>;

AlsaMixerHandle openMixer(int card) {
    const std::string name = "hw:" + std::to_string(card);
    snd_mixer_t *mixer = nullptr;
    if (snd_mixer_open(&mixer, 0) < 0) return {nullptr, snd_mixer_close};
    AlsaMixerHandle handle(mixer, snd_mixer_close);
    if (snd_mixer_attach(mixer, name.c_str()) < 0 || snd_mixer_selem_register(mixer, nullptr, nullptr) < 0 ||
        snd_mixer_load(mixer) < 0)
        handle.reset();
    return handle;
}

struct AlsaLine {
    std::string selemName;
    unsigned index;
};

class AlsaMixer : public RecordingMixer {
public:
    AlsaMixer(int card, std::vector<AlsaLine> lines) : card_(card), lines_(std::move(lines)) {}

    int lineCount() const override { return static_cast<int>(lines_.size()); }
    std::string lineName(int line) const override {
        const AlsaLine &l = lines_.at(static_cast<size_t>(line));
        return l.index == 0 ? l.selemName : l.selemName + " " + std::to_string(l.index);
    }
    bool enabled(int line) const override {
        AlsaMixerHandle mixer = openMixer(card_);
        snd_mixer_elem_t *elem = find(mixer, line);
        int on = 0;
        return elem && snd_mixer_selem_get_capture_switch(elem, SND_MIXER_SCHN_FRONT_LEFT, &on) >= 0 && on != 0;
    }
    bool setEnabled(int line, bool on) override {
        AlsaMixerHandle mixer = openMixer(card_);
        snd_mixer_elem_t *elem = find(mixer, line);
        return elem && snd_mixer_selem_set_capture_switch_all(elem, on ? 1 : 0) >= 0;
    }

private:
    snd_mixer_elem_t *find(const AlsaMixerHandle &mixer, int line) const {
        if (!mixer.get() || line < 0 || line >= lineCount()) return nullptr;
        const AlsaLine &l = lines_[static_cast<size_t>(line)];
        snd_mixer_selem_id_t *id;
        snd_mixer_selem_id_alloca(&id);
        snd_mixer_selem_id_set_name(id, l.selemName.c_str());
        snd_mixer_selem_id_set_index(id, l.index);
        return snd_mixer_find_selem(mixer.get(), id);
    }

    int card_;
    std::vector<AlsaLine> lines_;
};

// The card number of a device that ALSA drives, or -1.
int alsaCardOf(const GstStructure *props) {
    for (const char *key : {"alsa.card", "api.alsa.card"}) {
        if (const char *text = gst_structure_get_string(props, key)) {
            char *end = nullptr;
            long card = std::strtol(text, &end, 10);
            if (end != text && *end == '\0' && card >= 0 && card < 256) return static_cast<int>(card);
        }
        int card = -1;
        if (gst_structure_get_int(props, key, &card) && card >= 0) return card;
    }
    return -1;
}

}  // namespace

std::unique_ptr<RecordingMixer> alsaRecordingMixer(int card) {
    AlsaMixerHandle mixer = openMixer(card);
    if (!mixer.get()) return nullptr;
    std::vector<AlsaLine> lines;
    for (snd_mixer_elem_t *elem = snd_mixer_first_elem(mixer.get()); elem; elem = snd_mixer_elem_next(elem)) {
        if (snd_mixer_selem_is_active(elem) && snd_mixer_selem_has_capture_switch(elem))
            lines.push_back({snd_mixer_selem_get_name(elem), snd_mixer_selem_get_index(elem)});
    }
    if (lines.empty()) return nullptr;
    return std::make_unique<AlsaMixer>(card, std::move(lines));
}

std::unique_ptr<RecordingMixer> recordingMixerFor(GstDevice *device) {
    if (!device) return nullptr;
    GstStructure *props = gst_device_get_properties(device);
    if (!props) return nullptr;
    std::unique_ptr<RecordingMixer> mixer;
    const GValue *names = gst_structure_get_value(props, "morlanex.recording-lines");
    if (names && GST_VALUE_HOLDS_ARRAY(names) &&
        g_object_class_find_property(G_OBJECT_GET_CLASS(device), "enabled-lines")) {
        std::vector<std::string> lines;
        for (guint i = 0; i < gst_value_array_get_size(names); ++i) {
            const GValue *v = gst_value_array_get_value(names, i);
            lines.emplace_back(G_VALUE_HOLDS_STRING(v) ? g_value_get_string(v) : "");
        }
        mixer = std::make_unique<PropertyMixer>(device, std::move(lines));
    } else if (int card = alsaCardOf(props); card >= 0) {
        mixer = alsaRecordingMixer(card);
    }
    gst_structure_free(props);
    return mixer;
}

}  // namespace morlanex
