#pragma once
// Text search and formatting helpers of the mail layers. Positions are 1-based; 0 is none.

#include <cstdint>
#include <string>
#include <string_view>

namespace zanpost {

// Position of the n-th occurrence of `sub` in `text` (overlapping occurrences count).
// n < 0 counts from the end. A missing forward occurrence gives length + number missing,
// a missing backward one 0; n = 0 gives 0; an empty `sub` never matches.
std::int32_t posn(std::string_view sub, std::string_view text, std::int32_t n);

// Position of the n-th character that differs from `c` (n = 0 is taken as 1; n < 0 counts
// from the end); 0 when there is none.
std::int32_t posn_not(char c, std::string_view text, std::int32_t n);

// The text after the last "\", else after the last ":", else the whole path.
std::string file_name_part(std::string_view path);

// Decimal text of `number`, with "0" put in front until it is `width` characters long.
std::string zero_padded(std::int64_t number, std::uint8_t width);

}  // namespace zanpost
