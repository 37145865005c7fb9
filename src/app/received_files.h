#pragma once
// Where the parts of received messages may be written, and how they are written.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zanpost {

// The name a received part may be stored under: its final component (everything up to the
// last "/", "\" or a drive colon dropped). Nothing for a name that is empty, "." or "..",
// holds a control byte or a ":" (an NTFS stream), or is a Windows device name (CON, PRN,
// AUX, NUL, COM1-COM9, LPT1-LPT9, any case, any extension) - such a part cannot be stored.
std::optional<std::string> StorableName(std::string_view name);

// True when both paths name the same file as far as their text tells (letter case ignored,
// as on the program's home platform).
bool SamePath(const std::string& a, const std::string& b);

// Writes the bytes under a temporary name beside `path` and renames it into place, so a
// reader never sees a half-written file and an old file is replaced only by a whole new
// one. Raises EFCreateError; the temporary file is removed.
void WriteFileWhole(const std::string& path, std::string_view bytes);

}  // namespace zanpost
