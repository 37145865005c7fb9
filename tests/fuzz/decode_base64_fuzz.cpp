// decode_base64 on arbitrary line lists: each line decodes by itself, exactly as
// decode_line does it, and the stream ends positioned at its end. The input bytes, taken
// as a file, also go through encode_base64 and back unchanged.

#include "fuzz/fuzz_check.h"
#include "mime/codecs.h"
#include "rtl/memory_stream.h"
#include "rtl/string_list.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace zanpost;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const StringList lines = split_lines(text);

    std::string expected;
    for (const auto& line : lines) expected += decode_line(lc_base64, line);
    const MemoryStream decoded = decode_base64(lines);
    FUZZ_CHECK(decoded.bytes() == expected);
    FUZZ_CHECK(decoded.position() == decoded.size());

    MemoryStream file{std::string(text)};
    file.set_position(size / 2);  // where the stream stands must not matter
    const StringList encoded = encode_base64(file);
    FUZZ_CHECK(file.position() == size);
    FUZZ_CHECK(encoded.size() == (size + 44) / 45);
    for (std::size_t i = 0; i + 1 < encoded.size(); ++i) FUZZ_CHECK(encoded[i].size() == 60);
    FUZZ_CHECK(decode_base64(encoded).bytes() == text);

    // As one stream: the same bytes from the lines, and from the lines cut elsewhere.
    std::string joined, streamed, recut;
    for (const auto& line : encoded) joined += line;
    Base64Decoder decoder;
    for (const auto& line : encoded) decoder.append(streamed, line);
    decoder.finish(streamed);
    FUZZ_CHECK(streamed == text);
    const std::size_t width = 4 + size % 74;
    for (std::size_t at = 0; at < joined.size(); at += width) decoder.append(recut, joined.substr(at, width));
    decoder.finish(recut);
    FUZZ_CHECK(recut == text);
    // Any line list decodes without failing, never to more than its characters hold.
    std::string any;
    std::size_t chars = 0;
    for (const auto& line : lines) {
        decoder.append(any, line);
        chars += line.size();
    }
    decoder.finish(any);
    FUZZ_CHECK(any.size() <= chars * 3 / 4);
    return 0;
}
