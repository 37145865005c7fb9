#pragma once
// Whole-file reads and writes with the runtime's file errors. Paths are byte strings,
// passed to the C library unchanged (ANSI code page on Windows).

#include <string>
#include <string_view>

namespace zanpost {

// Raises EFOpenError when the file cannot be opened or read (a directory included).
std::string read_whole_file(const std::string& path);

// Creates or replaces the file. Raises EFCreateError when it cannot be created or
// when not every byte could be written.
void write_whole_file(const std::string& path, std::string_view bytes);

// Appends the bytes to the file, creating it when absent. False when it cannot be opened
// or not every byte was written; never raises.
bool append_to_file(const std::string& path, std::string_view bytes) noexcept;

// The file's length in bytes; -1 when it cannot be opened or measured.
long long file_length(const std::string& path) noexcept;

}  // namespace zanpost
