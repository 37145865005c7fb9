#include "platform/profile.h"

#include "platform/win32/windows_api.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace zanpost::platform {

std::string profile_string(const std::string& section, const std::string& key,
                           const std::string& default_value, std::size_t buffer_size,
                           const std::string& path)
{
    if (buffer_size == 0) return {};
    buffer_size = std::min<std::size_t>(buffer_size, std::numeric_limits<DWORD>::max());
    std::vector<char> buffer(buffer_size);
    const DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), default_value.c_str(),
                                                  buffer.data(), static_cast<DWORD>(buffer_size),
                                                  path.c_str());
    return std::string(buffer.data(), std::min<std::size_t>(length, buffer_size - 1));
}

}  // namespace zanpost::platform
