#pragma once
// File-system operations beyond whole-file reads and writes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// The names of the entries of `directory` that begin with `prefix` and end with `suffix`, in
// no particular order; directories are left out where the listing tells them. `directory` is
// a prefix a name is appended to, as `Cesta` is ("" for the current one). Empty when it
// cannot be read.
std::vector<std::string> list_files(const std::string& directory, std::string_view prefix, std::string_view suffix);

// A descriptor (POSIX) or HANDLE (Windows) that one object owns alone and lets go of with
// `release` when it goes; moved, not copied. FileBeingMade and FileLock differ only in how
// they let go of theirs.
class OwnedHandle {
public:
    using Release = void (*)(std::intptr_t handle) noexcept;

    OwnedHandle(std::intptr_t handle, Release release) noexcept : handle_(handle), release_(release) {}
    OwnedHandle(OwnedHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, -1)), release_(other.release_) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, -1);
            release_ = other.release_;
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { reset(); }

private:
    void reset() noexcept
    {
        if (handle_ != -1) release_(handle_);
        handle_ = -1;
    }

    std::intptr_t handle_;  // -1 when moved from
    Release release_;
};

// A file being made: created new and marked, for as long as this object lives, with a lock
// that also ends when the process dies. remove_abandoned_file takes only a file whose mark
// nobody holds, so a file of a run still going is never taken, whichever process or computer
// (a shared directory) makes it. The mark hinders neither the writes of the file's content
// through another handle nor its maker's rename or removal of it: an flock on POSIX; on
// Windows a LockFileEx on one byte far beyond any end of file, on a handle that shares
// deletion. The file stays when the object goes: its maker renames or removes it first.
class FileBeingMade {
public:
    // Creates `path`, which must not exist, and marks it. Nothing when it exists or cannot be
    // made, or when remove_abandoned_file took it before the mark was in place: a caller
    // tries another name. Where the file system has no such locks, the file is made
    // without a mark, and nothing there is ever taken for abandoned.
    static std::optional<FileBeingMade> create(const std::string& path);

    FileBeingMade(FileBeingMade&& other) noexcept = default;
    FileBeingMade& operator=(FileBeingMade&& other) noexcept = default;

private:
    explicit FileBeingMade(std::intptr_t handle) noexcept;
    OwnedHandle handle_;
};

// Removes `path` when it is a regular file that no FileBeingMade marks any more: its maker
// ended without removing it. False when it stays: marked, on its way to being marked, not a
// regular file (nor a link to one, on POSIX), missing, or not removable.
bool remove_abandoned_file(const std::string& path);

// An exclusive lock between processes, held while the object lives and released when the
// process dies: flock on a lock file opened O_CREAT | O_CLOEXEC with mode 0600 (POSIX),
// LockFileEx on a handle no child inherits (Windows). The lock file is never removed: a
// removal could let two processes lock two different files of the same name.
class FileLock {
public:
    // Waits for the lock at most `timeout_seconds` (0: no limit), trying again every 50 ms.
    // Nothing when it was not had in time or the lock file cannot be opened.
    static std::optional<FileLock> acquire(const std::string& path, int timeout_seconds);

    FileLock(FileLock&& other) noexcept = default;
    FileLock& operator=(FileLock&& other) noexcept = default;

private:
    explicit FileLock(std::intptr_t handle) noexcept;
    OwnedHandle handle_;
};

}  // namespace zanpost::platform
