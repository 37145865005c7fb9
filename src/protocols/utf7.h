#pragma once
// IMAP folder names: written in CP1250 in the INI, on the wire in IMAP's modified UTF-7
// (RFC 3501 5.1.3), where printable ASCII stands for itself, "&" is "&-", and every other
// character goes as UTF-16 in base64 (with "," for "/") between "&" and "-".

#include <optional>
#include <string>
#include <string_view>

namespace zanpost {

// The CP1250 name as the server wants it ("Přijaté" -> "P&AVk-ijat&AOk-").
std::string imap_utf7_encode(std::string_view cp1250);
// A name the server sent, in CP1250; a character CP1250 cannot hold becomes "_". Nothing for
// text that is no modified UTF-7 (a raw 8-bit byte, an unterminated or ill-padded run).
std::optional<std::string> imap_utf7_decode(std::string_view utf7);

}  // namespace zanpost
