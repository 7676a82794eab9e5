// Public header. The capture device enumerator (TSysDevEnum).
//
// Lists the capture devices of one category (video or audio sources) through a
// GstDeviceMonitor. The order is stable from run to run: by provider, then by the
// device path, then by name; a device index stored in the settings therefore finds the
// same device next time. A "moniker" is the GstDevice itself, from which the source
// element is created when the graph activates.
//
// UI thread only. Listing probes the providers (no monitor thread is left running).
#pragma once

#include <memory>
#include <string>
#include <vector>

typedef struct _GstDevice GstDevice;

namespace morlanex {

enum class DeviceCategory { VideoInput, AudioInput };

// The device, shared; empty means no device.
using Moniker = std::shared_ptr<GstDevice>;
// Takes over one reference of the device.
Moniker adoptDevice(GstDevice *device);

struct DeviceEntry {
    std::string friendlyName;  // at most 255 bytes, cut on a character boundary
    std::string classId;       // the provider that lists the device
};

class TSysDevEnum {
public:
    explicit TSysDevEnum(DeviceCategory category);

    // Remembers the category and lists its devices afresh.
    void SelectCategory(DeviceCategory category);
    DeviceCategory category() const { return category_; }
    int DeviceCount() const { return static_cast<int>(devices_.size()); }
    // Index must be in range (std::out_of_range otherwise).
    DeviceEntry DeviceName(int index) const;
    // Empty when the index is negative or not below DeviceCount().
    Moniker DeviceMoniker(int index) const;

private:
    struct Listed {
        DeviceEntry entry;
        Moniker device;
    };
    DeviceCategory category_;
    std::vector<Listed> devices_;
};

}  // namespace morlanex
