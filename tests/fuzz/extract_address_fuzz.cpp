// extract_address on any address text and occurrence number: an address is found exactly
// when posn finds its "@", and what comes back is one separator-free piece of the text
// around that "@", without the quotes and brackets at its ends.

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "message/address.h"
#include "message/text.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace zanpost;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::int32_t n = input.occurrence();
    const std::string_view text = input.rest();

    const std::string address = extract_address(text, n);
    const std::int32_t at = posn("@", text, n);
    const bool found = at > 0 && static_cast<std::size_t>(at) <= text.size();
    FUZZ_CHECK(address.empty() != found);
    if (!found) return 0;

    FUZZ_CHECK(address.find('@') != std::string::npos);
    FUZZ_CHECK(address.find_first_of(" ,;") == std::string::npos);
    FUZZ_CHECK(address.front() != '"' && address.front() != '(' && address.front() != '<');
    FUZZ_CHECK(address.back() != '"' && address.back() != ')' && address.back() != '>');
    // The piece holds the "@" that posn found.
    const std::size_t at_index = static_cast<std::size_t>(at) - 1;
    bool covers = false;
    for (std::size_t offset = 0; offset < address.size() && !covers; ++offset)
        if (address[offset] == '@' && at_index >= offset && text.substr(at_index - offset, address.size()) == address)
            covers = true;
    FUZZ_CHECK(covers);
    return 0;
}
