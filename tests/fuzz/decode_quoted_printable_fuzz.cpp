// Quoted-printable on arbitrary lines: decoding agrees with a plain walk written from the
// rules of the encoding, and encoding then decoding gives back every byte.

#include "fuzz/fuzz_check.h"
#include "mime/codecs.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

int hex_digit(char c)
{
    const std::string_view digits = "0123456789ABCDEF";
    const std::string_view lower = "0123456789abcdef";
    if (const auto at = digits.find(c); at != std::string_view::npos) return int(at);
    if (const auto at = lower.find(c); at != std::string_view::npos) return int(at);
    return -1;
}

// "=" and two hexadecimal digits give one byte; any other "=" stays as it is and the
// walk goes on right after it.
std::string reference_decode(std::string_view line)
{
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '=' && i + 2 < line.size() && hex_digit(line[i + 1]) >= 0 && hex_digit(line[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(line[i + 1]) * 16 + hex_digit(line[i + 2]));
            i += 2;
        } else {
            out += line[i];
        }
    }
    return out;
}

}  // namespace

using namespace zanpost;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);

    const std::string decoded = decode_quoted_printable(line);
    FUZZ_CHECK(decoded == reference_decode(line));

    const std::string encoded = encode_quoted_printable(line);
    for (const char c : encoded) FUZZ_CHECK(static_cast<unsigned char>(c) < 0x80);
    FUZZ_CHECK(decode_quoted_printable(encoded) == line);
    return 0;
}
