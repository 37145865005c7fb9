#include "message/address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zanpost {
namespace {

// Every address of a text, walked the way the SMTP client walks a recipient line.
std::vector<std::string> all_addresses(std::string_view text)
{
    std::vector<std::string> found;
    for (std::int32_t n = 1; n < 100; ++n) {
        std::string address = extract_address(text, n);
        if (address.empty()) break;
        found.push_back(std::move(address));
    }
    return found;
}

using Addresses = std::vector<std::string>;

TEST(ExtractAddress, BareAddress)
{
    EXPECT_EQ(extract_address("jan@firma.cz", 1), "jan@firma.cz");
    EXPECT_EQ(extract_address("jan@firma.cz", 2), "");
}

TEST(ExtractAddress, DisplayNameAndAngleBrackets)
{
    EXPECT_EQ(extract_address("Jan Nov\xE1k <jan@firma.cz>", 1), "jan@firma.cz");
    EXPECT_EQ(extract_address("\"Nov\xE1k, Jan\" <jan@firma.cz>", 1), "jan@firma.cz");
    EXPECT_EQ(extract_address("\"Nov\xE1k, Jan\" <jan@firma.cz>", 2), "");
    EXPECT_EQ(extract_address("\"Nov\xE1k; Jan\" <jan@firma.cz>", 1), "jan@firma.cz");
}

TEST(ExtractAddress, CommentAfterTheAddressIsLeftOut)
{
    EXPECT_EQ(extract_address("jan@firma.cz (Jan Novak)", 1), "jan@firma.cz");
    EXPECT_EQ(extract_address("(jan@firma.cz)", 1), "jan@firma.cz");
    EXPECT_EQ(extract_address("\"jan@firma.cz\"", 1), "jan@firma.cz");
    EXPECT_EQ(extract_address("<(\"jan@firma.cz\")>", 1), "jan@firma.cz");
}

TEST(ExtractAddress, CommaAndSemicolonListsWalkInOrder)
{
    EXPECT_EQ(all_addresses("a@x.cz,b@y.cz;c@z.cz"), (Addresses{"a@x.cz", "b@y.cz", "c@z.cz"}));
    EXPECT_EQ(all_addresses("Jan <jan@x.cz>, Eva <eva@y.cz>; <petr@z.cz>"),
              (Addresses{"jan@x.cz", "eva@y.cz", "petr@z.cz"}));
    EXPECT_EQ(extract_address("a@x.cz,b@y.cz;c@z.cz", 4), "");
}

TEST(ExtractAddress, NegativeNumberCountsFromTheEnd)
{
    EXPECT_EQ(extract_address("a@x.cz, b@y.cz, c@z.cz", -1), "c@z.cz");
    EXPECT_EQ(extract_address("a@x.cz, b@y.cz, c@z.cz", -3), "a@x.cz");
    EXPECT_EQ(extract_address("a@x.cz, b@y.cz, c@z.cz", -4), "");
}

TEST(ExtractAddress, NoAddressGivesEmptyText)
{
    EXPECT_EQ(extract_address("Jan Novak", 1), "");
    EXPECT_EQ(extract_address("", 1), "");
    EXPECT_EQ(extract_address("", -1), "");
    EXPECT_EQ(extract_address("jan@firma.cz", 0), "");
}

TEST(ExtractAddress, AtSignInTheDisplayNameCountsAsAnAddress)
{
    const std::string text = "\"jan@doma.cz\" <jan@firma.cz>";
    EXPECT_EQ(extract_address(text, 1), "jan@doma.cz");
    EXPECT_EQ(extract_address(text, 2), "jan@firma.cz");
    EXPECT_EQ(extract_address(text, 3), "");
}

TEST(ExtractAddress, OnlyBlankCommaAndSemicolonSeparate)
{
    // A tab is part of the address text, so the name stays in front of it.
    EXPECT_EQ(extract_address("Jan\t<jan@x.cz>", 1), "Jan\t<jan@x.cz");
    EXPECT_EQ(extract_address("jan@x.cz/eva@y.cz", 2), "jan@x.cz/eva@y.cz");
}

TEST(ExtractAddress, AtSignAtTheEdges)
{
    EXPECT_EQ(extract_address("@firma.cz", 1), "@firma.cz");
    EXPECT_EQ(extract_address("<jan@>", 1), "jan@");
    EXPECT_EQ(extract_address("x, @", 1), "@");
}

}  // namespace
}  // namespace zanpost
