#pragma once
// Header texts and parameters as other mailers write them (RFC 2047 encoded words, RFC 2231
// parameters), read into CP1250, the code page of Tabulix and of `Cesta` on Windows.

#include <string>
#include <string_view>

namespace zanpost {

// The bytes of a text in `charset` as CP1250; what CP1250 cannot hold becomes "_". No
// charset, US-ASCII, windows-1250 and a charset this system does not know: the bytes as
// they are.
std::string text_to_cp1250(std::string_view bytes, std::string_view charset);

// A header value (a subject, a sender) as a reader sees it: folded lines joined (the line
// breaks before a blank or TAB removed) and RFC 2047 encoded words ("=?UTF-8?Q?...?=")
// decoded into CP1250; the blanks between two encoded words go. Everything else, raw CP1250
// bytes included, stays byte for byte; a malformed encoded word stays as it was written.
std::string decode_header_text(std::string_view value);

// The parameter `name` of a header value, decoded into CP1250: the RFC 2231 forms
// (`name*=charset'lang'%XX`, continuations `name*0*=`, `name*1=`...) before the plain
// `name=`, whose quoted text may hold encoded words. Empty when there is none.
std::string decoded_parameter(std::string_view value, std::string_view name);

// The name a part gives its file, in CP1250: the disposition's "filename", else the
// content type's "name". Empty when the part names no file.
std::string part_file_name(std::string_view disposition, std::string_view content_type);

}  // namespace zanpost
