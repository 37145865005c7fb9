#include "message/text.h"

#include "platform/paths.h"

#include <cstdint>
#include <limits>

namespace zanpost {

namespace {

// Positions and the "length + missing" results are 32-bit in the interface; texts of a
// mail program never come near that, but a huge n must not wrap into a real position.
std::int32_t clamp_position(std::int64_t value) noexcept
{
    constexpr std::int64_t max = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value > max ? max : value);
}

}  // namespace

std::int32_t posn(std::string_view sub, std::string_view text, std::int32_t n)
{
    if (n == 0) return 0;
    const auto length = static_cast<std::int64_t>(text.size());

    if (n > 0) {
        if (sub.empty()) return clamp_position(length + n);
        std::int64_t found = 0;
        std::size_t from = 0;
        while (true) {
            const std::size_t at = text.find(sub, from);
            if (at == std::string_view::npos) break;
            if (++found == n) return clamp_position(static_cast<std::int64_t>(at) + 1);
            from = at + 1;  // the next occurrence may overlap this one
        }
        return clamp_position(length + (n - found));
    }

    if (sub.empty() || sub.size() > text.size()) return 0;
    const std::int64_t wanted = -static_cast<std::int64_t>(n);
    std::int64_t found = 0;
    std::size_t from = text.size() - sub.size();
    while (true) {
        const std::size_t at = text.rfind(sub, from);
        if (at == std::string_view::npos) return 0;
        if (++found == wanted) return clamp_position(static_cast<std::int64_t>(at) + 1);
        if (at == 0) return 0;
        from = at - 1;
    }
}

std::int32_t posn_not(char c, std::string_view text, std::int32_t n)
{
    if (n == 0) n = 1;
    if (n > 0) {
        std::int64_t left = n;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != c && --left == 0) return clamp_position(static_cast<std::int64_t>(i) + 1);
        }
        return 0;
    }
    std::int64_t left = -static_cast<std::int64_t>(n);
    for (std::size_t i = text.size(); i > 0; --i) {
        if (text[i - 1] != c && --left == 0) return clamp_position(static_cast<std::int64_t>(i));
    }
    return 0;
}

std::string file_name_part(std::string_view path)
{
    return std::string(platform::windows_final_component(path));
}

std::string zero_padded(std::int64_t number, std::uint8_t width)
{
    std::string digits = std::to_string(number);
    const bool negative = number < 0;
    if (digits.size() >= width) return digits;
    // The sign stays in front of the zeros and counts towards the width.
    digits.insert(negative ? 1 : 0, width - digits.size(), '0');
    return digits;
}

}  // namespace zanpost
