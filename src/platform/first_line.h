#pragma once
// The first line of a password command's output, collected and judged the same way by
// both backends of run_command. Internal to the platform layer.

#include "platform/command.h"

#include <cstddef>
#include <string>

namespace zanpost::platform {

class FirstLine {
public:
    FirstLine();
    ~FirstLine() { wipe(); }
    FirstLine(const FirstLine&) = delete;
    FirstLine& operator=(const FirstLine&) = delete;

    // Keeps the bytes up to the first line end, or just past the limit; drops the rest,
    // which the caller still reads so the command never blocks on a full pipe.
    void add(const char* data, std::size_t size);
    // After a clean exit: ok with the line, silent, or unusable.
    void judge(CommandOutput& result);
    // Overwrites what was kept: it may be a secret.
    void wipe() noexcept;

private:
    std::string kept_;  // capacity reserved once, so no copy is left behind in the heap
    bool complete_ = false;
};

}  // namespace zanpost::platform
