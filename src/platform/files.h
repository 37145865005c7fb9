#pragma once
// File-system operations beyond whole-file reads and writes.

#include <string>

namespace zanpost::platform {

// Renames `from` to `to`, replacing `to` when it exists, and returns once the new name is on
// the disk (the directory of `to` flushed on POSIX, MOVEFILE_WRITE_THROUGH on Windows).
// False on failure.
bool rename_replacing(const std::string& from, const std::string& to);

// Returns once the content of an existing file is on the disk (fsync, FlushFileBuffers).
// False when the file cannot be opened (on Windows: for writing) or cannot be flushed.
bool flush_file(const std::string& path);

// True when the path names an existing regular file: not a directory, a FIFO, a socket or
// a device (CON, NUL, /dev/...). Nothing is opened that could block.
bool is_regular_file(const std::string& path);

// Cuts an existing file to `length` bytes; false when it cannot be done.
bool truncate_file(const std::string& path, long long length);

// Removes a file; false when it could not be removed.
bool remove_file(const std::string& path);

// True when both paths name one existing file or directory, however each is written
// (through a linked directory, in another letter case, a short 8.3 name): the same device
// and file number (POSIX), the same volume and file index (Windows). False when either
// cannot be found.
bool same_file(const std::string& a, const std::string& b);

// The absolute, normalised form of a path (GetFullPathNameA; on POSIX relative to the
// current directory, with "." and ".." steps resolved textually). Symbolic links are
// not followed. Empty when it cannot be formed.
std::string full_path(const std::string& path);

}  // namespace zanpost::platform
