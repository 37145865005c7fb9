#include "mime/mime.h"

#include "mime/codecs.h"
#include "rtl/exceptions.h"
#include "rtl/string_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace zanpost {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

StringList fixture(const std::string& name)
{
    StringList lines;
    load_from_file(lines, std::string(ZP_MIME_FIXTURES) + "/" + name);
    return lines;
}

std::string byte_run(int first, int count, int step = 1)
{
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes += static_cast<char>(first + i * step);
    return bytes;
}

const std::string five_bytes("\x00\x01\x02\x03\x04", 5);
const std::string csv_bytes = "a;b;c\r\n1;2;3\r\n";

// ---- messages of other mailers -------------------------------------------------------

TEST(ParseOtherMailers, QuotedBoundaryWithPreambleAndAPartWithoutDisposition)
{
    T_Mime mime;
    mime.ParseMessage(fixture("quoted_boundary.eml"));

    EXPECT_EQ(mime.Boundary, "------------7B2C9F0A5E");
    ASSERT_EQ(mime.AttachmentCount(), 3);
    EXPECT_TRUE(mime.HasPreamble());

    const auto& preamble = mime.Attachments[0];
    EXPECT_EQ(preamble.ContentType, "");
    EXPECT_THAT(preamble.Text, ElementsAre("This is a multi-part message in MIME format."));

    const auto& text = mime.Attachments[1];
    EXPECT_EQ(text.ContentType, "text/plain; charset=UTF-8; format=flowed");
    EXPECT_EQ(text.Disposition, "");
    EXPECT_EQ(text.Encoding, enc_none);
    EXPECT_THAT(text.Text, ElementsAre("Dobry den,", "posilam vypis.", ""));

    const auto& file = mime.Attachments[2];
    EXPECT_EQ(file.ContentType, "application/octet-stream; name=\"vypis.dat\"");
    EXPECT_EQ(file.Disposition, "attachment; filename=\"vypis.dat\"");
    EXPECT_EQ(file.Encoding, enc_base64);
    EXPECT_EQ(file.Data.bytes(), byte_run(0, 100));
    EXPECT_EQ(file.Data.position(), 0u);
    EXPECT_THAT(file.Text, IsEmpty());
}

TEST(ParseOtherMailers, FirstDelimiterRightAfterTheHeaderMeansNoPreamble)
{
    T_Mime mime;
    mime.ParseMessage(fixture("no_preamble.eml"));

    EXPECT_EQ(mime.Boundary, "===============5720342917318410422==");
    EXPECT_FALSE(mime.HasPreamble());
    ASSERT_EQ(mime.AttachmentCount(), 2);
    EXPECT_EQ(mime.Attachments[0].ContentType, "text/plain; charset=\"us-ascii\"");
    EXPECT_THAT(mime.Attachments[0].Text, ElementsAre("Export attached.", ""));
    EXPECT_EQ(mime.Attachments[1].Disposition, "attachment; filename=\"data.bin\"");
    EXPECT_EQ(mime.Attachments[1].Data.bytes(), five_bytes);
}

TEST(ParseOtherMailers, UnquotedBoundaryNamedInAnyCaseBesideAQuotedParameter)
{
    T_Mime mime;
    mime.ParseMessage(fixture("unquoted_boundary.eml"));

    EXPECT_EQ(mime.Boundary, "frontier");
    ASSERT_EQ(mime.AttachmentCount(), 2);
    EXPECT_THAT(mime.Attachments[0].Text, ElementsAre("Line one"));
    EXPECT_EQ(mime.Attachments[1].ContentType, "text/csv");
    EXPECT_EQ(mime.Attachments[1].Data.bytes(), csv_bytes);
}

