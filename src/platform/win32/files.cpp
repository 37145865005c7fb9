#include "platform/files.h"

#include "platform/win32/windows_api.h"

namespace zanpost::platform {

bool rename_replacing(const std::string& from, const std::string& to)
{
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool remove_file(const std::string& path)
{
    return DeleteFileA(path.c_str()) != 0;
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

}  // namespace zanpost::platform
