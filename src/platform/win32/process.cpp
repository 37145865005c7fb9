#include "platform/process.h"

#include "platform/win32/windows_api.h"

namespace zanpost::platform {

std::string own_executable_path()
{
    // The answer is cut without notice when the area is too small, so grow until it fits.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

bool is_directory_separator(char c) noexcept
{
    return c == '\\' || c == ':';
}

std::vector<std::string> command_line_arguments()
{
    std::vector<std::string> arguments = split_command_line(GetCommandLineA());
    if (!arguments.empty()) arguments.erase(arguments.begin());
    return arguments;
}

}  // namespace zanpost::platform