TEST(ParseOtherMailers, FoldedHeadersWithBlankAndTabAreJoined)
{
    T_Mime mime;
    mime.ParseMessage(fixture("folded_headers.eml"));

    // The boundary stands on a TAB continuation of the message's Content-Type.
    EXPECT_EQ(mime.Boundary, "folded-1");
    ASSERT_EQ(mime.AttachmentCount(), 2);

    const auto& first = mime.Attachments[0];
    EXPECT_EQ(first.ContentType, "application/octet-stream; name=\"first.dat\"");
    EXPECT_EQ(first.Disposition, "attachment; filename=\"first.dat\"");
    EXPECT_EQ(first.Data.bytes(), five_bytes);

    const auto& second = mime.Attachments[1];
    EXPECT_EQ(second.Disposition, "attachment;\tfilename=\"second.dat\"");
    // The transfer encoding itself folded onto its own line.
    EXPECT_EQ(second.Encoding, enc_base64);
    EXPECT_EQ(second.Data.bytes(), csv_bytes);
}

TEST(ParseOtherMailers, UpperCaseNamesMatchButNotNearMisses)
{
    T_Mime mime;
    mime.ParseMessage(fixture("upper_case.eml"));

    EXPECT_EQ(mime.Boundary, "UPPER");

    EXPECT_EQ(mime.Attachments[0].ContentType, "APPLICATION/OCTET-STREAM");
    EXPECT_EQ(mime.Attachments[0].Disposition, "ATTACHMENT; FILENAME=\"UPPER.DAT\"");
    EXPECT_EQ(mime.Attachments[0].Encoding, enc_base64);
    EXPECT_EQ(mime.Attachments[0].Data.bytes(), five_bytes);

    // Blanks after a delimiter are transport padding: "--UPPER " ends the empty text part,
    // which is left out. Another letter case is no delimiter, so "--upper" and the
    // "--UPPER" after it are header lines of the next part.
    ASSERT_EQ(mime.AttachmentCount(), 2);

    // A blank before the colon: the header is not recognised, the content stays as it is.
    EXPECT_EQ(mime.Attachments[1].ContentType, "");
    EXPECT_EQ(mime.Attachments[1].Encoding, enc_none);
    EXPECT_THAT(mime.Attachments[1].Text, ElementsAre("AAECAwQ="));
}

TEST(ParseOtherMailers, SoftLineBreaksJoinQuotedPrintableLines)
{
    T_Mime mime;
    mime.ParseMessage(fixture("soft_line_break.eml"));

    ASSERT_EQ(mime.AttachmentCount(), 1);
    EXPECT_EQ(mime.Attachments[0].Encoding, enc_quoted_printable);
    EXPECT_THAT(mime.Attachments[0].Text,
                ElementsAre("Tento \xC5\x99\xC3\xA1" "dek je dlouh\xC3\xBD a pokra\xC4\x8Duje.",
                            "Rovn\xC3\xADtko = na konci=", "\xE9"));
}

TEST(ParseOtherMailers, EmptyAttachedFilesAreKept)
{
    T_Mime mime;
    mime.ParseMessage(fixture("empty_file.eml"));

    ASSERT_EQ(mime.AttachmentCount(), 4);
    EXPECT_EQ(mime.Attachments[0].Disposition, "attachment; filename=\"empty.dat\"");
    EXPECT_EQ(mime.Attachments[0].Data.size(), 0u);
    EXPECT_THAT(mime.Attachments[0].Text, IsEmpty());
    EXPECT_EQ(mime.Attachments[1].Disposition, "attachment; filename=\"full.dat\"");
    EXPECT_EQ(mime.Attachments[1].Data.bytes(), five_bytes);
    EXPECT_EQ(mime.Attachments[2].Disposition, "attachment; filename=\"also-empty.dat\"");
    EXPECT_EQ(mime.Attachments[2].Data.size(), 0u);
    // The last part is kept even with nothing in it.
    EXPECT_EQ(mime.Attachments[3].ContentType, "text/plain");
    EXPECT_THAT(mime.Attachments[3].Text, IsEmpty());
}

TEST(ParseOtherMailers, NestedAlternativeGivesItsPlainTextAndTheFileAfterIt)
{
    T_Mime mime;
    mime.ParseMessage(fixture("nested_multipart.eml"));

    EXPECT_EQ(mime.Boundary, "outer");
    EXPECT_FALSE(mime.Unreadable());
    ASSERT_EQ(mime.AttachmentCount(), 2);
    EXPECT_EQ(mime.Attachments[0].ContentType, "text/plain");
    EXPECT_EQ(mime.Attachments[0].Use, t_part_use::text);
    EXPECT_THAT(mime.Attachments[0].Text, ElementsAre("plain text"));
    EXPECT_EQ(mime.Attachments[1].Use, t_part_use::file);
    EXPECT_EQ(mime.Attachments[1].FileName, "data.bin");
    EXPECT_EQ(mime.Attachments[1].Data.bytes(), five_bytes);
}

