#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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

}  // namespace zanpost::platform
