#pragma once
// The INI profile reader (GetPrivateProfileStringA on Windows).

#include <cstddef>
#include <string>

namespace zanpost::platform {

// The value of `key` in `section` of the file at `path`, or `default_value` when the file,
// the section or the key is absent. Section and key names match without regard to ASCII
// letter case. At most buffer_size - 1 characters are delivered (the rest is cut).
// POSIX rules: blanks around names and values are trimmed, a value wrapped in a matching
// pair of double or single quotes loses them, lines beginning with ";" are comments, the
// first matching section and key win.
std::string profile_string(const std::string& section, const std::string& key,
                           const std::string& default_value, std::size_t buffer_size,
                           const std::string& path);

}  // namespace zanpost::platform
