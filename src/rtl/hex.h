#pragma once
// Hexadecimal digits, as digests, fingerprints, ids and escapes are written.

#include <string>
#include <string_view>

namespace zanpost {

// The value of one hex digit, either case; -1 for any other character.
constexpr int hex_digit(char c) noexcept
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Two lower-case hex digits per byte.
std::string to_hex(std::string_view bytes);

}  // namespace zanpost
