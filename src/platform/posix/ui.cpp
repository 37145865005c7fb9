#include "platform/ui.h"

#include <cerrno>
#include <cstdio>
#include <iconv.h>

namespace zanpost::platform {

namespace {

// CP1250 to UTF-8. Bytes the code page leaves undefined become "?" so that the rest of
// the text is still shown; without a converter the bytes pass unchanged.
std::string cp1250_to_utf8(const std::string& text)
{
    iconv_t cd = iconv_open("UTF-8", "CP1250");
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;

    std::string out;
    out.reserve(text.size() * 2);
    char* in = const_cast<char*>(text.data());
    std::size_t in_left = text.size();
    char buffer[256];
    while (in_left > 0) {
        char* dst = buffer;
        std::size_t dst_left = sizeof buffer;
        const std::size_t rc = iconv(cd, &in, &in_left, &dst, &dst_left);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            // EILSEQ or EINVAL: one byte the code page does not define.
            out.push_back('?');
            ++in;
            --in_left;
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace

void message_box(const std::string& text, const std::string& caption, std::uint32_t flags)
{
    // The icon is a four-bit field: 0x30 (warning) carries the 0x10 bit but is no error.
    std::FILE* stream = (flags & 0xF0) == mb_iconerror ? stderr : stdout;
    const std::string line = cp1250_to_utf8(caption) + ": " + cp1250_to_utf8(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

std::uintptr_t load_main_icon()
{
    return 0;
}

std::uintptr_t load_small_main_icon()
{
    return 0;
}

void notify_icon(std::uint32_t, const NotifyIconData&) {}

}  // namespace zanpost::platform
