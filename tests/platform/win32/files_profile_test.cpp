// File operations and the INI reader of the Windows backend.

#include "platform/files.h"
#include "platform/profile.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace zanpost::platform {
namespace {

TEST(RenameReplacing, ReplacesAnExistingTarget)
{
    testing::TempDir dir;
    testing::write_file(dir.file("new.txt"), "new");
    testing::write_file(dir.file("old.txt"), "old");
    ASSERT_TRUE(rename_replacing(dir.file("new.txt"), dir.file("old.txt")));
    EXPECT_EQ(testing::read_file(dir.file("old.txt")), "new");
    EXPECT_THROW(testing::read_file(dir.file("new.txt")), std::runtime_error);
}

TEST(RenameReplacing, MissingSourceFailsAndKeepsTheTarget)
{
    testing::TempDir dir;
    testing::write_file(dir.file("old.txt"), "old");
    EXPECT_FALSE(rename_replacing(dir.file("missing.txt"), dir.file("old.txt")));
    EXPECT_EQ(testing::read_file(dir.file("old.txt")), "old");
}

TEST(RemoveFile, RemovesOnceAndThenReportsFailure)
{
    testing::TempDir dir;
    testing::write_file(dir.file("a.txt"), "a");
    testing::write_file(dir.file("b.txt"), "b");
    EXPECT_TRUE(remove_file(dir.file("a.txt")));
    EXPECT_FALSE(remove_file(dir.file("a.txt")));
    EXPECT_EQ(testing::read_file(dir.file("b.txt")), "b");
}

TEST(FullPath, ResolvesDotStepsAndRelativeNames)
{
    testing::TempDir dir;
    const std::string base = dir.path().string();
    EXPECT_EQ(full_path(base + "\\sub\\..\\.\\x.txt"), base + "\\x.txt");
    EXPECT_EQ(full_path("x.txt"), std::filesystem::current_path().string() + "\\x.txt");
    EXPECT_EQ(full_path(""), "");
}

class Profile : public ::testing::Test {
protected:
    void SetUp() override
    {
        testing::write_file(path, "; settings of a test\r\n"
                                  "[Mail]\r\n"
                                  "Odesilatel=odesilatel@example.cz\r\n"
                                  "Adresat = a@example.cz , b@example.cz  \r\n"
                                  "Predmet=\"v uvozovkach\"\r\n"
                                  "Telo=P\xF8" "edm\xECt \x9A\r\n"
                                  "Long=" + std::string(2000, 'x') + "\r\n"
                                  "[Soubory]\r\n"
                                  "Cesta=C:\\data\\\r\n"
                                  "Odesilatel=jina@example.cz\r\n");
    }

    std::string read(const std::string& section, const std::string& key, std::size_t size = 1024)
    {
        return profile_string(section, key, "<default>", size, path);
    }

    testing::TempDir dir;
    std::string path = dir.file("Zan_Post.ini");
};

TEST_F(Profile, ReadsValuesOfTheRightSection)
{
    EXPECT_EQ(read("Mail", "Odesilatel"), "odesilatel@example.cz");
    EXPECT_EQ(read("Soubory", "Odesilatel"), "jina@example.cz");
    EXPECT_EQ(read("Soubory", "Cesta"), "C:\\data\\");
}

TEST_F(Profile, NamesMatchWithoutRegardToCase)
{
    EXPECT_EQ(read("MAIL", "odesilatel"), "odesilatel@example.cz");
    EXPECT_EQ(read("soubory", "CESTA"), "C:\\data\\");
}

TEST_F(Profile, TrimsBlanksAndDropsEnclosingQuotes)
{
    EXPECT_EQ(read("Mail", "Adresat"), "a@example.cz , b@example.cz");
    EXPECT_EQ(read("Mail", "Predmet"), "v uvozovkach");
}

TEST_F(Profile, KeepsCodePage1250BytesUnchanged)
{
    EXPECT_EQ(read("Mail", "Telo"), "P\xF8" "edm\xECt \x9A");
}

TEST_F(Profile, AbsentFileSectionOrKeyGivesTheDefault)
{
    EXPECT_EQ(read("Mail", "NoSuchKey"), "<default>");
    EXPECT_EQ(read("NoSuchSection", "Odesilatel"), "<default>");
    EXPECT_EQ(profile_string("Mail", "Odesilatel", "fallback", 1024, dir.file("missing.ini")), "fallback");
}

TEST_F(Profile, CutsTheValueToOneLessThanTheBuffer)
{
    EXPECT_EQ(read("Mail", "Long"), std::string(1023, 'x'));
    EXPECT_EQ(read("Mail", "Odesilatel", 5), "odes");
    EXPECT_EQ(read("Mail", "Odesilatel", 0), "");
}

}  // namespace
}  // namespace zanpost::platform
