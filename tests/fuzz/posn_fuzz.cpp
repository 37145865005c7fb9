// posn and posn_not for any occurrence number, including the extremes of 32 bits, checked
// against a list of every position that matches; file_name_part on any path.

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "message/text.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Positions = std::vector<std::int64_t>;

std::int32_t clamped(std::int64_t value)
{
    constexpr std::int64_t max = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value > max ? max : value);
}

// The n-th entry of the 1-based positions, counted from the end for n < 0.
std::int64_t nth(const Positions& at, std::int64_t n)
{
    const auto count = static_cast<std::int64_t>(at.size());
    if (n > 0) return n <= count ? at[std::size_t(n - 1)] : -1;
    return -n <= count ? at[std::size_t(count + n)] : -1;
}

std::int32_t reference_posn(std::string_view sub, std::string_view text, std::int32_t n)
{
    if (n == 0) return 0;
    Positions at;
    if (!sub.empty())
        for (std::size_t i = 0; i + sub.size() <= text.size(); ++i)
            if (text.substr(i, sub.size()) == sub) at.push_back(std::int64_t(i) + 1);
    const std::int64_t found = nth(at, n);
    if (found > 0) return clamped(found);
    // Forward: the length plus the number of occurrences missing; backward: none.
    if (n > 0) return clamped(std::int64_t(text.size()) + n - std::int64_t(at.size()));
    return 0;
}

std::int32_t reference_posn_not(char c, std::string_view text, std::int32_t n)
{
    Positions at;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != c) at.push_back(std::int64_t(i) + 1);
    const std::int64_t found = nth(at, n == 0 ? 1 : n);
    return found > 0 ? clamped(found) : 0;
}

}  // namespace

using namespace zanpost;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::int32_t n = input.occurrence();
    const char c = static_cast<char>(input.byte());
    const std::string_view sub = input.bytes(input.byte() % 8);
    const std::string_view text = input.rest();

    FUZZ_CHECK(posn(sub, text, n) == reference_posn(sub, text, n));
    FUZZ_CHECK(posn_not(c, text, n) == reference_posn_not(c, text, n));

    const std::string name = file_name_part(text);
    FUZZ_CHECK(text.ends_with(name));
    FUZZ_CHECK(name.find('\\') == std::string::npos);
    if (text.find('\\') == std::string_view::npos) FUZZ_CHECK(name.find(':') == std::string::npos);
    return 0;
}
