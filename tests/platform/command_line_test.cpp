#include "platform/process.h"

#include <gtest/gtest.h>

namespace zanpost::platform {
namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLine, BlanksAndControlCharactersSeparate)
{
    EXPECT_EQ(split_command_line("Zan_Post.exe SEND"), (Args{"Zan_Post.exe", "SEND"}));
    EXPECT_EQ(split_command_line("  a\t\tb\r\n c  "), (Args{"a", "b", "c"}));
    EXPECT_EQ(split_command_line(""), Args{});
    EXPECT_EQ(split_command_line(" \t "), Args{});
}

TEST(SplitCommandLine, QuotesHoldBlanksAndAreDropped)
{
    EXPECT_EQ(split_command_line("\"C:\\Program Files\\Zan_Post.exe\" get"),
              (Args{"C:\\Program Files\\Zan_Post.exe", "get"}));
    // "get " with its blank does not become "get".
    EXPECT_EQ(split_command_line("prog \"get \""), (Args{"prog", "get "}));
    EXPECT_EQ(split_command_line("prog se\"n\"d"), (Args{"prog", "send"}));
    EXPECT_EQ(split_command_line("prog \"\""), (Args{"prog", ""}));
    // An open quote runs to the end of the line.
    EXPECT_EQ(split_command_line("prog \"a b"), (Args{"prog", "a b"}));
}

TEST(SplitCommandLine, BytesAboveAsciiAreNotSeparators)
{
    EXPECT_EQ(split_command_line("prog P\xF8" "enos"), (Args{"prog", "P\xF8" "enos"}));
}

}  // namespace
}  // namespace zanpost::platform
