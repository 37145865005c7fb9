#pragma once
// Letter case of the ASCII letters only: bytes of code page 1250 from 0x80 up never change,
// whatever locale the process runs in.

#include <string>
#include <string_view>

namespace zanpost {

constexpr char ascii_upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
constexpr char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string ascii_upper(std::string_view text);
std::string ascii_lower(std::string_view text);

}  // namespace zanpost
