#pragma once
// Content transfer encodings: the uuencode/base64 line codec, whole-stream base64 and
// line-wise quoted-printable. Malformed input never raises; it decodes as far as it can.

#include "rtl/memory_stream.h"
#include "rtl/string_list.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zanpost {

enum t_line_coding : std::uint8_t { lc_uuencode = 0, lc_base64 = 1, lc_base64_alias = 2 };

// One encoded line of `count` (0..189) bytes.
std::string encode_line(t_line_coding mode, const char* bytes, std::size_t count);
// encode_line in base64 mode into `line`, whose storage is reused.
void encode_base64_line(std::string& line, const char* bytes, std::size_t count);
// The bytes of one encoded line.
std::string decode_line(t_line_coding mode, std::string_view line);

// The stream from its start as base64 lines of 60 characters (the last shorter); the
// stream is left at its end.
StringList encode_base64(MemoryStream& stream);
// The bytes of base64 lines, each line decoded by itself; positioned at its end.
MemoryStream decode_base64(const StringList& lines);
// Appends the bytes of one base64 line, decoded as decode_base64 decodes each line, so that
// content arriving line by line needs no list of its lines.
void append_base64_line(std::string& bytes, std::string_view line);

std::string encode_quoted_printable(std::string_view line);
std::string decode_quoted_printable(std::string_view line);

}  // namespace zanpost
