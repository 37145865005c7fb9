#include "platform/files.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zanpost::platform {

bool rename_replacing(const std::string& from, const std::string& to)
{
    return std::rename(from.c_str(), to.c_str()) == 0;
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
