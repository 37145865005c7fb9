#include "message/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace zanpost {
namespace {

TEST(Posn, ForwardFindsTheNthOccurrence)
{
    EXPECT_EQ(posn("a", "banana", 1), 2);
    EXPECT_EQ(posn("a", "banana", 2), 4);
    EXPECT_EQ(posn("A", "banana", 1), 7);  // case-sensitive: no occurrence
    // Occurrences overlap.
    EXPECT_EQ(posn("aa", "aaa", 2), 2);
    EXPECT_EQ(posn("ana", "banana", 2), 4);
    EXPECT_EQ(posn("aa", "aaa", 3), 4);
}

TEST(Posn, MissingForwardOccurrenceGivesLengthPlusNumberMissing)
{
    EXPECT_EQ(posn("a", "banana", 4), 7);   // one missing
    EXPECT_EQ(posn("x", "banana", 3), 9);   // none at all
    EXPECT_EQ(posn("a", "", 1), 1);         // an empty text holds nothing
    EXPECT_EQ(posn("abcd", "abc", 1), 4);   // longer than the text
    EXPECT_EQ(posn("a", "banana", 0), 0);
}

TEST(Posn, BackwardCountsFromTheEndWithOverlaps)
{
    EXPECT_EQ(posn("a", "banana", -1), 6);
    EXPECT_EQ(posn("ana", "banana", -1), 4);
    EXPECT_EQ(posn("ana", "banana", -2), 2);  // overlaps the last one
    EXPECT_EQ(posn("aa", "aaaa", -3), 1);
    EXPECT_EQ(posn("ab", "abab", -2), 1);     // reaches the very first position
}

TEST(Posn, MissingBackwardOccurrenceGivesZero)
{
    EXPECT_EQ(posn("ana", "banana", -3), 0);
    EXPECT_EQ(posn("aa", "aaaa", -4), 0);
    EXPECT_EQ(posn("a", "", -1), 0);
    EXPECT_EQ(posn("abcd", "abc", -1), 0);
}

TEST(Posn, EmptySubstringNeverMatches)
{
    EXPECT_EQ(posn("", "abc", 1), 4);
    EXPECT_EQ(posn("", "abc", 2), 5);
    EXPECT_EQ(posn("", "abc", -1), 0);
}

TEST(Posn, ExtremeOccurrenceNumbersStayOutOfTheText)
{
    constexpr auto max = std::numeric_limits<std::int32_t>::max();
    constexpr auto min = std::numeric_limits<std::int32_t>::min();
    EXPECT_GT(posn("a", "banana", max), 6);
    EXPECT_GT(posn("", "banana", max), 6);
    EXPECT_EQ(posn("a", "banana", min), 0);
}

TEST(PosnNot, ForwardAndBackward)
{
    EXPECT_EQ(posn_not(' ', "  ab", 1), 3);
    EXPECT_EQ(posn_not(' ', " a b", 2), 4);
    EXPECT_EQ(posn_not('=', "QQ==", -1), 2);
    EXPECT_EQ(posn_not('=', "ab==", -2), 1);
    EXPECT_EQ(posn_not(' ', "  ab", 0), 3);  // 0 is taken as 1
}

TEST(PosnNot, TooFewDifferingCharactersGiveZero)
{
    EXPECT_EQ(posn_not('=', "====", 1), 0);
    EXPECT_EQ(posn_not('=', "====", -1), 0);
    EXPECT_EQ(posn_not('=', "", -1), 0);
    EXPECT_EQ(posn_not('=', "ab", 3), 0);
    EXPECT_EQ(posn_not('=', "ab", -3), 0);
}

TEST(FileNamePart, BackslashThenColonThenWholePath)
{
    EXPECT_EQ(file_name_part("C:\\data\\out\\file.txt"), "file.txt");
    EXPECT_EQ(file_name_part("C:\\data\\"), "");
    EXPECT_EQ(file_name_part("C:file.txt"), "file.txt");
    EXPECT_EQ(file_name_part("C:\\data\\a:b"), "a:b");  // the colon after the last backslash stays
    EXPECT_EQ(file_name_part("/home/user/file.txt"), "/home/user/file.txt");
    EXPECT_EQ(file_name_part("file.txt"), "file.txt");
    EXPECT_EQ(file_name_part(""), "");
}

TEST(ZeroPadded, FillsToTheWidthOnly)
{
    EXPECT_EQ(zero_padded(5, 2), "05");
    EXPECT_EQ(zero_padded(0, 2), "00");
    EXPECT_EQ(zero_padded(12, 2), "12");
    EXPECT_EQ(zero_padded(123, 2), "123");
    EXPECT_EQ(zero_padded(7, 0), "7");
    const std::string wide = zero_padded(42, 255);
    EXPECT_EQ(wide.size(), 255u);
    EXPECT_EQ(wide, std::string(253, '0') + "42");
    EXPECT_EQ(zero_padded(-5, 3), "-05");  // the sign stays in front
    EXPECT_EQ(zero_padded(-50, 2), "-50");
}

}  // namespace
}  // namespace zanpost
