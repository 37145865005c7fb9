#pragma once
// An ordered list of text lines without their line ends: the unit in which message bodies,
// protocol answers and MIME parts travel through the program.

#include <string>
#include <string_view>
#include <vector>

namespace zanpost {

using StringList = std::vector<std::string>;

// Splits text at CR, LF or CR LF; a NUL byte ends the text. A final line end adds no
// empty line ("a\r\n" is one line), but a lone line end is one empty line.
StringList split_lines(std::string_view text);

// Replaces `lines` by the lines of the file. A file that cannot be opened raises
// EFOpenError and leaves `lines` unchanged.
void load_from_file(StringList& lines, const std::string& path);

// Creates or replaces the file and writes every line followed by CR LF.
// Raises EFCreateError when the file cannot be created or fully written.
void save_to_file(const StringList& lines, const std::string& path);

// Every line followed by CR LF, as one block.
std::string join_crlf(const StringList& lines);

// Checked access; an index outside the list raises EStringListError.
const std::string& line_at(const StringList& lines, long long index);

}  // namespace zanpost
