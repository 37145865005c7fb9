#pragma once
// Where the parts of received messages may be written, and how they are written.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zanpost {

// The name a received part may be stored under (platform::storable_file_name): its final
// component, without trailing dots and blanks; nothing for a name that cannot be a plain
// file of Cesta on every platform - such a part cannot be stored.
std::optional<std::string> StorableName(std::string_view name);

// True when both paths name the same file as far as their text tells (letter case ignored,
// as on the program's home platform).
bool SamePath(const std::string& a, const std::string& b);

// Writes the bytes under a short temporary name in the directory of `path` (it fits
// wherever the final name fits, however long that is) and renames it into place, so a
// reader never sees a half-written file and an old file is replaced only by a whole new
// one. When it returns, the file and its name are on the disk: the caller may now let the
// server delete the original. Raises EFCreateError; the temporary file is removed.
void WriteFileWhole(const std::string& path, std::string_view bytes);

}  // namespace zanpost
