#include "rtl/exceptions.h"
#include "rtl/string_list.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace zanpost {
namespace {

using ::zanpost::testing::TempDir;

TEST(SplitLines, BreaksAtCrLfAndCrLfPairs)
{
    EXPECT_EQ(split_lines("a\r\nb\nc\rd"), (StringList{"a", "b", "c", "d"}));
    EXPECT_EQ(split_lines("a\r\n"), (StringList{"a"}));
    EXPECT_EQ(split_lines("a\n\r"), (StringList{"a", ""}));
    EXPECT_EQ(split_lines("\r\n\r\n"), (StringList{"", ""}));
    EXPECT_EQ(split_lines(""), StringList{});
}

TEST(SplitLines, NulEndsTheText)
{
    using namespace std::string_literals;
    EXPECT_EQ(split_lines("ab\r\ncd\0ef\r\ngh"s), (StringList{"ab", "cd"}));
}

TEST(StringListFile, SaveWritesCrLfAfterEveryLineAndReplaces)
{
    TempDir dir;
    const auto path = dir.file("out.txt");
    testing::write_file(path, "old content that is longer");
    save_to_file({"one", "", "t\xE9"}, path);
    EXPECT_EQ(testing::read_file(path), "one\r\n\r\nt\xE9\r\n");
    StringList back;
    load_from_file(back, path);
    EXPECT_EQ(back, (StringList{"one", "", "t\xE9"}));
}

TEST(StringListFile, MissingFileRaisesAndKeepsTheList)
{
    TempDir dir;
    StringList lines{"kept"};
    try {
        load_from_file(lines, dir.file("missing.txt"));
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.message(), "Cannot open file " + dir.file("missing.txt"));
        EXPECT_EQ(e.kind(), "EFOpenError");
    }
    EXPECT_EQ(lines, StringList{"kept"});
}

TEST(StringListFile, SaveIntoMissingDirectoryRaises)
{
    TempDir dir;
    EXPECT_THROW(save_to_file({"x"}, dir.file("no/such/dir.txt")), EFCreateError);
}

TEST(LineAt, OutOfBoundsNamesTheIndex)
{
    const StringList lines{"a", "b"};
    EXPECT_EQ(line_at(lines, 1), "b");
    try {
        (void)line_at(lines, -1);
        FAIL() << "no exception";
    } catch (const EStringListError& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (-1)");
    }
    EXPECT_THROW((void)line_at(lines, 2), EStringListError);
}

}  // namespace
}  // namespace zanpost
