#include "platform/paths.h"
#include "platform/process.h"

#include <gtest/gtest.h>

#include <string>

namespace zanpost::platform {
namespace {

// The three kinds of path side by side: each rule cuts where its kind of path has its
// separators, and only there.
TEST(Paths, EachKindOfPathEndsInItsOwnName)
{
    const bool posix = is_directory_separator('/');
    struct Case {
        std::string path;
        std::string own;         // final_component on this platform
        std::string windows;     // windows_final_component
        std::string attachment;  // attachment_file_name
    };
    const Case cases[] = {
        {"export.dat", "export.dat", "export.dat", "export.dat"},
        {"C:\\data\\export.dat", posix ? "C:\\data\\export.dat" : "export.dat", "export.dat", "export.dat"},
        {"D:export.dat", posix ? "D:export.dat" : "export.dat", "export.dat", "export.dat"},
        {"C:\\data\\a:b", posix ? "C:\\data\\a:b" : "b", "a:b", "a:b"},
        {"/srv/data/export.dat", posix ? "export.dat" : "/srv/data/export.dat", "/srv/data/export.dat",
         posix ? "export.dat" : "/srv/data/export.dat"},
        {"/srv/x\\y/z", posix ? "z" : "y/z", "y/z", posix ? "z" : "y/z"},
        {"/srv/data/", posix ? "" : "/srv/data/", "/srv/data/", posix ? "" : "/srv/data/"},
        {"", "", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(final_component(c.path), c.own) << c.path;
        EXPECT_EQ(directory_length(c.path), c.path.size() - c.own.size()) << c.path;
        EXPECT_EQ(windows_final_component(c.path), c.windows) << c.path;
        EXPECT_EQ(attachment_file_name(c.path), c.attachment) << c.path;
    }
}

TEST(Paths, AReceivedNameIsTheSameOnEveryPlatform)
{
    // Whatever this platform's separators, a name from a message is cut at all of them.
    EXPECT_EQ(storable_file_name("a/b\\c"), "c");
    EXPECT_EQ(storable_file_name("a/ab:c"), std::nullopt);
    EXPECT_EQ(storable_file_name("C:\\x\\y.txt"), "y.txt");
    EXPECT_EQ(storable_file_name("../y.txt "), "y.txt");
    EXPECT_EQ(storable_file_name("Z:y.txt."), "y.txt");
}

}  // namespace
}  // namespace zanpost::platform