TEST(ParseOtherMailers, WithoutClosingDelimiterTheLastLineBelongsToTheLastPart)
{
    T_Mime mime;
    mime.ParseMessage(fixture("missing_closing.eml"));

    ASSERT_EQ(mime.AttachmentCount(), 2);
    EXPECT_THAT(mime.Attachments[0].Text, ElementsAre("first"));
    EXPECT_EQ(mime.Attachments[1].Disposition, "attachment; filename=\"tail.bin\"");
    EXPECT_EQ(mime.Attachments[1].Data.bytes(), byte_run(255, 80, -1));
}

TEST(ParseOtherMailers, SinglePartQuotedPrintableBodyIsDecodedWithoutDelimiters)
{
    T_Mime mime;
    mime.ParseMessage(fixture("single_part_qp.eml"));

    // The quoted charset is no boundary, so "--" and "----" are plain body lines.
    EXPECT_EQ(mime.Boundary, "");
    EXPECT_FALSE(mime.HasPreamble());
    ASSERT_EQ(mime.AttachmentCount(), 1);
    EXPECT_EQ(mime.Attachments[0].ContentType, "text/plain; charset=\"windows-1250\"");
    EXPECT_EQ(mime.Attachments[0].Encoding, enc_quoted_printable);
    EXPECT_THAT(mime.Attachments[0].Text, ElementsAre("--", "Dobr\xFD den, soft break", "----", "konec"));
}

TEST(ParseOtherMailers, SinglePartBase64BodyIsDecodedIntoData)
{
    T_Mime mime;
    mime.ParseMessage(fixture("single_part_base64.eml"));

    ASSERT_EQ(mime.AttachmentCount(), 1);
    EXPECT_EQ(mime.Attachments[0].Encoding, enc_base64);
    EXPECT_EQ(mime.Attachments[0].Data.bytes(), "Dobr\xFD den,\r\npos\xEDl\xE1m v\xFDpis.\r\n");
    EXPECT_THAT(mime.Attachments[0].Text, IsEmpty());
}

// ---- the parser's own rules --------------------------------------------------------------

