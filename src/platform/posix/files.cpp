#include "platform/files.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zanpost::platform {

namespace {

// fsync on a descriptor opened only for this; `directory` opens a directory to make the
// names in it durable.
bool sync_path(const std::string& path, bool directory)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (directory ? O_DIRECTORY : 0));
    if (fd < 0) return false;
    int result = ::fsync(fd);
    // Some file systems cannot flush a directory at all; their names are as durable as
    // they will ever be.
    if (result != 0 && directory && (errno == EINVAL || errno == ENOTSUP)) result = 0;
    ::close(fd);
    return result == 0;
}

// Writes every byte, going on after a short write or an interrupted one.
bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

}  // namespace

bool rename_replacing(const std::string& from, const std::string& to)
{
    if (std::rename(from.c_str(), to.c_str()) != 0) return false;
    const std::size_t slash = to.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string(".") : to.substr(0, slash + 1);
    return sync_path(directory, true);
}

bool flush_file(const std::string& path)
{
    return sync_path(path, false);
}

bool is_regular_file(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool truncate_file(const std::string& path, long long length)
{
    return length >= 0 && ::truncate(path.c_str(), static_cast<off_t>(length)) == 0;
}

bool remove_file(const std::string& path)
{
    // unlink, not remove: a directory is not a file and must stay.
    return ::unlink(path.c_str()) == 0;
}

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::string full_path(const std::string& path)
{
    if (path.empty()) return {};
    std::string absolute = path;
    if (path.front() != '/') {
        std::vector<char> cwd(4096);
        if (::getcwd(cwd.data(), cwd.size()) == nullptr) return {};
        absolute = std::string(cwd.data()) + "/" + path;
    }

    std::vector<std::string> steps;
    std::size_t start = 0;
    while (start <= absolute.size()) {
        std::size_t end = absolute.find('/', start);
        if (end == std::string::npos) end = absolute.size();
        const std::string step = absolute.substr(start, end - start);
        if (step == "..") {
            if (!steps.empty()) steps.pop_back();
        } else if (!step.empty() && step != ".") {
            steps.push_back(step);
        }
        start = end + 1;
    }

    std::string result;
    for (const std::string& step : steps) result += "/" + step;
    if (result.empty()) return "/";
    // A path naming a directory keeps its final separator.
    if (absolute.back() == '/') result += "/";
    return result;
}

bool write_file_atomic(const std::string& path, std::string_view bytes, bool owner_only)
{
    // A name of its own beside the target, so the rename stays on one file system; O_EXCL
    // so that no file (or link) someone else put there is written through.
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, owner_only ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    // The creation mode passes through the umask; owner_only means exactly 0600.
    bool written = (!owner_only || ::fchmod(fd, 0600) == 0) && write_all(fd, bytes) && ::fsync(fd) == 0;
    if (::close(fd) != 0) written = false;
    if (written && rename_replacing(temporary, path)) return true;
    ::unlink(temporary.c_str());
    return false;
}

std::optional<std::string> read_small_file(const std::string& path, std::size_t limit)
{
    // Non-blocking, so a FIFO put in the file's place cannot hold the open; it is then
    // refused as not a regular file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> content;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        std::string bytes;
        char block[65536];
        for (;;) {
            const ssize_t n = ::read(fd, block, sizeof block);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            if (n == 0) {
                content = std::move(bytes);
                break;
            }
            // The size is not trusted: the file may grow while it is read.
            if (bytes.size() + std::size_t(n) > limit) break;
            bytes.append(block, std::size_t(n));
        }
    }
    ::close(fd);
    return content;
}

std::vector<std::string> list_files(const std::string& directory, std::string_view prefix, std::string_view suffix)
{
    std::vector<std::string> names;
    DIR* listing = ::opendir(directory.empty() ? "." : directory.c_str());
    if (listing == nullptr) return names;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (entry->d_type != DT_DIR && name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) &&
            name.ends_with(suffix))
            names.emplace_back(name);
    }
    ::closedir(listing);
    return names;
}

namespace {

bool same_identity(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::optional<FileBeingMade> FileBeingMade::create(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return std::nullopt;
    FileBeingMade file(fd);
    // Between the open and the lock remove_abandoned_file may have taken the file for
    // abandoned: it holds the lock now, or it has removed the name.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return std::nullopt;
    struct stat made {};
    struct stat named {};
    if (::fstat(fd, &made) != 0 || ::lstat(path.c_str(), &named) != 0 || !same_identity(made, named))
        return std::nullopt;
    return file;
}

namespace {

void close_descriptor(std::intptr_t fd) noexcept
{
    // Closing the only descriptor of the open file ends its lock.
    ::close(int(fd));
}

}  // namespace

FileBeingMade::FileBeingMade(std::intptr_t handle) noexcept : handle_(handle, close_descriptor) {}

bool remove_abandoned_file(const std::string& path)
{
    // Neither a link nor a FIFO put in its place is opened through.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    // Removed while the lock is held, and only while the name is still the file locked.
    struct stat opened {};
    struct stat named {};
    const bool removed = ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                         ::lstat(path.c_str(), &named) == 0 && same_identity(opened, named) &&
                         ::unlink(path.c_str()) == 0;
    ::close(fd);
    return removed;
}

std::optional<FileLock> FileLock::acquire(const std::string& path, int timeout_seconds)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return std::nullopt;
    FileLock lock(fd);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return std::nullopt;
        if (timeout_seconds > 0 && std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

FileLock::FileLock(std::intptr_t handle) noexcept : handle_(handle, close_descriptor) {}

}  // namespace zanpost::platform
