#include "app/config.h"

#include "platform/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <limits>

namespace zanpost {
namespace {

using zanpost::testing::TempDir;
using zanpost::testing::write_file;

class IniTest : public ::testing::Test {
protected:
    // A reader of a file whose section [s] holds the single line `line`.
    TIniFile ini_with(const std::string& line)
    {
        write_file(path_, "[s]\r\n" + line + "\r\n");
        return TIniFile(path_);
    }
    std::int32_t number(const std::string& value, std::int32_t fallback = -7)
    {
        return ini_with("k=" + value).ReadNumber("s", "k", fallback);
    }
    bool flag(const std::string& value, bool fallback = true)
    {
        return ini_with("k=" + value).ReadFlag("s", "k", fallback);
    }

    TempDir dir_;
    std::string path_ = dir_.file("Zan_Post.ini");
};

TEST_F(IniTest, RecordsItsFileName)
{
    EXPECT_EQ(TIniFile("/x/Zan_Post.ini").FileName(), "/x/Zan_Post.ini");
}

TEST_F(IniTest, ReadTextGivesTheValueOrTheDefault)
{
    const TIniFile ini = ini_with("k=value");
    EXPECT_EQ(ini.ReadText("s", "k", "d"), "value");
    EXPECT_EQ(ini.ReadText("S", "K", "d"), "value");
    EXPECT_EQ(ini.ReadText("s", "other", "d"), "d");
    EXPECT_EQ(ini.ReadText("t", "k", ""), "");
}

TEST_F(IniTest, ReadTextCutsLongValuesTo1023Characters)
{
    std::string value(2000, 'a');
    for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(ini_with("k=" + value).ReadText("s", "k", ""), value.substr(0, 1023));
}

TEST_F(IniTest, ReadNumberDecimalAndSigns)
{
    EXPECT_EQ(number("42"), 42);
    EXPECT_EQ(number("+5"), 5);
    EXPECT_EQ(number("-12"), -12);
    EXPECT_EQ(number("-0"), 0);
    EXPECT_EQ(number("007"), 7);
    EXPECT_EQ(number("2147483647"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(number("-2147483648"), std::numeric_limits<std::int32_t>::min());
}

TEST_F(IniTest, ReadNumberHexadecimalWithDollarOrZeroX)
{
    EXPECT_EQ(number("$10"), 16);
    EXPECT_EQ(number("$fF"), 255);
    EXPECT_EQ(number("0x10"), 16);
    EXPECT_EQ(number("0X1f"), 31);
    EXPECT_EQ(number("0x0"), 0);
    // Hexadecimal fills all 32 bits.
    EXPECT_EQ(number("0xFFFFFFFF"), -1);
    EXPECT_EQ(number("0x80000000"), std::numeric_limits<std::int32_t>::min());
}

TEST_F(IniTest, ReadNumberFallsBackForAnythingElse)
{
    for (const char* bad : {"", "0x", "0X", "$", "x10", "12abc", "1 2", "1.5", "--1", "+", "0x-1", "0x+1",
                            "2147483648", "-2147483649", "0x100000000", "abc", "ne", "0 x10"}) {
        EXPECT_EQ(number(bad), -7) << '"' << bad << '"';
    }
    EXPECT_EQ(TIniFile(dir_.file("absent.ini")).ReadNumber("s", "k", 99), 99);
}

TEST_F(IniTest, ReadFlagIsFalseOnlyForZero)
{
    for (const char* zero : {"0", "00", "0x0", "0x00", "$0", "-0", "+0"}) {
        EXPECT_FALSE(flag(zero)) << zero;
    }
    for (const char* other : {"1", "-1", "0x10", "$1", "2", "0x", "no", "false", "ne", "yes", ""}) {
        EXPECT_TRUE(flag(other)) << '"' << other << '"';
    }
    // Not numbers keep whatever default the caller gave.
    EXPECT_FALSE(flag("yes", false));
    EXPECT_TRUE(flag("1", false));
}

TEST(ConfigPath, IsTheFileBesideTheExecutable)
{
    // Written with this platform's separator: a slash on POSIX, a backslash on Windows.
    const std::string s(1, platform::is_directory_separator('/') ? '/' : '\\');
    EXPECT_EQ(ConfigPath(s + "opt" + s + "zanpost" + s + "zanpost"), s + "opt" + s + "zanpost" + s + "Zan_Post.ini");
    EXPECT_EQ(ConfigPath(s + "zanpost"), s + "Zan_Post.ini");
    EXPECT_EQ(ConfigPath(s + "opt" + s), s + "opt" + s + "Zan_Post.ini");
    EXPECT_EQ(ConfigPath("zanpost"), "Zan_Post.ini");
    if (platform::is_directory_separator(':')) {
        EXPECT_EQ(ConfigPath("C:zanpost.exe"), "C:Zan_Post.ini");
    }
    if (!platform::is_directory_separator('\\')) {
        EXPECT_EQ(ConfigPath("/a\\b/c\\zp"), "/a\\b/Zan_Post.ini");
    }
}

class ReadConfigTest : public ::testing::Test {
protected:
    void load(const std::string& ini)
    {
        write_file(path_, ini);
        settings_ = ReadConfig(path_);
    }

    TempDir dir_;
    std::string path_ = dir_.file("Zan_Post.ini");
    TNastaveni settings_;
    const TZprava& Zprava = settings_.Zprava;
    const TUpozorneni& Upozorneni = settings_.Upozorneni;
};

TEST_F(ReadConfigTest, ReadsEveryKeyIntoItsField)
{
    load("[Mail]\r\n"
         "Odesilatel=ucetni@firma.test\r\n"
         "Adresat=a@b.test,c@d.test\r\n"
         "SMTP=smtp.firma.test\r\n"
         "POP3=pop3.firma.test\r\n"
         "Uzivatel=ucetni\r\n"
         "Heslo=tajne\r\n"
         "Predmet=ZAN_POST data\r\n"
         "Telo=telo.txt\r\n"
         "Telo_Get=prijato.txt\r\n"
         "Timeout=30\r\n"
         "[Soubory]\r\n"
         "Cesta=/var/data/\r\n"
         "Soubory=a.dbf,b.dbf\r\n"
         "[Upozorneni]\r\n"
         "Upozornovat=1\r\n"
         "Text=Hotovo.\r\n");
    EXPECT_EQ(Zprava.Odesilatel, "ucetni@firma.test");
    EXPECT_EQ(Zprava.Adresat, "a@b.test,c@d.test");
    EXPECT_EQ(Zprava.SMTP, "smtp.firma.test");
    EXPECT_EQ(Zprava.POP3, "pop3.firma.test");
    EXPECT_EQ(Zprava.Uzivatel, "ucetni");
    EXPECT_EQ(Zprava.Heslo, "tajne");
    EXPECT_EQ(Zprava.Predmet, "ZAN_POST data");
    EXPECT_EQ(Zprava.Telo, "telo.txt");
    EXPECT_EQ(Zprava.Telo_Get, "prijato.txt");
    EXPECT_EQ(Zprava.Timeout, 30);
    EXPECT_EQ(Zprava.Cesta, "/var/data/");
    EXPECT_EQ(Zprava.Soubory, "a.dbf,b.dbf");
    EXPECT_TRUE(Upozorneni.Upozornovat);
    EXPECT_EQ(Upozorneni.Text, "Hotovo.");
}

TEST_F(ReadConfigTest, KeysOnlyInMailLeaveTheNoticeOnWithTheCzechSentence)
{
    load("[Mail]\nOdesilatel=x@y.test\nCesta=/wrong/section/\n");
    EXPECT_EQ(Zprava.Odesilatel, "x@y.test");
    EXPECT_EQ(Zprava.Cesta, "");
    EXPECT_EQ(Zprava.Soubory, "");
    EXPECT_EQ(Zprava.Timeout, 600);
    EXPECT_TRUE(Upozorneni.Upozornovat);
    EXPECT_EQ(Upozorneni.Text, "P\xF8" "enos dat je ukon\xE8" "en. Je-li to pot\xF8" "eba, zav\xEC" "ste modem.");
}

TEST_F(ReadConfigTest, UpozornovatReadsAsANumber)
{
    load("[Upozorneni]\nUpozornovat=0\n");
    EXPECT_FALSE(Upozorneni.Upozornovat);
    load("[Upozorneni]\nUpozornovat=no\n");
    EXPECT_TRUE(Upozorneni.Upozornovat);
    load("[Upozorneni]\nUpozornovat=0x10\n");
    EXPECT_TRUE(Upozorneni.Upozornovat);
    load("[Upozorneni]\nUpozornovat=0x\n");
    EXPECT_TRUE(Upozorneni.Upozornovat);
    load("[Upozorneni]\nUpozornovat=0x0\n");
    EXPECT_FALSE(Upozorneni.Upozornovat);
}

TEST_F(ReadConfigTest, EmptyTextKeyGivesAnEmptyNotice)
{
    load("[Upozorneni]\nText=\n");
    EXPECT_EQ(Upozorneni.Text, "");
}

TEST_F(ReadConfigTest, LongValueIsCutTo1023Characters)
{
    load("[Mail]\nAdresat=" + std::string(2000, 'r') + "\n[Soubory]\nCesta=/d/\n");
    EXPECT_EQ(Zprava.Adresat, std::string(1023, 'r'));
    // The cut value does not disturb the keys after it.
    EXPECT_EQ(Zprava.Cesta, "/d/");
}

TEST_F(ReadConfigTest, QuotedValuesLoseTheirQuotes)
{
    load("[Mail]\nPredmet=\"  ZAN_POST s mezerami  \"\nHeslo='a;b'\n[Soubory]\nCesta=\"/data dir/\"\n");
    EXPECT_EQ(Zprava.Predmet, "  ZAN_POST s mezerami  ");
    EXPECT_EQ(Zprava.Heslo, "a;b");
    EXPECT_EQ(Zprava.Cesta, "/data dir/");
}

TEST_F(ReadConfigTest, TimeoutTakesHexadecimalAndFallsBackTo600)
{
    load("[Mail]\nTimeout=0x3C\n");
    EXPECT_EQ(Zprava.Timeout, 60);
    load("[Mail]\nTimeout=0\n");
    EXPECT_EQ(Zprava.Timeout, 0);
    load("[Mail]\nTimeout=ten minutes\n");
    EXPECT_EQ(Zprava.Timeout, 600);
    load("[Soubory]\nTimeout=5\n");
    EXPECT_EQ(Zprava.Timeout, 600);
}

TEST_F(ReadConfigTest, AbsentFileGivesEveryDefault)
{
    settings_ = ReadConfig(dir_.file("absent.ini"));
    EXPECT_EQ(Zprava.Odesilatel, "");
    EXPECT_EQ(Zprava.Cesta, "");
    EXPECT_EQ(Zprava.Soubory, "");
    EXPECT_EQ(Zprava.Timeout, 600);
    EXPECT_TRUE(Upozorneni.Upozornovat);
    EXPECT_EQ(Upozorneni.Text, default_notice_text);
}

TEST_F(ReadConfigTest, CodePageBytesArriveUnchanged)
{
    load("[Mail]\nPredmet=Zpr\xE1va \x9A" "ance\n");
    EXPECT_EQ(Zprava.Predmet, "Zpr\xE1va \x9A" "ance");
}

}  // namespace
}  // namespace zanpost
