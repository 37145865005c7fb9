// The password command: only its first line counts, only a clean exit with something
// printed is a password, and no command may hold the job beyond its time limit - nor
// leave anything it started running.

#include "platform/command.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

namespace zanpost::platform {
namespace {

using Status = CommandOutput::Status;
using zanpost::testing::read_file;
using zanpost::testing::TempDir;

struct CommandCase {
    const char* command;
    Status status;
    std::string first_line;
    int exit_code;
};

const std::vector<CommandCase> command_cases = {
    {"echo tajne-heslo", Status::ok, "tajne-heslo", 0},
    {"printf 'token\\r\\nsecond line\\n'", Status::ok, "token", 0},
    {"printf 'no line end'", Status::ok, "no line end", 0},
    {"printf ' blanks kept \\n'", Status::ok, " blanks kept ", 0},
    {"echo first; echo second >&2", Status::ok, "first", 0},
    // A large output is read to its end: the command is not blocked on a full pipe.
    {"yes 0123456789 | head -c 2000000", Status::ok, "0123456789", 0},
    {"true", Status::silent, "", 0},
    {"echo", Status::silent, "", 0},
    {"printf '\\r\\nsecond\\n'", Status::silent, "", 0},
    // Standard input is empty, not the program's own: a reader ends at once.
    {"cat", Status::silent, "", 0},
    {"exit 3", Status::failed, "", 3},
    {"echo printed-anyway; exit 1", Status::failed, "", 1},
    {"/nonexistent/password-helper", Status::failed, "", 127},
    {"kill -9 $$", Status::failed, "", -1},
};

TEST(RunCommand, FirstLineOfACleanExitIsThePassword)
{
    for (const CommandCase& c : command_cases) {
        SCOPED_TRACE(c.command);
        const CommandOutput output = run_command(c.command, 10);
        EXPECT_EQ(output.status, c.status);
        EXPECT_EQ(output.first_line, c.first_line);
        EXPECT_EQ(output.exit_code, c.exit_code);
    }
}

// No password store prints a line like these: a runaway or binary output is refused, read
// to its end without being kept, and does not slow the job down.
TEST(RunCommand, OverlongOrControlBytesAreUnusable)
{
    const std::vector<CommandCase> cases = {
        {"head -c 200000000 /dev/zero", Status::unusable, "", 0},
        {"head -c 20000 /dev/zero | tr '\\0' a", Status::unusable, "", 0},
        {"head -c 16385 /dev/zero | tr '\\0' a; echo", Status::unusable, "", 0},
        {"head -c 16384 /dev/zero | tr '\\0' a; printf '\\r\\nnext'", Status::ok, std::string(16384, 'a'), 0},
        {"printf 'pass\\tword\\n'", Status::unusable, "", 0},
        {"printf 'pass\\033[0m\\n'", Status::unusable, "", 0},
        {"printf 'pass\\177\\n'", Status::unusable, "", 0},
        {"printf 'pass\\r\\r\\n'", Status::unusable, "", 0},
        {"printf '\\303\\241\\n'", Status::ok, "\xC3\xA1", 0},
        {"head -c 200000 /dev/zero; exit 2", Status::failed, "", 2},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.command);
        const auto start = std::chrono::steady_clock::now();
        const CommandOutput output = run_command(c.command, 10);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
        EXPECT_EQ(output.status, c.status);
        EXPECT_EQ(output.first_line, c.first_line);
        EXPECT_EQ(output.exit_code, c.exit_code);
    }
}

struct SlowCase {
    const char* what;
    const char* command;
};

const std::vector<SlowCase> slow_cases = {
    {"silent sleeper", "sleep 30"},
    {"prints, then sleeps", "echo early; sleep 30"},
    {"closes its output, keeps running", "exec >&-; sleep 30"},
    {"ignores SIGTERM", "trap '' TERM; sleep 30"},
};

TEST(RunCommand, TimeOutEndsWithinTheLimit)
{
    for (const SlowCase& c : slow_cases) {
        SCOPED_TRACE(c.what);
        const auto start = std::chrono::steady_clock::now();
        const CommandOutput output = run_command(c.command, 1);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(output.status, Status::timed_out);
        EXPECT_EQ(output.first_line, "");
        EXPECT_GE(seconds, 0.9);
        EXPECT_LT(seconds, 3.0);
    }
}

// A process of the command's group still alive and not a zombie.
bool running(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    if (text.empty()) return false;
    const std::size_t state = text.rfind(')');
    return state != std::string::npos && state + 2 < text.size() && text[state + 2] != 'Z';
}

TEST(RunCommand, TimeOutKillsWhatTheShellStarted)
{
    TempDir dir;
    const std::string pid_file = dir.file("pid");
    // A grandchild in the background that would outlive the shell.
    const CommandOutput output =
        run_command("sh -c 'echo $$ > " + pid_file + "; exec sleep 30' & wait", 1);
    EXPECT_EQ(output.status, Status::timed_out);
    const pid_t grandchild = std::atoi(read_file(pid_file).c_str());
    ASSERT_GT(grandchild, 0);
    for (int k = 0; k < 100 && running(grandchild); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(running(grandchild));
}

TEST(RunCommand, NoLimitWaitsForTheCommand)
{
    const CommandOutput output = run_command("sleep 1; echo late", 0);
    EXPECT_EQ(output.status, Status::ok);
    EXPECT_EQ(output.first_line, "late");
}

}  // namespace
}  // namespace zanpost::platform
