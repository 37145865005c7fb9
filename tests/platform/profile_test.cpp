#include "platform/profile.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace zanpost::platform {
namespace {

using zanpost::testing::TempDir;
using zanpost::testing::write_file;
using namespace std::string_literals;

class ProfileTest : public ::testing::Test {
protected:
    // Writes the INI text and reads one key from it with a 1024-byte buffer.
    std::string read(const std::string& ini, const std::string& section, const std::string& key,
                     const std::string& fallback = "<default>")
    {
        write_file(path_, ini);
        return profile_string(section, key, fallback, 1024, path_);
    }

    TempDir dir_;
    std::string path_ = dir_.file("test.ini");
};

TEST_F(ProfileTest, FindsKeyWhateverTheLetterCaseOfNames)
{
    const std::string ini = "[Mail]\r\nSMTP=smtp.example\r\n[Upozorneni]\r\nText=hotovo\r\n";
    EXPECT_EQ(read(ini, "Mail", "SMTP"), "smtp.example");
    EXPECT_EQ(read(ini, "MAIL", "smtp"), "smtp.example");
    EXPECT_EQ(read(ini, "upozorneni", "TEXT"), "hotovo");
}

TEST_F(ProfileTest, ValueLetterCaseIsKept)
{
    EXPECT_EQ(read("[a]\nk=MiXeD Case\n", "A", "K"), "MiXeD Case");
}

TEST_F(ProfileTest, AbsentFileSectionOrKeyGivesTheDefault)
{
    EXPECT_EQ(profile_string("Mail", "SMTP", "dflt", 1024, dir_.file("missing.ini")), "dflt");
    EXPECT_EQ(profile_string("Mail", "SMTP", "dflt", 1024, dir_.path().string()), "dflt");
    EXPECT_EQ(read("[Other]\nSMTP=x\n", "Mail", "SMTP"), "<default>");
    EXPECT_EQ(read("[Mail]\nPOP3=x\n", "Mail", "SMTP"), "<default>");
    // A key before any section belongs to none.
    EXPECT_EQ(read("SMTP=x\n[Mail]\n", "Mail", "SMTP"), "<default>");
    // A key of another section is not found through this one.
    EXPECT_EQ(read("[Mail]\nA=1\n[Soubory]\nCesta=/tmp/\n", "Mail", "Cesta"), "<default>");
}

TEST_F(ProfileTest, EmptyValueIsAValueNotAnAbsence)
{
    EXPECT_EQ(read("[Mail]\nSMTP=\n", "Mail", "SMTP"), "");
    EXPECT_EQ(read("[Mail]\nSMTP=   \n", "Mail", "SMTP"), "");
}

TEST_F(ProfileTest, BlanksAroundNamesAndValuesAreTrimmed)
{
    const std::string ini = "  [ Mail ]  \n  \tSMTP \t=  a host name \t \n";
    EXPECT_EQ(read(ini, "Mail", "SMTP"), "a host name");
}

TEST_F(ProfileTest, MatchingQuotesAreRemovedAndProtectTheirBlanks)
{
    EXPECT_EQ(read("[s]\nk=\"  padded  \"\n", "s", "k"), "  padded  ");
    EXPECT_EQ(read("[s]\nk= 'single' \n", "s", "k"), "single");
    EXPECT_EQ(read("[s]\nk=\"\"\n", "s", "k"), "");
    // Unmatched or lone quotes stay as written.
    EXPECT_EQ(read("[s]\nk=\"mixed'\n", "s", "k"), "\"mixed'");
    EXPECT_EQ(read("[s]\nk=\"\n", "s", "k"), "\"");
    EXPECT_EQ(read("[s]\nk=say \"hi\"\n", "s", "k"), "say \"hi\"");
}

TEST_F(ProfileTest, SemicolonLinesAreComments)
{
    const std::string ini = "[Mail]\n;SMTP=commented\n   ; SMTP=also\nSMTP=real\n";
    EXPECT_EQ(read(ini, "Mail", "SMTP"), "real");
    EXPECT_EQ(read("[Mail]\n;SMTP=commented\n", "Mail", "SMTP"), "<default>");
    // Inside a value a semicolon is just a character.
    EXPECT_EQ(read("[Mail]\nHeslo=ab;cd\n", "Mail", "Heslo"), "ab;cd");
}

TEST_F(ProfileTest, FirstSectionAndFirstKeyWin)
{
    EXPECT_EQ(read("[Mail]\nSMTP=first\nsmtp=second\n", "Mail", "SMTP"), "first");
    EXPECT_EQ(read("[Mail]\nSMTP=first\n[MAIL]\nSMTP=second\nPOP3=p\n", "Mail", "SMTP"), "first");
    EXPECT_EQ(read("[Mail]\nSMTP=first\n[MAIL]\nSMTP=second\nPOP3=p\n", "Mail", "POP3"), "<default>");
}

TEST_F(ProfileTest, OnlyTheFirstEqualsSignSplits)
{
    EXPECT_EQ(read("[s]\nk=a=b\n", "s", "k"), "a=b");
    EXPECT_EQ(read("[s]\nno equals sign here\nk=v\n", "s", "k"), "v");
}

TEST_F(ProfileTest, EveryKindOfLineEndWorks)
{
    EXPECT_EQ(read("[a]\rk=cr\r[b]\rk=x\r", "a", "k"), "cr");
    EXPECT_EQ(read("[a]\nk=lf", "a", "k"), "lf");
    EXPECT_EQ(read("[b]\r\nx=1\r\n[a]\r\nk=crlf\r\n", "a", "k"), "crlf");
}

TEST_F(ProfileTest, NulByteEndsTheText)
{
    EXPECT_EQ(read("[a]\nk=v\n\0[b]\nj=w\n"s, "a", "k"), "v");
    EXPECT_EQ(read("[a]\nk=v\n\0[b]\nj=w\n"s, "b", "j"), "<default>");
}

TEST_F(ProfileTest, Utf8ByteOrderMarkDoesNotHideTheFirstSection)
{
    EXPECT_EQ(read("\xEF\xBB\xBF[Mail]\nSMTP=h\n", "Mail", "SMTP"), "h");
}

TEST_F(ProfileTest, CodePageBytesPassUnchanged)
{
    EXPECT_EQ(read("[U]\nText=P\xF8" "enos\n", "U", "Text"), "P\xF8" "enos");
}

TEST_F(ProfileTest, DeliversAtMostBufferSizeLessOne)
{
    write_file(path_, "[s]\nk=" + std::string(2000, 'v') + "\n");
    EXPECT_EQ(profile_string("s", "k", "", 1024, path_), std::string(1023, 'v'));
    EXPECT_EQ(profile_string("s", "k", "", 5, path_), "vvvv");
    EXPECT_EQ(profile_string("s", "k", "", 1, path_), "");
    EXPECT_EQ(profile_string("s", "absent", "long default", 5, path_), "long");
    // A value that fits exactly is whole.
    write_file(path_, "[s]\nk=" + std::string(1023, 'w') + "\n");
    EXPECT_EQ(profile_string("s", "k", "", 1024, path_), std::string(1023, 'w'));
}

}  // namespace
}  // namespace zanpost::platform
