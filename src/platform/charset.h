#pragma once
// Text of other mailers in the code page of Tabulix and of `Cesta` on Windows (CP1250).

#include <optional>
#include <string>
#include <string_view>

namespace zanpost::platform {

// The bytes, written in `charset` (a MIME charset name, any letter case), as CP1250. A
// character CP1250 cannot hold, and a byte that is no character of the charset, becomes
// "_". Nothing when this system does not know the charset.
std::optional<std::string> convert_to_cp1250(std::string_view bytes, std::string_view charset);

}  // namespace zanpost::platform
