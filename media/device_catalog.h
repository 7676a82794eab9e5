// Public header. The capture devices the desktop offers, over a GstDeviceMonitor.
//
// A device is known by its position in its kind's list. The order is stable from run to run
// (by provider, then device path, then name), so an index stored in the settings finds the
// same device next time. Names are cut to 255 bytes on a character boundary.
//
// Also the format choices made from a device's caps: the camera format for going live and
// the microphone's first format.
//
// UI thread. The providers that watch the system for devices (PipeWire, PulseAudio, udev) are
// started at the first listing and run until the program ends; the others are probed at each.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _GstDevice GstDevice;
typedef struct _GstCaps GstCaps;

namespace morlanex {

using DeviceHandle = std::shared_ptr<GstDevice>;

enum class DeviceKind { Camera, Microphone };

struct CatalogEntry {
    std::string name;
    std::string provider;  // the device provider's factory name
    DeviceHandle device;
};

std::vector<CatalogEntry> listDevices(DeviceKind kind);
// The device at `index` of a fresh listing; empty when the index is outside it.
DeviceHandle deviceAt(DeviceKind kind, int index);

// Until the returned watch is dropped, `gone` runs (on the provider's own thread) when the
// desktop takes `device` away: a PipeWire node removed, a camera unplugged. A PipeWire source
// whose node went only waits for frames, so this is how its loss shows. Devices of providers
// that only probe are not followed; their elements fail instead.
using RemovalWatch = std::shared_ptr<void>;
RemovalWatch watchRemoval(const DeviceHandle &device, std::function<void()> gone);

// The name the desktop shows for the device; empty for none.
std::string deviceName(const DeviceHandle &device);
// The first format of `offered` that is RGB 320 x 240, fixed, as caps text; empty when the
// camera offers none (it then keeps its current format).
std::string firstRgb320x240(const GstCaps *offered);
// The device's first format, fixed on usual values, as caps text; empty when it has none.
std::string firstFormat(GstDevice *device);
// Caps as text; empty for none or any. Takes the caps over.
std::string takeCapsText(GstCaps *caps);
// Whether the device offers the format given as caps text.
bool offersFormat(GstDevice *device, const std::string &caps);

}  // namespace morlanex
