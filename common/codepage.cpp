#include "common/codepage.h"

#include <cerrno>
#include <iconv.h>
#include <stdexcept>

namespace morlanex {
namespace {

// One iconv conversion; `replacement` stands in for each character the target cannot hold
// and each byte sequence the source does not spell.
std::string convert(const char *to, const char *from, std::string_view in, std::string_view replacement) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);

    std::string out;
    out.reserve(in.size() * 2);
    char *src = const_cast<char *>(in.data());
    size_t srcLeft = in.size();
    char buf[4096];
    while (srcLeft > 0) {
        char *dst = buf;
        size_t dstLeft = sizeof buf;
        size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buf, dst - buf);
        if (rc != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL (truncated tail): replace one unit and go on.
        out.append(replacement);
        // Skip one whole UTF-8 character, or one byte of CP950.
        size_t skip = 1;
        if (std::string_view(from) == "UTF-8") {
            unsigned char c = static_cast<unsigned char>(*src);
            skip = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (skip > srcLeft) skip = srcLeft;
        }
        src += skip;
        srcLeft -= skip;
    }
    iconv_close(cd);
    return out;
}

}  // namespace

std::string utf8ToCp950(std::string_view utf8) { return convert("CP950", "UTF-8", utf8, "?"); }

std::string cp950ToUtf8(std::string_view cp950) { return convert("UTF-8", "CP950", cp950, "\xEF\xBF\xBD"); }

}  // namespace morlanex
