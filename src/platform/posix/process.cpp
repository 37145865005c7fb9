#include "platform/process.h"

#include <fstream>
#include <iterator>
#include <unistd.h>

namespace zanpost::platform {

std::string own_executable_path()
{
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return buffer;
        }
        // The link may have been cut: try again with room to spare.
        buffer.resize(buffer.size() * 2);
    }
}

bool is_directory_separator(char c) noexcept
{
    return c == '/';
}

std::vector<std::string> command_line_arguments()
{
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

    // Every argument, the program name first, ends with a NUL byte.
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        arguments.emplace_back(all, start, end - start);
        start = end + 1;
    }
    if (!arguments.empty()) arguments.erase(arguments.begin());
    return arguments;
}

}  // namespace zanpost::platform
