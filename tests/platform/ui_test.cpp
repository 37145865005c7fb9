#include "platform/ui.h"

#include <gtest/gtest.h>

namespace zanpost::platform {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

struct Printed {
    std::string out;
    std::string err;
};

Printed show(const std::string& text, const std::string& caption, std::uint32_t flags)
{
    CaptureStdout();
    CaptureStderr();
    message_box(text, caption, flags);
    Printed p;
    p.err = GetCapturedStderr();
    p.out = GetCapturedStdout();
    return p;
}

TEST(MessageBox, InformationGoesToStandardOutputInUtf8)
{
    const Printed p = show("P\xF8" "enos dat je ukon\xE8" "en.", "ZanPost", mb_iconinformation);
    EXPECT_EQ(p.out, "ZanPost: P\xC5\x99" "enos dat je ukon\xC4\x8D" "en.\n");
    EXPECT_EQ(p.err, "");
}

TEST(MessageBox, ErrorIconGoesToStandardError)
{
    Printed p = show("Nepoda\xF8" "ilo se", "ZanPost - Chyba", mb_iconerror);
    EXPECT_EQ(p.err, "ZanPost - Chyba: Nepoda\xC5\x99" "ilo se\n");
    EXPECT_EQ(p.out, "");

    p = show("EFOpenError: Cannot open file x", "Application Error", mb_taskmodal | mb_iconerror);
    EXPECT_EQ(p.err, "Application Error: EFOpenError: Cannot open file x\n");
    EXPECT_EQ(p.out, "");
}

TEST(MessageBox, BannerFlagsPrintTheTextUnchangedToStandardOutput)
{
    const Printed p = show("line one\n\r     line two", "ZanPost verze 3.98.30.3", mb_right);
    EXPECT_EQ(p.out, "ZanPost verze 3.98.30.3: line one\n\r     line two\n");
    EXPECT_EQ(p.err, "");
}

TEST(MessageBox, CaptionIsConvertedTooAndEmptyTextsPrint)
{
    const Printed p = show("", "Zpr\xE1va \x8A\x9A", 0);
    EXPECT_EQ(p.out, "Zpr\xC3\xA1va \xC5\xA0\xC5\xA1: \n");
}

TEST(MessageBox, BytesWithoutACharacterBecomeQuestionMarks)
{
    // 0x81 and 0x98 are undefined in code page 1250; what follows them must still be shown.
    const Printed p = show("a\x81" "b\x98" "c\xE8", "t", mb_iconinformation);
    EXPECT_EQ(p.out, "t: a?b?c\xC4\x8D\n");
}

TEST(MessageBox, WarningIconIsNotAnError)
{
    const Printed p = show("w", "t", 0x30);
    EXPECT_EQ(p.out, "t: w\n");
    EXPECT_EQ(p.err, "");
}

}  // namespace
}  // namespace zanpost::platform
