#include "platform/process.h"

namespace zanpost::platform {

std::vector<std::string> split_command_line(std::string_view command_line)
{
    std::vector<std::string> arguments;
    std::size_t i = 0;
    const std::size_t n = command_line.size();
    for (;;) {
        while (i < n && static_cast<unsigned char>(command_line[i]) <= ' ') ++i;
        if (i >= n) break;
        std::string argument;
        bool quoted = false;
        while (i < n && (quoted || static_cast<unsigned char>(command_line[i]) > ' ')) {
            if (command_line[i] == '"')
                quoted = !quoted;
            else
                argument.push_back(command_line[i]);
            ++i;
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

}  // namespace zanpost::platform
