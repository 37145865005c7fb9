// The real program, copied into a directory of its own with or without an INI beside it,
// started from another working directory.

#include "app/banner.h"
#include "app/version_info.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace zanpost {
namespace {

using zanpost::testing::read_file;
using zanpost::testing::TempDir;
using zanpost::testing::write_file;

struct Outcome {
    int exit_code = -1;
    std::string out;
    std::string err;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::copy_file(ZANPOST_EXE, exe_);
    }

    // `arguments` is shell text, so quoting can be tested as a user would type it.
    Outcome run(const std::string& arguments)
    {
        const std::string command = "cd '" + elsewhere_.path().string() + "' && '" + exe_ + "' " + arguments +
                                    " >out.txt 2>err.txt </dev/null; echo $? >rc.txt";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        Outcome r;
        r.exit_code = std::atoi(read_file(elsewhere_.file("rc.txt")).c_str());
        r.out = read_file(elsewhere_.file("out.txt"));
        r.err = read_file(elsewhere_.file("err.txt"));
        return r;
    }

    void write_ini(const std::string& text) { write_file(home_.file("Zan_Post.ini"), text); }

    TempDir home_;
    TempDir elsewhere_;
    std::string exe_ = home_.file("zanpost");
};

TEST_F(ProgramTest, WithoutArgumentShowsTheBannerWithTheVersionOfTheFile)
{
    const Outcome r = run("");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.out.starts_with("ZanPost verze 3.98.30.3: ZanPost pro Tabulix 3.0\n\r")) << r.out;
    EXPECT_EQ(r.out, "ZanPost verze 3.98.30.3: " + Banner() + "\n");
    EXPECT_EQ(r.err, "");
    // The configuration is not needed and none was made.
    EXPECT_FALSE(std::filesystem::exists(home_.file("Zan_Post.ini")));
}

TEST_F(ProgramTest, BannerIgnoresAnIniBesideIt)
{
    write_ini("[Upozorneni]\nText=jiny text\n");
    const Outcome r = run("");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "ZanPost verze 3.98.30.3: " + Banner() + "\n");
}

TEST_F(ProgramTest, CopiedExecutableCarriesItsVersion)
{
    EXPECT_EQ(ReadVersion(exe_), "3.98.30.3");
    write_ini("[Mail]\n");
    EXPECT_EQ(ReadVersion(home_.file("Zan_Post.ini")), "");
    EXPECT_EQ(ReadVersion(home_.file("nothing-here")), "");
}

TEST_F(ProgramTest, UnknownWordDoesNothingAndSaysNothing)
{
    write_ini("[Mail]\nSMTP=127.0.0.1\n[Upozorneni]\nUpozornovat=1\n");
    for (const char* word : {"HELP", "'get '", "x"}) {
        const Outcome r = run(word);
        EXPECT_EQ(r.exit_code, 0) << word;
        EXPECT_EQ(r.out, "") << word;
        EXPECT_EQ(r.err, "") << word;
    }
}

TEST_F(ProgramTest, WordWithoutIniEndsCleanly)
{
    for (const char* word : {"HELP", "whatever else"}) {
        const Outcome r = run(word);
        EXPECT_EQ(r.exit_code, 0) << word;
        EXPECT_EQ(r.out + r.err, "") << word;
    }
}

// Without servers configured each job fails at its first network step; the box it shows
// tells which job the word started.
const std::string pop3_box =
    "ZanPost - Chyba: Nepoda\u0159ilo se p\u0159ipojit k serveru p\u0159\u00edchoz\u00ed po\u0161ty (POP3).\n";
const std::string smtp_box =
    "ZanPost - Chyba: Nepoda\u0159ilo se odeslat zpr\u00e1vu na server odchoz\u00ed po\u0161ty (SMTP).\n";
const std::string default_notice =
    "ZanPost: P\u0159enos dat je ukon\u010den. Je-li to pot\u0159eba, zav\u011bste modem.\n";

TEST_F(ProgramTest, LowerCaseWordsStartTheirJobOnce)
{
    write_ini("[Upozorneni]\nUpozornovat=0\n");
    for (const char* word : {"get", "Get extra words"}) {
        const Outcome r = run(word);
        EXPECT_EQ(r.exit_code, 0) << word;
        EXPECT_EQ(r.err, pop3_box) << word;
        EXPECT_EQ(r.out, "") << word;
    }
    const Outcome r = run("send SEND get");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, smtp_box);
    EXPECT_EQ(r.out, "");
}

TEST_F(ProgramTest, NoticeFollowsTheFlagAsANumber)
{
    struct Case {
        const char* value;
        bool shown;
    };
    for (const Case c : {Case{"0", false}, Case{"00", false}, Case{"0x0", false}, Case{"no", true},
                         Case{"0x10", true}, Case{"0x", true}, Case{"", true}}) {
        write_ini(std::string("[Mail]\n[Upozorneni]\nUpozornovat=") + c.value + "\n");
        const Outcome r = run("GET");
        EXPECT_EQ(r.out, c.shown ? default_notice : "") << c.value;
        EXPECT_EQ(r.err, pop3_box) << c.value;
    }
}

TEST_F(ProgramTest, NoticeTextComesFromTheIniAsWritten)
{
    write_ini("[Mail]\nPOP3=\n[upozorneni]\ntext = \"Hotovo, d\xEDky\"\n");
    EXPECT_EQ(run("GET").out, "ZanPost: Hotovo, d\u00edky\n");
    write_ini("[Upozorneni]\nText=\n");
    EXPECT_EQ(run("GET").out, "ZanPost: \n");
}

}  // namespace
}  // namespace zanpost
