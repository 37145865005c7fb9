#include "message/address.h"

#include "message/text.h"

namespace zanpost {

namespace {

constexpr std::string_view separators = " ,;";

}  // namespace

std::string extract_address(std::string_view text, std::int32_t n)
{
    const std::int32_t at = posn("@", text, n);
    if (at <= 0 || static_cast<std::size_t>(at) > text.size()) return {};
    const std::size_t at_index = static_cast<std::size_t>(at) - 1;

    // The address starts after the last separator in front of its "@" ...
    const std::size_t last = at_index == 0 ? std::string_view::npos
                                           : text.find_last_of(separators, at_index - 1);
    std::string_view candidate = text.substr(last == std::string_view::npos ? 0 : last + 1);

    // ... and ends before the first separator after that start.
    const std::size_t end = candidate.find_first_of(separators);
    if (end != std::string_view::npos) candidate = candidate.substr(0, end);

    // The "@" itself is never stripped, so neither loop can empty the candidate.
    while (!candidate.empty() && (candidate.front() == '"' || candidate.front() == '(' || candidate.front() == '<'))
        candidate.remove_prefix(1);
    while (!candidate.empty() && (candidate.back() == '"' || candidate.back() == ')' || candidate.back() == '>'))
        candidate.remove_suffix(1);
    return std::string(candidate);
}

}  // namespace zanpost
