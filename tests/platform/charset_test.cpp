#include "platform/charset.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zanpost::platform {
namespace {

TEST(Charset, CommonCharsetsToCp1250)
{
    const struct {
        const char* charset;
        std::string in;
        std::optional<std::string> out;
    } cases[] = {
        {"UTF-8", "\xC5\x98\xC3\xA1\x64\x65k \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD", "\xD8\xE1" "dek \x9Elu\x9Dou\xE8k\xFD"},
        {"utf-8", "\xE2\x82\xAC \xE2\x80\x9E" "a\xE2\x80\x9C", "\x80 \x84" "a\x93"},
        {"iso-8859-2", "\xA9\xB9\xAE\xBE\xE8", "\x8A\x9A\x8E\x9E\xE8"},
        {"ISO-8859-1", "\xE1\xE9\xE4", "\xE1\xE9\xE4"},
        {"windows-1252", "\x80\xE1", "\x80\xE1"},
        {"koi8-r", "\xF6", "_"},                          // Cyrillic: not in CP1250
        {"utf-8", "\xE6\x97\xA5", "_"},                   // one character CP1250 lacks: one "_"
        {"utf-8", "a\xFF" "b", "a_b"},                    // a byte that is no UTF-8
        {"utf-8", "ab\xC5", "ab_"},                       // cut in the middle of a character
        {"utf-8", "", ""},
        {"x-no-such-charset", "abc", std::nullopt},
        {"utf-8//TRANSLIT", "abc", std::nullopt},         // no orders through the name
        {"", "abc", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(convert_to_cp1250(c.in, c.charset), c.out) << c.charset << " " << c.in;
}

}  // namespace
}  // namespace zanpost::platform
