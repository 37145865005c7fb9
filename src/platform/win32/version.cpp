#include "platform/version.h"

#include "platform/win32/windows_api.h"

#include <winver.h>

namespace zanpost::platform {

std::vector<char> version_info_block(const std::string& path)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (size == 0) return {};
    // One byte more than asked for, as the program always did.
    std::vector<char> block(static_cast<std::size_t>(size) + 1);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, block.data())) return {};
    return block;
}

std::optional<std::string> version_query_value(const std::vector<char>& block, const std::string& sub_block)
{
    if (block.empty()) return std::nullopt;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), sub_block.c_str(), &value, &length) || value == nullptr)
        return std::nullopt;
    return std::string(static_cast<const char*>(value), length);
}

}  // namespace zanpost::platform
