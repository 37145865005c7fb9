#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zanpost {

// The n-th bare e-mail address of an address text ("Jan <jan@x.cz>, eva@y.cz"), found by
// its "@" (n < 0 counts from the end), cut at blanks, commas and semicolons and stripped of
// quotes, parentheses and angle brackets; empty when there is no such address.
std::string extract_address(std::string_view text, std::int32_t n);

}  // namespace zanpost
