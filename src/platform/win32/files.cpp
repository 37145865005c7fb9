#include "platform/files.h"

#include "platform/win32/windows_api.h"

#include <string_view>

namespace zanpost::platform {

bool rename_replacing(const std::string& from, const std::string& to)
{
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool flush_file(const std::string& path)
{
    // FlushFileBuffers needs write access; sharing allowed, as the file was just closed.
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool flushed = FlushFileBuffers(handle) != 0;
    CloseHandle(handle);
    return flushed;
}

bool truncate_file(const std::string& path, long long length)
{
    if (length < 0) return false;
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER end;
    end.QuadPart = length;
    const bool cut = SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(handle) != 0;
    CloseHandle(handle);
    return cut;
}

bool is_regular_file(const std::string& path)
{
    // The attributes first: they are read without opening anything, so a pipe is never
    // connected to; a device name has none or the device bit.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return false;
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool disk = GetFileType(handle) == FILE_TYPE_DISK;
    CloseHandle(handle);
    return disk;
}

bool remove_file(const std::string& path)
{
    return DeleteFileA(path.c_str()) != 0;
}

namespace {

// Volume and file index of an existing file or directory; false when it cannot be opened.
bool file_identity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info)
{
    // No access asked and every sharing allowed, so a file another program holds open
    // (or the running program itself) can still be looked at; the flag opens directories.
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    return known;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b)
{
    BY_HANDLE_FILE_INFORMATION ia{};
    BY_HANDLE_FILE_INFORMATION ib{};
    return file_identity(a, ia) && file_identity(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

std::string full_path(const std::string& path)
{
    if (path.empty()) return {};
    // The first call tells the size the answer needs, its terminating NUL included.
    const DWORD needed = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::string result(needed, '\0');
    const DWORD length = GetFullPathNameA(path.c_str(), needed, result.data(), nullptr);
    if (length == 0 || length >= needed) return {};
    result.resize(length);
    return result;
}

namespace {

class Handle {
public:
    explicit Handle(HANDLE h) noexcept : h_(h) {}
    ~Handle()
    {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const noexcept { return h_; }
    bool valid() const noexcept { return h_ != INVALID_HANDLE_VALUE; }
    // Closes now; false when the close failed.
    bool close() noexcept
    {
        const bool closed = h_ == INVALID_HANDLE_VALUE || CloseHandle(h_) != 0;
        h_ = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE h_;
};

bool write_all(HANDLE handle, std::string_view bytes)
{
    while (!bytes.empty()) {
        const DWORD piece = bytes.size() > 0x10000000u ? 0x10000000u : DWORD(bytes.size());
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data(), piece, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace

bool write_file_atomic(const std::string& path, std::string_view bytes, bool /*owner_only*/)
{
    // A name of its own beside the target, so the move stays on one volume; CREATE_NEW so
    // that nothing someone else put there is written through. The new file takes the
    // directory's access rules, which is all the protection a file has here; secrets are
    // sealed for the user (seal_for_user) before they are written.
    std::string temporary;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = path + ".tmp-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
        created = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    Handle file(created);
    if (!file.valid()) return false;
    bool written = write_all(file.get(), bytes) && FlushFileBuffers(file.get()) != 0;
    if (!file.close()) written = false;
    if (written && rename_replacing(temporary, path)) return true;
    DeleteFileA(temporary.c_str());
    return false;
}

std::optional<std::string> read_small_file(const std::string& path, std::size_t limit)
{
    // Every sharing allowed, so a writer's rename over the file is never refused for us.
    Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) return std::nullopt;
    std::string bytes;
    char block[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), block, sizeof block, &got, nullptr)) return std::nullopt;
        if (got == 0) return bytes;
        // The size is not trusted: the file may grow while it is read.
        if (bytes.size() + got > limit) return std::nullopt;
        bytes.append(block, got);
    }
}

std::vector<std::string> list_files(const std::string& directory, std::string_view prefix, std::string_view suffix)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    const HANDLE listing = FindFirstFileA((directory + "*").c_str(), &entry);
    if (listing == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string_view name = entry.cFileName;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.size() >= prefix.size() + suffix.size() &&
            name.starts_with(prefix) && name.ends_with(suffix))
            names.emplace_back(name);
    } while (FindNextFileA(listing, &entry));
    FindClose(listing);
    return names;
}

namespace {

// Byte-range locks are mandatory here: one within the file would refuse the writes of its
// content through the writer's own handle. Far beyond any end of file, it refuses nothing.
bool lock_mark(HANDLE handle)
{
    OVERLAPPED at{};
    at.OffsetHigh = 0x40000000;
    return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

}  // namespace

std::optional<FileBeingMade> FileBeingMade::create(const std::string& path)
{
    // The first handle shares no deletion, so until the mark is in place remove_abandoned_file
    // (which asks for DELETE access) cannot even open the file. The mark is held on a second
    // handle that shares deletion, so that the maker can rename and remove the file.
    Handle made(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!made.valid()) return std::nullopt;
    const DWORD every_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE marked =
        CreateFileA(path.c_str(), GENERIC_READ, every_sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marked == INVALID_HANDLE_VALUE) {
        made.close();
        DeleteFileA(path.c_str());
        return std::nullopt;
    }
    FileBeingMade file(reinterpret_cast<std::intptr_t>(marked));
    // A file system without byte-range locks: the file goes unmarked, and nothing there is
    // ever taken for abandoned.
    lock_mark(marked);
    return file;
}

namespace {

void close_marked(std::intptr_t handle) noexcept
{
    // Closing the handle ends the lock.
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

void unlock_and_close(std::intptr_t handle) noexcept
{
    // Closing the handle ends the lock too, but only "when the system gets to it"; the
    // explicit unlock hands it on at once.
    OVERLAPPED at{};
    UnlockFileEx(reinterpret_cast<HANDLE>(handle), 0, 1, 0, &at);
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

}  // namespace

FileBeingMade::FileBeingMade(std::intptr_t handle) noexcept : handle_(handle, close_marked) {}

bool remove_abandoned_file(const std::string& path)
{
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory is not opened.
    Handle file(CreateFileA(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK || !lock_mark(file.get())) return false;
    // Removed through the handle that holds the lock: no other file of that name can be taken.
    FILE_DISPOSITION_INFO removal{};
    removal.DeleteFile = TRUE;
    return SetFileInformationByHandle(file.get(), FileDispositionInfo, &removal, sizeof removal) != 0;
}

std::optional<FileLock> FileLock::acquire(const std::string& path, int timeout_seconds)
{
    // Not inheritable, so no child started later keeps the lock alive.
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    FileLock lock(reinterpret_cast<std::intptr_t>(handle));
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG(timeout_seconds > 0 ? timeout_seconds : 0) * 1000u;
    for (;;) {
        OVERLAPPED at{};
        if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return lock;
        if (GetLastError() != ERROR_LOCK_VIOLATION) return std::nullopt;
        if (timeout_seconds > 0 && GetTickCount64() >= deadline) return std::nullopt;
        Sleep(50);
    }
}

FileLock::FileLock(std::intptr_t handle) noexcept : handle_(handle, unlock_and_close) {}

}  // namespace zanpost::platform
