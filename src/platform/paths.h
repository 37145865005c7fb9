#pragma once
// Every rule for splitting a path into its directory and its name, and for what a name from
// elsewhere may be stored under. Three kinds of path meet here: paths of this platform (the
// program's own, Cesta, Telo_Get), paths from the Windows configuration file that name files
// to send, and names that arrive in messages from any system.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zanpost::platform {

// Bytes of the directory part of a path of this platform, up to and including its last
// separator (is_directory_separator); 0 when there is none.
std::size_t directory_length(std::string_view path) noexcept;

// The name after the directory part of a path of this platform.
std::string_view final_component(std::string_view path) noexcept;

// The text after the last "\", else after the last ":", else the whole path: how a
// Windows path written in the configuration file ends in a name ("/" is part of a name).
std::string_view windows_final_component(std::string_view path) noexcept;

// The name a file to be sent is given in its message: the Windows final component, also cut
// at this platform's other separators ("/" on POSIX). A ":" after the last "\" stays.
std::string_view attachment_file_name(std::string_view path) noexcept;

// The name a file that arrived in a message may be stored under, the same on every
// platform: its final component (everything up to the last "/", "\" or a drive colon
// dropped), then trailing dots and blanks dropped, as Windows drops them when it makes the
// file. Nothing for a name that is then empty, "." or "..", holds a control byte or a ":"
// (an NTFS stream), or is a Windows device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9,
// any case, any extension).
std::optional<std::string> storable_file_name(std::string_view name);

}  // namespace zanpost::platform
