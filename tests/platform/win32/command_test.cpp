// The password command through cmd /c: the first line, the exit code, and a time limit
// that holds for a command that never ends.

#include "platform/command.h"

#include <gtest/gtest.h>

#include <chrono>

namespace zanpost::platform {
namespace {

using Status = CommandOutput::Status;

struct CommandCase {
    const char* command;
    Status status;
    std::string first_line;
    int exit_code;
};

TEST(RunCommandCmd, FirstLineOfACleanExitIsThePassword)
{
    const std::vector<CommandCase> cases = {
        {"echo tajne-heslo", Status::ok, "tajne-heslo", 0},
        {"(echo token)& (echo second)", Status::ok, "token", 0},
        {"exit /b 3", Status::failed, "", 3},
        {"(echo printed)& exit /b 1", Status::failed, "", 1},
        {"rem nothing", Status::silent, "", 0},
        {"echo pass\tword", Status::unusable, "", 0},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.command);
        const CommandOutput output = run_command(c.command, 20);
        EXPECT_EQ(output.status, c.status);
        EXPECT_EQ(output.first_line, c.first_line);
        EXPECT_EQ(output.exit_code, c.exit_code);
    }
}

TEST(RunCommandCmd, TimeOutEndsWithinTheLimit)
{
    const auto start = std::chrono::steady_clock::now();
    const CommandOutput output = run_command("ping -n 30 127.0.0.1", 2);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(output.status, Status::timed_out);
    EXPECT_EQ(output.first_line, "");
    EXPECT_LT(seconds, 10.0);
}

}  // namespace
}  // namespace zanpost::platform
