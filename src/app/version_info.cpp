#include "app/version_info.h"

#include "platform/version.h"

namespace zanpost {

std::string ReadVersion(const std::string& path)
{
    const std::vector<char> block = platform::version_info_block(path);
    if (block.empty()) return {};
    const auto value = platform::version_query_value(block, "\\StringFileInfo\\040504E2\\FileVersion\\");
    if (!value) return {};
    return value->substr(0, value->find('\0'));
}

}  // namespace zanpost
