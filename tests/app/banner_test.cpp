#include "app/banner.h"

#include "platform/version_values.h"

#include <gtest/gtest.h>

namespace zanpost {
namespace {

std::vector<std::string> banner_lines()
{
    const std::string text = Banner();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find("\n\r", start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return lines;
}

TEST(Banner, FirstLineNamesProductAndRelease)
{
    EXPECT_EQ(banner_lines().front(), "ZanPost pro Tabulix 3.0");
}

TEST(Banner, LinesAreSeparatedByLineFeedThenCarriageReturnOnly)
{
    const auto lines = banner_lines();
    ASSERT_GE(lines.size(), 4u);
    for (const std::string& line : lines) {
        EXPECT_FALSE(line.empty());
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    }
    EXPECT_EQ(Banner().find("\r\n"), std::string::npos);
}

TEST(Banner, ContinuationLinesAreIndentedByFiveBlanks)
{
    const auto lines = banner_lines();
    int continuations = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.front() != ' ') continue;
        ++continuations;
        EXPECT_GT(i, 0u);
        EXPECT_EQ(line.substr(0, 5), "     ") << line;
        EXPECT_NE(line[5], ' ') << line;
    }
    EXPECT_GE(continuations, 1);
}

TEST(Banner, NamesTheSameMakerAsTheVersionInformation)
{
    const std::string text = Banner();
    EXPECT_NE(text.find(platform::version_values::company_name), std::string::npos);
    EXPECT_NE(text.find(platform::version_values::legal_copyright), std::string::npos);
}

TEST(Banner, CaptionIsVerzeAndTheVersion)
{
    EXPECT_EQ(BannerCaption("3.98.30.3"), "ZanPost verze 3.98.30.3");
    EXPECT_EQ(BannerCaption(""), "ZanPost verze ");
    EXPECT_EQ(BannerCaption("").size(), 14u);
}

}  // namespace
}  // namespace zanpost
