#include "media/device_catalog.h"

#include <gst/gst.h>

#include <algorithm>
#include <list>
#include <mutex>

namespace morlanex {

namespace {

constexpr size_t kMaxNameBytes = 255;

std::string cutUtf8(std::string text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

std::string providerName(GstDevice *device) {
    std::string name;
    if (GstObject *parent = gst_object_get_parent(GST_OBJECT(device))) {
        if (GST_IS_DEVICE_PROVIDER(parent)) {
            if (GstDeviceProviderFactory *f = gst_device_provider_get_factory(GST_DEVICE_PROVIDER(parent)))
                name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(f));
        }
        gst_object_unref(parent);
    }
    return name.empty() ? G_OBJECT_TYPE_NAME(device) : name;
}

std::string devicePath(GstDevice *device) {
    std::string path;
    GstStructure *props = gst_device_get_properties(device);
    if (!props) return path;
    for (const char *key : {"device.path", "api.v4l2.path", "object.path", "udev-path", "api.alsa.path",
                            "device.bus_path", "node.name"}) {
        if (const char *value = gst_structure_get_string(props, key)) {
            path = value;
            break;
        }
    }
    gst_structure_free(props);
    return path;
}

// Caps text of one structure, ranges settled on the values a capture driver reports first.
std::string fixedText(const GstStructure *s) {
    GstStructure *copy = gst_structure_copy(s);
    for (auto [field, value] : {std::pair{"width", 320}, {"height", 240}, {"rate", 44100}, {"channels", 2}}) {
        if (gst_structure_has_field(copy, field)) gst_structure_fixate_field_nearest_int(copy, field, value);
    }
    if (gst_structure_has_field(copy, "framerate"))
        gst_structure_fixate_field_nearest_fraction(copy, "framerate", 30, 1);
    gst_structure_fixate(copy);
    return takeCapsText(gst_caps_new_full(copy, nullptr));
}

struct Removal {
    DeviceHandle device;
    std::function<void()> gone;
};
std::mutex removalsMutex;
std::list<Removal *> removals;

// On the provider's thread, as it posts. The device is the object a listing handed out.
void onDeviceRemoved(GstBus *, GstMessage *message, gpointer) {
    GstDevice *device = nullptr;
    gst_message_parse_device_removed(message, &device);
    std::lock_guard lock(removalsMutex);
    for (Removal *r : removals) {
        if (r->device.get() == device) r->gone();
    }
    if (device) gst_object_unref(device);
}

// Providers that watch the system (PipeWire, PulseAudio, udev) are started once and stay
// started for the program's run, so a listing's own start and stop of them only count: Debian
// 12's PipeWire provider (0.3.65) destroys its registry without its loop's lock when it stops
// and frees it twice. Providers that can only probe are left to each listing, probed afresh.
void keepWatchersStarted() {
    static const std::vector<GstDeviceProvider *> watchers = [] {
        std::vector<GstDeviceProvider *> started;
        GList *factories = gst_device_provider_factory_list_get_device_providers(GST_RANK_MARGINAL);
        for (GList *item = factories; item; item = item->next) {
            auto *factory = GST_DEVICE_PROVIDER_FACTORY(item->data);
            if (!gst_device_provider_factory_has_classes(factory, "Video/Source") &&
                !gst_device_provider_factory_has_classes(factory, "Audio/Source"))
                continue;
            GstDeviceProvider *provider = gst_device_provider_factory_get(factory);
            if (provider && gst_device_provider_can_monitor(provider) && gst_device_provider_start(provider)) {
                started.push_back(provider);  // held, never stopped
                GstBus *bus = gst_device_provider_get_bus(provider);
                gst_bus_enable_sync_message_emission(bus);
                g_signal_connect(bus, "sync-message::device-removed", G_CALLBACK(onDeviceRemoved), nullptr);
                gst_object_unref(bus);
            } else if (provider) {
                gst_object_unref(provider);
            }
        }
        gst_plugin_feature_list_free(factories);
        return started;
    }();
    // Nobody pops their device messages between listings: dropped so they do not pile up.
    for (GstDeviceProvider *provider : watchers) {
        GstBus *bus = gst_device_provider_get_bus(provider);
        while (GstMessage *message = gst_bus_pop(bus)) gst_message_unref(message);
        gst_object_unref(bus);
    }
}

}  // namespace

std::string deviceName(const DeviceHandle &device) {
    if (!device) return {};
    gchar *name = gst_device_get_display_name(device.get());
    std::string text = name ? name : "";
    g_free(name);
    return text;
}

std::string takeCapsText(GstCaps *caps) {
    std::string text;
    if (caps && !gst_caps_is_any(caps) && !gst_caps_is_empty(caps)) {
        gchar *t = gst_caps_to_string(caps);
        text = t;
        g_free(t);
    }
    if (caps) gst_caps_unref(caps);
    return text;
}

std::vector<CatalogEntry> listDevices(DeviceKind kind) {
    if (!gst_is_initialized()) gst_init(nullptr, nullptr);
    keepWatchersStarted();
    GstDeviceMonitor *monitor = gst_device_monitor_new();
    gst_device_monitor_add_filter(monitor, kind == DeviceKind::Camera ? "Video/Source" : "Audio/Source", nullptr);
    // Started, the providers parent their devices, which names the provider of each.
    const bool started = gst_device_monitor_start(monitor);
    GList *list = gst_device_monitor_get_devices(monitor);

    struct Sortable {
        std::string path;
        CatalogEntry entry;
    };
    std::vector<Sortable> found;
    for (GList *item = list; item; item = item->next) {
        GstDevice *device = GST_DEVICE(item->data);
        gchar *display = gst_device_get_display_name(device);
        Sortable s{devicePath(device),
                   {cutUtf8(display ? display : "", kMaxNameBytes), providerName(device),
                    DeviceHandle(GST_DEVICE(gst_object_ref(device)), gst_object_unref)}};
        g_free(display);
        found.push_back(std::move(s));
    }
    g_list_free_full(list, gst_object_unref);
    if (started)  // unparents the devices: only after their providers are known
        gst_device_monitor_stop(monitor);
    gst_object_unref(monitor);

    std::stable_sort(found.begin(), found.end(), [](const Sortable &a, const Sortable &b) {
        return std::tie(a.entry.provider, a.path, a.entry.name) < std::tie(b.entry.provider, b.path, b.entry.name);
    });
    std::vector<CatalogEntry> entries;
    for (Sortable &s : found) entries.push_back(std::move(s.entry));
    return entries;
}

RemovalWatch watchRemoval(const DeviceHandle &device, std::function<void()> gone) {
    if (!device) return {};
    auto *removal = new Removal{device, std::move(gone)};
    {
        std::lock_guard lock(removalsMutex);
        removals.push_back(removal);
    }
    // Once dropped, its callback is not running and never runs again.
    return RemovalWatch(removal, [](void *p) {
        std::lock_guard lock(removalsMutex);
        removals.remove(static_cast<Removal *>(p));
        delete static_cast<Removal *>(p);
    });
}

DeviceHandle deviceAt(DeviceKind kind, int index) {
    std::vector<CatalogEntry> entries = listDevices(kind);
    if (index < 0 || index >= static_cast<int>(entries.size())) return {};
    return entries[static_cast<size_t>(index)].device;
}

std::string firstRgb320x240(const GstCaps *offered) {
    if (!offered) return {};
    GstCaps *wanted = gst_caps_from_string("video/x-raw,format=RGB,width=320,height=240");
    std::string chosen;
    for (guint i = 0; i < gst_caps_get_size(offered) && chosen.empty(); ++i) {
        GstStructure *common =
            gst_structure_intersect(gst_caps_get_structure(offered, i), gst_caps_get_structure(wanted, 0));
        if (common) {
            chosen = fixedText(common);
            gst_structure_free(common);
        }
    }
    gst_caps_unref(wanted);
    return chosen;
}

std::string firstFormat(GstDevice *device) {
    GstCaps *caps = device ? gst_device_get_caps(device) : nullptr;
    std::string text;
    if (caps && !gst_caps_is_any(caps) && gst_caps_get_size(caps) > 0)
        text = fixedText(gst_caps_get_structure(caps, 0));
    if (caps) gst_caps_unref(caps);
    return text;
}

bool offersFormat(GstDevice *device, const std::string &caps) {
    GstCaps *offered = device ? gst_device_get_caps(device) : nullptr;
    GstCaps *format = gst_caps_from_string(caps.c_str());
    const bool offers = offered && format && gst_caps_can_intersect(offered, format);
    if (offered) gst_caps_unref(offered);
    if (format) gst_caps_unref(format);
    return offers;
}

}  // namespace morlanex
