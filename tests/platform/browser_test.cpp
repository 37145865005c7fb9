// The browser is started through whatever xdg-open PATH names, with the URL as one
// argument untouched by any shell, and nothing of it is left for us to reap.

#include "platform/browser.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <thread>

namespace zanpost::platform {
namespace {

using zanpost::testing::read_file;
using zanpost::testing::TempDir;
using zanpost::testing::write_file;

class PathOf {
public:
    explicit PathOf(const std::string& value) : old_(std::getenv("PATH") ? std::getenv("PATH") : "")
    {
        ::setenv("PATH", value.c_str(), 1);
    }
    ~PathOf() { ::setenv("PATH", old_.c_str(), 1); }

private:
    std::string old_;
};

TEST(OpenInBrowser, StartsXdgOpenFromPathWithTheUrlAsIs)
{
    TempDir dir;
    const std::string seen = dir.file("seen");
    write_file(dir.file("xdg-open"), "#!/bin/sh\n"
                                     "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1)\n"
                                     "printf '%s\\n' \"$#\" \"$1\" \"$fds\" > " + seen + ".part\n"
                                     "mv " + seen + ".part " + seen + "\n");
    std::filesystem::permissions(dir.file("xdg-open"), std::filesystem::perms::owner_all);
    const std::string url = "https://login.example/authorize?a=1&b=$HOME 'x'\"y\"";
    {
        const PathOf path(dir.path().string() + ":/usr/bin:/bin");
        ASSERT_TRUE(open_in_browser(url));
    }
    // The middle process is reaped before the call returns; the browser is nobody's child here.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    for (int i = 0; i < 250 && !std::filesystem::exists(seen); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(read_file(seen), "1\n" + url + "\n/dev/null\n/dev/null\n");
}

TEST(OpenInBrowser, FalseWithoutXdgOpen)
{
    TempDir dir;
    const PathOf path(dir.path().string());
    EXPECT_FALSE(open_in_browser("https://example.org/"));
}

}  // namespace
}  // namespace zanpost::platform
