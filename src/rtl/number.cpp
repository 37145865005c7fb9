#include "rtl/number.h"

#include "rtl/exceptions.h"
#include "rtl/hex.h"

#include <string>

namespace zanpost {

std::optional<std::int32_t> try_str_to_int(std::string_view text) noexcept
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i == text.size()) return std::nullopt;

    if (text[i] == '$') {
        ++i;
        if (i == text.size()) return std::nullopt;
        std::uint64_t value = 0;
        for (; i < text.size(); ++i) {
            const int d = hex_digit(text[i]);
            if (d < 0) return std::nullopt;
            value = value * 16 + std::uint64_t(d);
            if (value > 0xFFFFFFFFu) return std::nullopt;
        }
        // Hexadecimal values fill all 32 bits: $FFFFFFFF is -1.
        return std::int32_t(std::uint32_t(value));
    }

    bool negative = false;
    if (text[i] == '-' || text[i] == '+') {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) return std::nullopt;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > 2147483648LL) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > 2147483647LL || value < -2147483648LL) return std::nullopt;
    return std::int32_t(value);
}

std::int32_t str_to_int(std::string_view text)
{
    if (auto value = try_str_to_int(text)) return *value;
    throw EConvertError(std::string(text));
}

}  // namespace zanpost