TEST(ParseRules, EachRuleOnAMessageOfItsOwn)
{
    struct Part {
        std::string content_type;
        StringList text;
        t_transfer_encoding encoding = enc_none;
    };
    const struct {
        const char* what;
        StringList message;
        std::string boundary;
        bool preamble;
        std::vector<Part> parts;
    } cases[] = {
        {"no lines at all", {}, "", false, {{}}},
        {"only an empty line", {""}, "", false, {{}}},
        {"only a header line", {"Subject: x"}, "", false, {{}}},
        {"only a line that is no header", {"x"}, "", false, {{}}},
        {"without Content-Type every body line is kept", {"From: a@b", "", "--", "first", "----", "last"}, "", false,
         {{"", {"--", "first", "----", "last"}}}},
        {"a part with neither header nor content is left out",
         {"Content-Type: multipart/mixed; boundary=\"b\"", "", "--b", "", "--b", "Content-Type: text/plain", "", "x",
          "--b--"},
         "b", false, {{"text/plain", {"x"}}}},
        {"lines after the closing delimiter are ignored",
         {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "x", "--b--", "epilogue", "more"}, "b", false,
         {{"", {"x"}}}},
        {"the last Content-Type line of the message header wins",
         {"Content-Type: multipart/mixed; boundary=\"a\"", "Content-Type: multipart/mixed; boundary=\"b\"", "",
          "--a", "--b", "", "x", "--b--"},
         "b", true, {{"", {"--a"}}, {"", {"x"}}}},
        {"the message header's encoding is ignored for a multipart message",
         {"Content-Type: multipart/mixed; boundary=b", "Content-Transfer-Encoding: base64", "", "pre=3D", "--b", "",
          "x=3D", "--b--"},
         "b", true, {{"", {"pre=3D"}}, {"", {"x=3D"}}}},
        {"a quoted-printable line ending in \"=\" at the part's end loses only the \"=\"",
         {"Content-Type: multipart/mixed; boundary=b", "", "--b", "Content-Transfer-Encoding: QUOTED-PRINTABLE", "",
          "a=3D=", "--b--"},
         "b", false, {{"", {"a="}, enc_quoted_printable}}},
        {"an alternative that is left out, alone: one empty part of its type",
         {"Content-Type: multipart/alternative; boundary=A", "", "--A", "Content-Type: text/html", "", "<p>x</p>",
          "--A--"},
         "A", false, {{"text/html", {}}}},
    };
    // One parser for all of them: a parse starts from nothing, whatever the one before left.
    T_Mime mime;
    mime.ParseMessage(fixture("quoted_boundary.eml"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        mime.ParseMessage(c.message);
        EXPECT_EQ(mime.Boundary, c.boundary);
        EXPECT_EQ(mime.HasPreamble(), c.preamble);
        ASSERT_EQ(mime.AttachmentCount(), int(c.parts.size()));
        for (std::size_t k = 0; k < c.parts.size(); ++k) {
            EXPECT_EQ(mime.Attachments[k].ContentType, c.parts[k].content_type) << k;
            EXPECT_EQ(mime.Attachments[k].Text, c.parts[k].text) << k;
            EXPECT_EQ(mime.Attachments[k].Encoding, c.parts[k].encoding) << k;
            EXPECT_EQ(mime.Attachments[k].Data.size(), 0u) << k;
        }
    }
}

TEST(ParseRules, MovedLinesGiveTheSamePartsAndAreConsumed)
{
    const StringList original = fixture("quoted_boundary.eml");
    T_Mime copied;
    copied.ParseMessage(original);

    StringList lines = original;
    T_Mime moved;
    moved.ParseMessage(std::move(lines));

    ASSERT_EQ(moved.AttachmentCount(), copied.AttachmentCount());
    for (int i = 0; i < copied.AttachmentCount(); ++i) {
        EXPECT_EQ(moved.Attachments[i].ContentType, copied.Attachments[i].ContentType);
        EXPECT_EQ(moved.Attachments[i].Text, copied.Attachments[i].Text);
        EXPECT_EQ(moved.Attachments[i].Data.bytes(), copied.Attachments[i].Data.bytes());
    }
    EXPECT_EQ(moved.HasPreamble(), copied.HasPreamble());
    EXPECT_THAT(lines, IsEmpty());  // NOLINT(bugprone-use-after-move): consumed on purpose
}

TEST(ParseRules, Base64LinesArrivingOneByOneAreOneStreamThatEndsAtThePadding)
{
    T_Mime mime;
    mime.StartParse();
    for (std::string line : StringList{"Content-Type: multipart/mixed; boundary=\"b\"", "", "--b",
                                       "Content-Transfer-Encoding: base64", "", "QUJD", "QQ==", "QU JD", "--b--"})
        mime.ParseLine(line);
    // Nothing is finished before the parse is.
    EXPECT_EQ(mime.AttachmentCount(), 0);
    mime.FinishParse();
    ASSERT_EQ(mime.AttachmentCount(), 1);
    EXPECT_EQ(mime.Attachments[0].Data.bytes(), "ABCA");
    EXPECT_EQ(mime.Attachments[0].Data.position(), 0u);
    EXPECT_THAT(mime.Attachments[0].Text, IsEmpty());
}

// Two files large enough to be given room for the rest of the message as they arrive.
StringList two_large_files(const std::string& first, const std::string& second)
{
    StringList message{"Content-Type: multipart/mixed; boundary=\"b\"", ""};
    for (const std::string* bytes : {&first, &second}) {
        for (const char* line : {"--b", "Content-Disposition: attachment; filename=\"x\"",
                                 "Content-Transfer-Encoding: base64", ""})
            message.emplace_back(line);
        MemoryStream stream(*bytes);
        for (auto& line : encode_base64(stream)) message.push_back(std::move(line));
    }
    message.push_back("--b--");
    return message;
}

TEST(ParseRules, AnExpectedSizeThatIsWrongChangesNothing)
{
    const std::string first = byte_run(0, 1500000, 7), second = byte_run(3, 1200000, 11);
    const StringList message = two_large_files(first, second);
    std::size_t size = 0;
    for (const auto& line : message) size += line.size() + 2;

    // Too small, exact, and more than could ever be had.
    for (const std::size_t expected : {std::size_t(10), size, std::numeric_limits<std::size_t>::max()}) {
        T_Mime mime;
        mime.StartParse(expected);
        for (std::string line : message) mime.ParseLine(line);
        mime.FinishParse();
        ASSERT_EQ(mime.AttachmentCount(), 2) << expected;
        EXPECT_TRUE(mime.Attachments[0].Data.bytes() == first) << expected;
        EXPECT_TRUE(mime.Attachments[1].Data.bytes() == second) << expected;
        // The first file was given room for the second as well; it must not keep it.
        EXPECT_LT(mime.Attachments[0].Data.bytes().capacity(), first.size() * 3 / 2) << expected;
    }
}

TEST(ParseRules, GetAttachmentByIndex)
{
    T_Mime mime;
    mime.ParseMessage(fixture("no_preamble.eml"));
    ASSERT_EQ(mime.AttachmentCount(), 2);
    EXPECT_EQ(mime.GetAttachment(1), &mime.Attachments[1]);
    EXPECT_EQ(mime.GetAttachment(2), nullptr);
    try {
        mime.GetAttachment(-1);
        FAIL() << "a negative index must raise";
    } catch (const EStringListError& e) {
        EXPECT_EQ(e.message(), "List index out of bounds (-1)");
    }
}

// ---- header helpers ------------------------------------------------------------------------

TEST(SplitHeader, NameLowerCasedValueTrimmed)
{
    auto h = split_header("Content-TYPE:\t text/plain; a=b \x01");
    EXPECT_EQ(h.name, "content-type");
    EXPECT_EQ(h.value, "text/plain; a=b");

    h = split_header("X-Time: 12:30");
    EXPECT_EQ(h.name, "x-time");
    EXPECT_EQ(h.value, "12:30");

    h = split_header("Name : v");
    EXPECT_EQ(h.name, "name ");

    h = split_header("no colon here");
    EXPECT_EQ(h.name, "");
    EXPECT_EQ(h.value, "");

    h = split_header("\xC8\xC1ST: x");  // bytes above ASCII keep their case
    EXPECT_EQ(h.name, "\xC8\xC1st");
}

TEST(BoundaryParameter, QuotedUnquotedAndAbsent)
{
    EXPECT_EQ(boundary_parameter("multipart/mixed; boundary=\"a b;c\""), "a b;c");
    EXPECT_EQ(boundary_parameter("multipart/mixed; boundary=frontier"), "frontier");
    EXPECT_EQ(boundary_parameter("multipart/mixed; boundary=frontier; charset=x"), "frontier");
    EXPECT_EQ(boundary_parameter("multipart/mixed; boundary=frontier x"), "frontier");
    EXPECT_EQ(boundary_parameter("multipart/mixed;BOUNDARY=up"), "up");
    EXPECT_EQ(boundary_parameter("multipart/mixed; boundary = \"spaced\""), "spaced");
    EXPECT_EQ(boundary_parameter("text/plain; charset=\"us-ascii\""), "");
    EXPECT_EQ(boundary_parameter("multipart/mixed; name=\"boundary=no\"; boundary=yes"), "yes");
    EXPECT_EQ(boundary_parameter("multipart/mixed; xboundary=no"), "");
    EXPECT_EQ(boundary_parameter("multipart/mixed"), "");
    EXPECT_EQ(boundary_parameter("multipart/mixed; boundary"), "");
    EXPECT_EQ(boundary_parameter("multipart/mixed; boundary=\"open"), "open");
}

}  // namespace
}  // namespace zanpost
