#pragma once
// Text to 32-bit integer the way configuration values and protocol numbers are read:
// leading blanks, then a sign and decimal digits, "$" and hexadecimal digits, or decimal
// digits alone; nothing may follow, and the value must fit in 32 bits.

#include <cstdint>
#include <optional>
#include <string_view>

namespace zanpost {

std::optional<std::int32_t> try_str_to_int(std::string_view text) noexcept;

// As above; a text that is not a number raises EConvertError naming it.
std::int32_t str_to_int(std::string_view text);

}  // namespace zanpost
