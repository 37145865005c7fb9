#include "platform/first_line.h"

#include <cstring>

namespace zanpost::platform {

FirstLine::FirstLine()
{
    kept_.reserve(command_line_limit + 2);
}

void FirstLine::add(const char* data, std::size_t size)
{
    if (complete_) return;
    const void* end = std::memchr(data, '\n', size);
    if (end != nullptr) {
        size = std::size_t(static_cast<const char*>(end) - data);
        complete_ = true;
    }
    // One byte past the limit, and one for a CR before the line end, tell "too long".
    const std::size_t room = command_line_limit + 2 - kept_.size();
    if (size >= room) {
        size = room;
        complete_ = true;
    }
    kept_.append(data, size);
}

void FirstLine::judge(CommandOutput& result)
{
    std::size_t length = kept_.size();
    if (length > 0 && length <= command_line_limit + 1 && kept_[length - 1] == '\r') --length;
    if (length == 0) {
        result.status = CommandOutput::Status::silent;
        return;
    }
    bool usable = length <= command_line_limit;
    for (std::size_t i = 0; usable && i < length; ++i) {
        const auto byte = static_cast<unsigned char>(kept_[i]);
        usable = byte >= 0x20 && byte != 0x7F;
    }
    if (!usable) {
        result.status = CommandOutput::Status::unusable;
        return;
    }
    result.status = CommandOutput::Status::ok;
    result.first_line.assign(kept_, 0, length);
}

void FirstLine::wipe() noexcept
{
    std::memset(kept_.data(), 0, kept_.size());
    kept_.clear();
}

}  // namespace zanpost::platform
