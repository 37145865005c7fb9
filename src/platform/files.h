#pragma once
// File-system operations beyond whole-file reads and writes.

#include <string>

namespace zanpost::platform {

// Renames `from` to `to`, replacing `to` when it exists. False on failure.
bool rename_replacing(const std::string& from, const std::string& to);

// Removes a file; false when it could not be removed.
bool remove_file(const std::string& path);

// The absolute, normalised form of a path (GetFullPathNameA; on POSIX relative to the
// current directory, with "." and ".." steps resolved textually). Symbolic links are
// not followed. Empty when it cannot be formed.
std::string full_path(const std::string& path);

}  // namespace zanpost::platform
