#pragma once
// Runs a user's command through the system shell and takes the first line it prints: how a
// password or an OAuth access token is fetched from a password store or a token helper
// instead of lying in the INI file.

#include <cstddef>
#include <string>

namespace zanpost::platform {

struct CommandOutput {
    enum class Status {
        ok,         // exit code 0 and a first line that is not empty
        failed,     // could not be started, or ended with another exit code or by a signal
        silent,     // exit code 0, but the first line is empty (or nothing was printed)
        timed_out,  // still running when the time was up; it and its children were killed
        unusable,   // exit code 0, but the first line is longer than command_line_limit or
                    // holds a control byte (below 0x20, tab included, or 0x7F): no password
    };
    Status status = Status::failed;
    // The first line without its CR/LF; only with ok. The caller must treat it as a secret.
    std::string first_line;
    int exit_code = -1;  // when it ended by itself
};

// The longest first line taken; of the output only this much is kept, the rest is read and
// dropped.
inline constexpr std::size_t command_line_limit = 16 * 1024;

// Runs `command` with "/bin/sh -c" (POSIX) or "cmd /c" (Windows, no console window),
// standard input empty, standard output read through a pipe, standard error inherited.
// Waits at most `timeout_seconds` (0: no limit) for the command to end; on time-out the
// whole process group (POSIX) or job (Windows) is killed and reaped.
CommandOutput run_command(const std::string& command, int timeout_seconds);

}  // namespace zanpost::platform
