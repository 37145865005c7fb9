#pragma once
// Taking typed values off the front of a fuzz input.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

namespace zanpost::fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

    // A small occurrence number, -127 to 126, with the two extremes of 32 bits in reach
    // through the byte values 127 and -128.
    std::int32_t occurrence()
    {
        const auto b = static_cast<std::int8_t>(byte());
        if (b == 127) return std::numeric_limits<std::int32_t>::max();
        if (b == -128) return std::numeric_limits<std::int32_t>::min();
        return b;
    }

    std::uint8_t byte()
    {
        if (rest_.empty()) return 0;
        const auto b = static_cast<std::uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return b;
    }

    std::string_view bytes(std::size_t count)
    {
        const std::string_view taken = rest_.substr(0, count);
        rest_.remove_prefix(taken.size());
        return taken;
    }

    std::string_view rest() const { return rest_; }

private:
    std::string_view rest_;
};

}  // namespace zanpost::fuzz
