// Public header. Which capture devices the preview opens, as positions in the device lists.
// Plain C++: the settings, the wizard and the media side all hold this one type.
#pragma once

#include <string>

namespace morlanex {

// Positions in the device lists; -1 for none.
struct DeviceChoice {
    int camera = -1;
    int microphone = -1;
    int recordingLine = -1;
    std::string listedMicrophone;  // the name of the microphone whose lines are listed

    bool operator==(const DeviceChoice &) const = default;
};

}  // namespace morlanex
