#pragma once
// The running program: its own path and its command line.

#include <string>
#include <string_view>
#include <vector>

namespace zanpost::platform {

// Full path of the program's own executable (GetModuleFileNameA; /proc/self/exe).
std::string own_executable_path();

// True for a character that ends a directory part of a path on this platform
// ("\" and ":" on Windows, "/" on POSIX).
bool is_directory_separator(char c) noexcept;

// The program's arguments without the program name. On Windows GetCommandLineA split by
// split_command_line; on POSIX the arguments exactly as the program received them.
std::vector<std::string> command_line_arguments();

// Splits a Windows command line: arguments are separated by blanks and control characters
// (bytes up to 0x20); a stretch in double quotes may hold blanks, the quotes are dropped.
// The first element is the program name.
std::vector<std::string> split_command_line(std::string_view command_line);

}  // namespace zanpost::platform
