// The version resource and the icon, read back through the seam from a program that links
// the same compiled resources as Zan_Post.exe.

#include "platform/process.h"
#include "platform/ui.h"
#include "platform/version.h"
#include "platform/version_values.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace zanpost::platform {
namespace {

// The text of a string value as the program takes it: up to the first NUL.
std::string text_of(const std::optional<std::string>& value)
{
    return value ? value->substr(0, value->find('\0')) : std::string("<no value>");
}

std::string query(const std::vector<char>& block, const std::string& key)
{
    return text_of(version_query_value(block, "\\StringFileInfo\\040504E2\\" + key + "\\"));
}

TEST(VersionResource, CarriesTheSingleSourceOfTheVersionStrings)
{
    const std::vector<char> block = version_info_block(own_executable_path());
    ASSERT_FALSE(block.empty());

    EXPECT_EQ(query(block, "FileVersion"), "3.98.30.3");
    EXPECT_EQ(query(block, "FileVersion"), version_values::file_version);
    EXPECT_EQ(query(block, "FileDescription"), "ZanPost pro Tabulix");
    EXPECT_EQ(query(block, "ProductName"), "ZanPost pro Tabulix");
    EXPECT_EQ(query(block, "InternalName"), "Zan_Post");
    EXPECT_EQ(query(block, "OriginalFilename"), "Zan_Post.exe");
    EXPECT_EQ(query(block, "ProductVersion"), "1.0.0.0");
    EXPECT_EQ(query(block, "CompanyName"), version_values::company_name);
    EXPECT_EQ(query(block, "LegalCopyright"), version_values::legal_copyright);
    EXPECT_EQ(query(block, "Comments"), version_values::comments);
}

TEST(VersionResource, ReportedLengthCoversTheWholeText)
{
    const std::vector<char> block = version_info_block(own_executable_path());
    const auto value = version_query_value(block, "\\StringFileInfo\\040504E2\\FileVersion\\");
    ASSERT_TRUE(value.has_value());
    // The program cuts the value at the reported length: it must not lose the last digit.
    EXPECT_GE(value->size(), std::string("3.98.30.3").size());
}

TEST(VersionResource, TranslationIsCzechInCodePage1250)
{
    const std::vector<char> block = version_info_block(own_executable_path());
    const auto translation = version_query_value(block, "\\VarFileInfo\\Translation");
    ASSERT_TRUE(translation.has_value());
    // Two little-endian 16-bit words: language 0x0405, code page 0x04E2.
    EXPECT_EQ(*translation, std::string("\x05\x04\xE2\x04", 4));
}

TEST(VersionResource, QueriesThatFindNothingGiveNoValue)
{
    const std::vector<char> block = version_info_block(own_executable_path());
    EXPECT_FALSE(version_query_value(block, "\\StringFileInfo\\040904B0\\FileVersion\\").has_value());
    EXPECT_FALSE(version_query_value(block, "\\StringFileInfo\\040504E2\\NoSuchKey\\").has_value());
    EXPECT_FALSE(version_query_value({}, "\\StringFileInfo\\040504E2\\FileVersion\\").has_value());
}

TEST(VersionResource, FilesWithoutOneGiveAnEmptyBlock)
{
    testing::TempDir dir;
    const std::string plain = dir.file("plain.txt");
    testing::write_file(plain, "no resources in here\r\n");
    EXPECT_TRUE(version_info_block(plain).empty());
    EXPECT_TRUE(version_info_block(dir.file("missing.exe")).empty());
    // The file read is the one named, not the running program.
    EXPECT_EQ(testing::read_file(plain), "no resources in here\r\n");
}

TEST(MainIcon, LoadsFromTheProgramsOwnModule)
{
    EXPECT_NE(load_main_icon(), 0u);
    // The notification area's own 16 x 16 image, not the large one scaled down.
    EXPECT_NE(load_small_main_icon(), 0u);
}

}  // namespace
}  // namespace zanpost::platform
