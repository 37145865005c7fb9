#include "rtl/exceptions.h"
#include "rtl/number.h"

#include <gtest/gtest.h>

namespace zanpost {
namespace {

TEST(StrToInt, AcceptsDecimalSignedAndHexadecimal)
{
    EXPECT_EQ(try_str_to_int("0"), 0);
    EXPECT_EQ(try_str_to_int("  42"), 42);
    EXPECT_EQ(try_str_to_int("-0"), 0);
    EXPECT_EQ(try_str_to_int("+17"), 17);
    EXPECT_EQ(try_str_to_int("$10"), 16);
    EXPECT_EQ(try_str_to_int("$fF"), 255);
    EXPECT_EQ(try_str_to_int("$FFFFFFFF"), -1);
    EXPECT_EQ(try_str_to_int("2147483647"), 2147483647);
    EXPECT_EQ(try_str_to_int("-2147483648"), -2147483647 - 1);
}

TEST(StrToInt, RejectsAnythingElse)
{
    for (const char* bad : {"", " ", "-", "+", "$", "12 ", "1a", "0x10", "x", "2147483648", "-2147483649",
                            "$100000000", "\t1", "- 1", "+$1", "yes"}) {
        EXPECT_EQ(try_str_to_int(bad), std::nullopt) << bad;
    }
}

TEST(StrToInt, ConversionErrorNamesTheText)
{
    try {
        str_to_int("+OK");
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.message(), "'+OK' is not a valid integer value");
        EXPECT_EQ(e.kind(), "EConvertError");
    }
}

}  // namespace
}  // namespace zanpost
