#include "media/sys_dev_enum.h"

#include <gst/gst.h>

#include <algorithm>

namespace morlanex {

namespace {

constexpr size_t kMaxFriendlyNameBytes = 255;

void ensureGstInit()
{
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
}

std::string cutUtf8(std::string text, size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    size_t end = maxBytes;
    // Step back over continuation bytes so no character is split.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

std::string providerName(GstDevice *device)
{
    std::string name;
    GstObject *parent = gst_object_get_parent(GST_OBJECT(device));
    if (parent) {
        if (GST_IS_DEVICE_PROVIDER(parent)) {
            GstDeviceProviderFactory *factory =
                gst_device_provider_get_factory(GST_DEVICE_PROVIDER(parent));
            if (factory)
                name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
        }
        gst_object_unref(parent);
    }
    if (name.empty())
        name = G_OBJECT_TYPE_NAME(device);
    return name;
}

std::string devicePath(GstDevice *device)
{
    std::string path;
    GstStructure *props = gst_device_get_properties(device);
    if (!props)
        return path;
    for (const char *key : {"device.path", "api.v4l2.path", "object.path", "udev-path",
                            "api.alsa.path", "device.bus_path", "node.name"}) {
        if (const char *value = gst_structure_get_string(props, key)) {
            path = value;
            break;
        }
    }
    gst_structure_free(props);
    return path;
}

}  // namespace

Moniker adoptDevice(GstDevice *device)
{
    return Moniker(device, [](GstDevice *d) {
        if (d)
            gst_object_unref(d);
    });
}

TSysDevEnum::TSysDevEnum(DeviceCategory category) : category_(category)
{
    SelectCategory(category);
}

void TSysDevEnum::SelectCategory(DeviceCategory category)
{
    ensureGstInit();
    category_ = category;
    devices_.clear();

    GstDeviceMonitor *monitor = gst_device_monitor_new();
    const char *deviceClass = category == DeviceCategory::VideoInput ? "Video/Source" : "Audio/Source";
    gst_device_monitor_add_filter(monitor, deviceClass, nullptr);
    // Started, the providers parent their devices, which names the provider of each.
    const bool started = gst_device_monitor_start(monitor);
    GList *list = gst_device_monitor_get_devices(monitor);

    struct Sortable {
        std::string provider, path;
        Listed listed;
    };
    std::vector<Sortable> found;
    for (GList *item = list; item; item = item->next) {
        GstDevice *device = GST_DEVICE(item->data);
        gchar *display = gst_device_get_display_name(device);
        Sortable s;
        s.provider = providerName(device);
        s.path = devicePath(device);
        s.listed.entry.friendlyName = cutUtf8(display ? display : "", kMaxFriendlyNameBytes);
        s.listed.entry.classId = s.provider;
        s.listed.device = adoptDevice(GST_DEVICE(gst_object_ref(device)));
        g_free(display);
        found.push_back(std::move(s));
    }
    g_list_free_full(list, gst_object_unref);
    if (started)  // unparents the devices: only after their providers are known
        gst_device_monitor_stop(monitor);
    gst_object_unref(monitor);

    std::stable_sort(found.begin(), found.end(), [](const Sortable &a, const Sortable &b) {
        if (a.provider != b.provider)
            return a.provider < b.provider;
        if (a.path != b.path)
            return a.path < b.path;
        return a.listed.entry.friendlyName < b.listed.entry.friendlyName;
    });
    for (Sortable &s : found)
        devices_.push_back(std::move(s.listed));
}

DeviceEntry TSysDevEnum::DeviceName(int index) const
{
    return devices_.at(static_cast<size_t>(index)).entry;
}

Moniker TSysDevEnum::DeviceMoniker(int index) const
{
    if (index < 0 || index >= DeviceCount())
        return {};
    return devices_[static_cast<size_t>(index)].device;
}

}  // namespace morlanex
