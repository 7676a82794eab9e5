// Public header. Conversion between UTF-8 and the Traditional Chinese code page (CP950, Big5).
// The settings file and every directory datagram hold CP950 bytes; the UI holds Unicode.
#pragma once

#include <string>
#include <string_view>

namespace morlanex {

// UTF-8 -> CP950. Characters that CP950 cannot hold become '?', so a text never gets lost whole.
std::string utf8ToCp950(std::string_view utf8);

// CP950 -> UTF-8. Invalid byte sequences become U+FFFD.
std::string cp950ToUtf8(std::string_view cp950);

}  // namespace morlanex
