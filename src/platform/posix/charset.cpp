#include "platform/charset.h"

#include <cerrno>
#include <cstdint>
#include <iconv.h>

namespace zanpost::platform {

namespace {

// One iconv conversion, closed with its owner.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~Converter()
    {
        if (ok()) ::iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool ok() const noexcept { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts all of `in`; where the input cannot be taken (a byte that is no character,
    // a character the target cannot hold) `replacement` is written and `skip` input bytes
    // are passed over.
    std::string run(std::string_view in, std::string_view replacement, std::size_t skip)
    {
        std::string out;
        char buffer[1024];
        char* from = const_cast<char*>(in.data());
        std::size_t left = in.size();
        while (left > 0) {
            char* to = buffer;
            std::size_t room = sizeof buffer;
            const std::size_t done = ::iconv(cd_, &from, &left, &to, &room);
            const int error = errno;
            out.append(buffer, static_cast<std::size_t>(to - buffer));
            if (done != static_cast<std::size_t>(-1)) break;
            if (error == E2BIG) continue;
            out += replacement;
            if (error == EINVAL) break;  // cut off in the middle of a character
            const std::size_t passed = skip < left ? skip : left;
            from += passed;
            left -= passed;
        }
        // Whatever the conversion still holds (a shift state) is written out.
        char* to = buffer;
        std::size_t room = sizeof buffer;
        if (::iconv(cd_, nullptr, nullptr, &to, &room) != static_cast<std::size_t>(-1))
            out.append(buffer, static_cast<std::size_t>(to - buffer));
        return out;
    }

private:
    iconv_t cd_;
};

// A charset name from a message goes to iconv_open only when it is a plain name: iconv
// reads suffixes such as "//TRANSLIT" as orders.
bool plain_name(std::string_view name)
{
    if (name.empty() || name.size() > 64) return false;
    for (const char c : name) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letter && c != '-' && c != '_' && c != '.' && c != ':') return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> convert_to_cp1250(std::string_view bytes, std::string_view charset)
{
    if (!plain_name(charset)) return std::nullopt;
    // Through UTF-32, so that a byte that is no character and a character CP1250 lacks are
    // told apart: iconv reports both the same way.
    Converter decode("UTF-32LE", std::string(charset).c_str());
    if (!decode.ok()) return std::nullopt;
    Converter encode("CP1250", "UTF-32LE");
    if (!encode.ok()) return std::nullopt;
    const std::string wide = decode.run(bytes, std::string("_\0\0\0", 4), 1);
    return encode.run(wide, "_", 4);
}

}  // namespace zanpost::platform
