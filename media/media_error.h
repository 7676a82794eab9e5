// Public header. The error that media operations throw, carrying the text the
// application's error report shows.
#pragma once

#include <stdexcept>
#include <string>

namespace morlanex {

class MediaError : public std::runtime_error {
public:
    explicit MediaError(const std::string &text) : std::runtime_error(text) {}
};

// The text of a step that needs an interface the device does not offer.
inline constexpr const char *kInterfaceNotSupported = "Interface not supported";

}  // namespace morlanex
