#pragma once
// File-system operations beyond whole-file reads and writes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// Replaces `path` with `bytes` so that a reader sees the old file or the new one, never a
// mix: a temporary file beside it, written, flushed, renamed over `path` (rename_replacing).
// `owner_only`: on POSIX the file gets mode 0600, also when it replaces one with a wider
// mode (on Windows the file inherits the directory's access rules, as every file does).
// False on any failure; `path` is then left as it was and no temporary file stays behind.
bool write_file_atomic(const std::string& path, std::string_view bytes, bool owner_only);

// The whole file; nothing when it cannot be read (a directory, a device, a FIFO included)
// or when it is larger than `limit` bytes.
std::optional<std::string> read_small_file(const std::string& path, std::size_t limit);

// An exclusive lock between processes, held while the object lives and released when the
// process dies: flock on a lock file opened O_CREAT | O_CLOEXEC with mode 0600 (POSIX),
// LockFileEx on a handle no child inherits (Windows). The lock file is never removed: a
// removal could let two processes lock two different files of the same name.
class FileLock {
public:
    // Waits for the lock at most `timeout_seconds` (0: no limit), trying again every 50 ms.
    // Nothing when it was not had in time or the lock file cannot be opened.
    static std::optional<FileLock> acquire(const std::string& path, int timeout_seconds);

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

private:
    explicit FileLock(std::intptr_t handle) noexcept : handle_(handle) {}
    void release() noexcept;
    std::intptr_t handle_ = -1;  // the descriptor (POSIX) or HANDLE (Windows); -1 when moved from
};

}  // namespace zanpost::platform
