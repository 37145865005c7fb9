// decode_line in every mode on arbitrary lines, checked against a plain character-by-
// character decoder written from the rules of the line forms, and encode_line followed by
// decode_line giving back the bytes.

#include "fuzz/fuzz_check.h"
#include "mime/codecs.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace {

using namespace zanpost;

enum class Value { data, skip, end };

// Base64: the alphabet gives its values, "=" ends the data, everything else is passed over.
std::optional<std::uint32_t> base64_value(unsigned char c, Value& kind)
{
    kind = Value::data;
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    kind = c == '=' ? Value::end : Value::skip;
    return std::nullopt;
}

// Uuencode: blank to "_" are their code minus 32, the grave accent is 0; the rest is
// passed over.
std::optional<std::uint32_t> uu_value(unsigned char c, Value& kind)
{
    kind = Value::data;
    if (c >= 0x20 && c <= 0x5F) return c - 0x20u;
    if (c == 0x60) return 0;
    kind = Value::skip;
    return std::nullopt;
}

// The first `count` bytes the 6-bit values fill, missing bits zero.
template <typename ValueOf>
std::string collect(std::string_view chars, std::size_t count, ValueOf value_of)
{
    std::string bits;
    for (const char c : chars) {
        Value kind;
        const auto v = value_of(static_cast<unsigned char>(c), kind);
        if (kind == Value::end) break;
        if (kind == Value::skip) continue;
        for (int b = 5; b >= 0; --b) bits += ((*v >> b) & 1) ? '1' : '0';
    }
    const std::size_t filled = (bits.size() + 7) / 8;
    bits.resize(filled * 8, '0');
    std::string bytes;
    for (std::size_t i = 0; i < std::min(count, filled); ++i)
        bytes += static_cast<char>(std::stoi(bits.substr(i * 8, 8), nullptr, 2));
    return bytes;
}

std::string reference_base64(std::string_view line)
{
    const std::size_t last = line.find_last_not_of('=');
    const std::size_t e = last == std::string_view::npos ? 0 : last + 1;
    return collect(line, e * 3 / 4, base64_value);
}

std::string reference_uu(std::string_view line)
{
    if (line.empty()) return {};
    const auto first = static_cast<unsigned char>(line.front());
    if (!((first >= 0x20 && first <= 0x4D) || first == 0x60)) return {};
    return collect(line.substr(1), (first - 32u) & 63u, uu_value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view line(reinterpret_cast<const char*>(data), size);

    const std::string base64 = decode_line(lc_base64, line);
    FUZZ_CHECK(base64 == reference_base64(line));
    FUZZ_CHECK(decode_line(lc_base64_alias, line) == base64);
    FUZZ_CHECK(decode_line(lc_uuencode, line) == reference_uu(line));
    FUZZ_CHECK(decode_line(static_cast<t_line_coding>(3), line).empty());
    FUZZ_CHECK(decode_line(static_cast<t_line_coding>(255), line).empty());

    // A line made by encode_line decodes to the very bytes it was made from: any count
    // up to the encoder's limit in base64, up to the 45 a uuencode length character can
    // announce.
    const std::size_t base64_count = std::min<std::size_t>(size, 189);
    const std::string block(line.substr(0, base64_count));
    FUZZ_CHECK(decode_line(lc_base64, encode_line(lc_base64, block.data(), block.size())) == block);
    FUZZ_CHECK(encode_line(lc_base64_alias, block.data(), block.size()) ==
               encode_line(lc_base64, block.data(), block.size()));
    const std::string uu_block = block.substr(0, 45);
    const std::string uu_line = encode_line(lc_uuencode, uu_block.data(), uu_block.size());
    FUZZ_CHECK(uu_line.find(' ') == std::string::npos);
    FUZZ_CHECK(decode_line(lc_uuencode, uu_line) == uu_block);
    return 0;
}
