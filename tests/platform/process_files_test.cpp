#include "platform/files.h"
#include "platform/process.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zanpost::platform {
namespace {

using zanpost::testing::read_file;
using zanpost::testing::TempDir;
using zanpost::testing::write_file;

TEST(OwnProcess, PathNamesThisTestProgram)
{
    const std::string path = own_executable_path();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_TRUE(path.ends_with("/test_platform")) << path;
    EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
}

TEST(OwnProcess, ArgumentsAreThoseTheProgramReceived)
{
    std::vector<std::string> expected = ::testing::internal::GetArgvs();
    expected.erase(expected.begin());
    EXPECT_EQ(command_line_arguments(), expected);
}

TEST(Files, OnlyARegularFileIsOne)
{
    TempDir dir;
    write_file(dir.file("soubor"), "x");
    std::filesystem::create_directory(dir.file("adresar"));
    std::filesystem::create_symlink(dir.file("soubor"), dir.file("odkaz"));
    ASSERT_EQ(::mkfifo(dir.file("roura").c_str(), 0600), 0);
    EXPECT_TRUE(is_regular_file(dir.file("soubor")));
    EXPECT_TRUE(is_regular_file(dir.file("odkaz")));  // a link to a file reads as the file
    for (const std::string& other : {dir.file("adresar"), dir.file("roura"), dir.file("chybi"), std::string("/dev/null"),
                                     std::string("/dev/zero"), std::string()})
        EXPECT_FALSE(is_regular_file(other)) << other;
}

TEST(Files, FlushingAndRenamingKeepTheBytes)
{
    TempDir dir;
    write_file(dir.file("novy"), "obsah");
    write_file(dir.file("stary"), "stary obsah");
    EXPECT_TRUE(flush_file(dir.file("novy")));
    EXPECT_FALSE(flush_file(dir.file("chybi")));
    EXPECT_TRUE(rename_replacing(dir.file("novy"), dir.file("stary")));
    EXPECT_EQ(read_file(dir.file("stary")), "obsah");
    EXPECT_FALSE(std::filesystem::exists(dir.file("novy")));
    EXPECT_FALSE(rename_replacing(dir.file("novy"), dir.file("stary")));
}

TEST(FullPath, ResolvesDotStepsTextually)
{
    EXPECT_EQ(full_path("/a/b/../c/./d"), "/a/c/d");
    EXPECT_EQ(full_path("/a//b/"), "/a/b/");
    EXPECT_EQ(full_path("/.."), "/");
    EXPECT_EQ(full_path(""), "");
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(full_path("x.txt"), cwd + "/x.txt");
    EXPECT_EQ(full_path("./sub/../y"), cwd + "/y");
}

TEST(Files, RenameReplacesAnExistingTarget)
{
    const TempDir dir;
    write_file(dir.file("new"), "new bytes");
    write_file(dir.file("old"), "old bytes");
    ASSERT_TRUE(rename_replacing(dir.file("new"), dir.file("old")));
    EXPECT_EQ(read_file(dir.file("old")), "new bytes");
    EXPECT_FALSE(std::filesystem::exists(dir.file("new")));
}

TEST(Files, FailedRenameKeepsBothFiles)
{
    const TempDir dir;
    write_file(dir.file("target"), "kept");
    EXPECT_FALSE(rename_replacing(dir.file("missing"), dir.file("target")));
    EXPECT_EQ(read_file(dir.file("target")), "kept");
}

TEST(Files, RemoveTakesFilesButNotDirectories)
{
    const TempDir dir;
    write_file(dir.file("f"), "x");
    EXPECT_TRUE(remove_file(dir.file("f")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("f")));
    EXPECT_FALSE(remove_file(dir.file("f")));
    std::filesystem::create_directory(dir.file("d"));
    EXPECT_FALSE(remove_file(dir.file("d")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("d")));
}

TEST(Files, SameFileSeesThroughLinksButNotAcrossFiles)
{
    const TempDir dir;
    write_file(dir.file("a"), "x");
    write_file(dir.file("b"), "x");
    std::filesystem::create_directory_symlink(dir.path(), dir.file("link"));
    EXPECT_TRUE(same_file(dir.file("a"), dir.file("link/a")));
    EXPECT_TRUE(same_file(dir.file("a"), dir.file("a")));
    EXPECT_FALSE(same_file(dir.file("a"), dir.file("b")));
    EXPECT_FALSE(same_file(dir.file("a"), dir.file("missing")));
    EXPECT_FALSE(same_file(dir.file("missing"), dir.file("missing")));
}

// The file of a maker that was killed is taken, not before; neither a FIFO nor a link in
// the place of one is opened through.
TEST(RemoveAbandonedFile, TakesTheFileOfAKilledMakerOnly)
{
    TempDir dir;
    const std::string path = dir.file("x.part");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t maker = ::fork();
    ASSERT_GE(maker, 0);
    if (maker == 0) {
        const std::optional<FileBeingMade> made = FileBeingMade::create(path);
        if (made && ::write(ready[1], "!", 1) == 1) ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char made = 0;
    EXPECT_EQ(::read(ready[0], &made, 1), 1);
    EXPECT_FALSE(remove_abandoned_file(path));
    ::kill(maker, SIGKILL);
    ::waitpid(maker, nullptr, 0);
    std::filesystem::create_symlink(path, dir.file("link"));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(remove_abandoned_file(dir.file("link")));
    EXPECT_FALSE(remove_abandoned_file(dir.file("fifo")));
    EXPECT_TRUE(remove_abandoned_file(path));
    EXPECT_FALSE(std::filesystem::exists(path));
    ::close(ready[0]);
}

}  // namespace
}  // namespace zanpost::platform
