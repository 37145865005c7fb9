// The files a token cache lives in: replaced whole or not at all, readable only by the
// owner, read with a bound, and guarded by a lock that another process must wait for.

#include "platform/files.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace zanpost::platform {
namespace {

using zanpost::testing::read_file;
using zanpost::testing::TempDir;
using zanpost::testing::write_file;

std::size_t entries(const TempDir& dir)
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++count;
    return count;
}

TEST(WriteFileAtomic, ReplacesWholeOrLeavesTheOldAlone)
{
    TempDir dir;
    const std::string cache = dir.file("tokens");
    write_file(cache, "old");
#ifndef _WIN32
    ASSERT_EQ(::chmod(cache.c_str(), 0644), 0);
#endif
    EXPECT_TRUE(write_file_atomic(cache, std::string("new\0bytes", 9), true));
    EXPECT_EQ(read_file(cache), std::string("new\0bytes", 9));
#ifndef _WIN32
    struct stat st {};
    ASSERT_EQ(::stat(cache.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
#endif
    EXPECT_EQ(entries(dir), 1u);  // no temporary behind

    // A target that cannot be replaced (a directory with something in it) stays as it was.
    std::filesystem::create_directory(dir.file("busy"));
    write_file(dir.file("busy") + "/inside", "kept");
    EXPECT_FALSE(write_file_atomic(dir.file("busy"), "new", true));
    EXPECT_EQ(read_file(dir.file("busy") + "/inside"), "kept");
    EXPECT_FALSE(write_file_atomic(dir.file("missing") + "/tokens", "new", true));
    EXPECT_EQ(entries(dir), 2u);
    EXPECT_EQ(read_file(cache), std::string("new\0bytes", 9));
}

TEST(ReadSmallFile, WholeFileUpToTheLimit)
{
    TempDir dir;
    write_file(dir.file("f"), "0123456789");
    std::filesystem::create_directory(dir.file("d"));
    EXPECT_EQ(read_small_file(dir.file("f"), 10), "0123456789");
    EXPECT_EQ(read_small_file(dir.file("f"), 9), std::nullopt);
    EXPECT_EQ(read_small_file(dir.file("d"), 100), std::nullopt);
    EXPECT_EQ(read_small_file(dir.file("none"), 100), std::nullopt);
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

#ifdef _WIN32
// LockFileEx excludes another handle of the same process as it does another process.
TEST(FileLock, SecondHolderWaitsUntilReleased)
{
    TempDir dir;
    const std::string path = dir.file("tokens.lock");
    std::optional<FileLock> first = FileLock::acquire(path, 1);
    ASSERT_TRUE(first.has_value());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FileLock::acquire(path, 1).has_value());
    EXPECT_GE(seconds_since(start), 0.9);
    FileLock moved = std::move(*first);
    first.reset();  // a moved-from lock releases nothing
    EXPECT_FALSE(FileLock::acquire(path, 1).has_value());
    { const FileLock gone = std::move(moved); }
    EXPECT_TRUE(FileLock::acquire(path, 1).has_value());
    EXPECT_TRUE(std::filesystem::exists(path));
}
#else
TEST(FileLock, AnotherProcessWaitsUntilTheHolderDies)
{
    TempDir dir;
    const std::string path = dir.file("tokens.lock");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const std::optional<FileLock> lock = FileLock::acquire(path, 5);
        const char byte = lock ? '1' : '0';
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(byte, '1');

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FileLock::acquire(path, 1).has_value());
    EXPECT_GE(seconds_since(start), 0.9);
    EXPECT_LT(seconds_since(start), 3.0);

    // Killed while we wait, not released: the lock must still come free to the waiter.
    std::thread killer([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(holder, SIGKILL);
        int status = 0;
        ::waitpid(holder, &status, 0);
    });
    const auto waited = std::chrono::steady_clock::now();
    const std::optional<FileLock> mine = FileLock::acquire(path, 5);
    killer.join();
    ASSERT_TRUE(mine.has_value());
    EXPECT_GE(seconds_since(waited), 0.25);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_FALSE(FileLock::acquire("/nonexistent-dir/x.lock", 1).has_value());
}
#endif

}  // namespace
}  // namespace zanpost::platform
