// What other mailers send, as the receive job sees it after the parse: nested multiparts,
// base64 of any line width, padded delimiters, soft breaks with blanks, file names in every
// form, encoded headers and text in other charsets.

#include "mime/codecs.h"
#include "mime/header_text.h"
#include "mime/mime.h"
#include "rtl/string_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zanpost {
namespace {

using ::testing::ElementsAreArray;

// What a parsed part comes to: "text:" and its lines joined by "|", or "file:" its name,
// "=" and its bytes (lines joined by CR LF, as the receive job stores them).
std::string outcome(const T_Attachment& part)
{
    switch (part.Use) {
    case t_part_use::file: {
        if (part.Encoding == enc_base64) return "file:" + part.FileName + "=" + part.Data.bytes();
        std::string file = "file:" + part.FileName + "=";
        for (std::size_t i = 0; i < part.Text.size(); ++i) file += (i ? "\r\n" : "") + part.Text[i];
        return file;
    }
    case t_part_use::text: {
        if (part.Encoding == enc_base64) return "text:" + part.Data.bytes();
        std::string text = "text:";
        for (std::size_t i = 0; i < part.Text.size(); ++i) text += (i ? "|" : "") + part.Text[i];
        return text;
    }
    case t_part_use::skipped: return "skipped";
    }
    return {};
}

std::vector<std::string> outcomes(const StringList& message, bool* unreadable = nullptr)
{
    // Line by line, as the receive job parses.
    T_Mime mime;
    mime.StartParse();
    for (std::string line : message) mime.ParseLine(line);
    mime.FinishParse();
    if (unreadable) *unreadable = mime.Unreadable();
    std::vector<std::string> result;
    for (const auto& part : mime.Attachments) result.push_back(outcome(part));
    return result;
}

StringList mixed(const std::string& boundary, StringList parts)
{
    StringList lines{"Subject: ZAN_POST", "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"", ""};
    lines.insert(lines.end(), parts.begin(), parts.end());
    return lines;
}

struct TreeCase {
    const char* what;
    StringList message;
    std::vector<std::string> parts;
    bool unreadable = false;
};

// A file part of five bytes, "AAECAwQ=" in base64.
const std::string five("\x00\x01\x02\x03\x04", 5);

// `levels` multiparts inside each other, a file in the innermost.
StringList nested(int levels)
{
    StringList lines{"Content-Type: multipart/mixed; boundary=\"L0\"", ""};
    for (int i = 1; i < levels; ++i) {
        lines.push_back("--L" + std::to_string(i - 1));
        lines.push_back("Content-Type: multipart/mixed; boundary=\"L" + std::to_string(i) + "\"");
        lines.push_back("");
    }
    lines.insert(lines.end(), {"--L" + std::to_string(levels - 1), "Content-Disposition: attachment; filename=deep",
                               "Content-Transfer-Encoding: base64", "", "AAECAwQ="});
    for (int i = levels; i-- > 0;) lines.push_back("--L" + std::to_string(i) + "--");
    return lines;
}

TEST(ReceivedTrees, FilesAnywhereAndOnlyThePlainAlternativeAsText)
{
    const TreeCase cases[] = {
        {"alternative { plain, mixed { html, file } }",
         {"Content-Type: multipart/alternative; boundary=A", "", "--A", "Content-Type: text/plain", "", "plain",
          "--A", "Content-Type: multipart/mixed; boundary=M", "", "--M", "Content-Type: text/html", "", "<b>x</b>",
          "--M", "Content-Type: application/pdf; name=\"a.pdf\"", "Content-Disposition: attachment; filename=a.pdf",
          "Content-Transfer-Encoding: base64", "", "AAECAwQ=", "--M--", "--A--"},
         {"text:plain", "file:a.pdf=" + five}},
        {"Outlook: mixed { alternative { plain, html }, file }",
         mixed("XB", {"This is a multi-part message in MIME format.", "--XB",
                      "Content-Type: multipart/alternative; boundary=\"XB-alt\"", "", "--XB-alt",
                      "Content-Type: text/plain; charset=us-ascii", "", "Dobry den", "", "--XB-alt",
                      "Content-Type: text/html", "", "<p>Dobry den</p>", "--XB-alt--", "", "--XB",
                      "Content-Type: text/csv; name=\"v.csv\"", "Content-Disposition: attachment; filename=\"v.csv\"",
                      "", "a;b", "--XB--"}),
         {"skipped", "text:Dobry den|", "file:v.csv=a;b"}},
        {"mixed in mixed, the inner boundary longer than the outer",
         mixed("XB", {"--XB", "Content-Type: multipart/mixed; boundary=XB-1", "", "--XB-1",
                      "Content-Disposition: attachment; filename=in", "", "inner", "--XB-1--", "--XB",
                      "Content-Disposition: attachment; filename=out", "", "outer", "--XB--"}),
         {"file:in=inner", "file:out=outer"}},
        {"mixed in mixed, the outer boundary longer than the inner",
         mixed("XB-1", {"--XB-1", "Content-Type: multipart/mixed; boundary=XB", "", "--XB",
                        "Content-Disposition: attachment; filename=in", "", "inner", "--XB--", "--XB-1",
                        "Content-Disposition: attachment; filename=out", "", "outer", "--XB-1--"}),
         {"file:in=inner", "file:out=outer"}},
        {"an outer delimiter ends an inner multipart that never closed",
         mixed("o", {"--o", "Content-Type: multipart/mixed; boundary=i", "", "--i",
                     "Content-Disposition: attachment; filename=a", "", "a", "--o",
                     "Content-Disposition: attachment; filename=b", "", "b", "--o--"}),
         {"file:a=a", "file:b=b"}},
        {"delimiters with transport padding", mixed("XB", {"--XB \t", "Content-Disposition: attachment; filename=p",
                                                           "Content-Transfer-Encoding: base64", "", "AAECAwQ=",
                                                           "--XB-- ", "epilogue"}),
         {"file:p=" + five}},
        {"twenty levels are read", nested(20), {"file:deep=" + five}},
        {"twenty-one are not", nested(21), {"text:"}, true},
        {"a nested multipart without a boundary",
         mixed("o", {"--o", "Content-Type: multipart/mixed", "", "--x", "", "lost", "--o--"}), {"text:"}, true},
    };
    for (const auto& c : cases) {
        bool unreadable = false;
        EXPECT_THAT(outcomes(c.message, &unreadable), ElementsAreArray(c.parts)) << c.what;
        EXPECT_EQ(unreadable, c.unreadable) << c.what;
    }
}

// Base64 bytes of `bytes` in lines of `width` characters.
StringList base64_lines(const std::string& bytes, std::size_t width)
{
    MemoryStream stream(bytes);
    std::string all;
    for (const auto& line : encode_base64(stream)) all += line;
    StringList lines;
    for (std::size_t at = 0; at < all.size(); at += width) lines.push_back(all.substr(at, width));
    return lines;
}

TEST(ReceivedBase64, EveryLineWidthFrom4To77GivesTheFileWhole)
{
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 37 % 251);
    for (std::size_t width = 4; width <= 77; ++width) {
        StringList message = mixed("b", {"--b", "Content-Disposition: attachment; filename=f",
                                         "Content-Transfer-Encoding: base64", ""});
        for (auto& line : base64_lines(bytes, width)) message.push_back(std::move(line));
        message.push_back("--b--");
        ASSERT_THAT(outcomes(message), ElementsAreArray({"file:f=" + bytes})) << width;
    }
}

TEST(ReceivedBase64, CharactersOutsideTheAlphabetAreIgnoredAndThePaddingEndsTheData)
{
    const struct {
        StringList lines;
        std::string bytes;
    } cases[] = {
        {{"QUJD", "QQ== "}, "ABCA"},          // a blank on the last line adds no byte
        {{"QU JD\t", "Q!U*J.D"}, "ABCABC"},   // blanks, tabs, stray punctuation
        {{"QUJDQ", "UJD"}, "ABCABC"},         // a group across a line end
        {{"QQ==", "QUJD"}, "A"},              // nothing after the padding
        {{"QUI", "=", "QUJD"}, "AB"},         // padding on a line of its own
        {{"QUJ"}, "AB"},                      // the end without padding
    };
    for (const auto& c : cases) {
        StringList message = mixed("b", {"--b", "Content-Disposition: attachment; filename=f",
                                         "Content-Transfer-Encoding: base64", ""});
        message.insert(message.end(), c.lines.begin(), c.lines.end());
        message.push_back("--b--");
        EXPECT_THAT(outcomes(message), ElementsAreArray({"file:f=" + c.bytes})) << c.lines[0];
    }
}

TEST(ReceivedText, SoftBreaksWithBlanksBareCarriageReturnsAndCharsets)
{
    const struct {
        const char* what;
        StringList part;  // header lines, "", content
        std::string outcome;
    } cases[] = {
        {"soft break followed by blanks", {"Content-Transfer-Encoding: quoted-printable", "", "abc= \t", "def="},
         "text:abcdef"},
        {"bare CR inside a line of an 8bit file",
         {"Content-Disposition: attachment; filename=x.csv", "Content-Transfer-Encoding: 8bit", "", "a;b\rc;d", "e;f"},
         "file:x.csv=a;b\rc;d\r\ne;f"},
        {"UTF-8 quoted-printable text",
         {"Content-Type: text/plain; charset=UTF-8", "Content-Transfer-Encoding: quoted-printable", "",
          "=C5=BDlu=C5=A5ou=C4=8Dk=C3=BD"},
         "text:\x8Elu\x9Dou\xE8k\xFD"},
        {"UTF-8 base64 text",
         {"Content-Type: text/plain; charset=\"utf-8\"", "Content-Transfer-Encoding: base64", "",
          "xb1sdcWlb3XEjWvDvQ=="},
         "text:\x8Elu\x9Dou\xE8k\xFD"},
        {"ISO-8859-2 text", {"Content-Type: text/plain; charset=iso-8859-2", "", "\xB9"}, "text:\x9A"},
        {"windows-1250 text stays", {"Content-Type: text/plain; charset=windows-1250", "", "\x9A\xF8"},
         "text:\x9A\xF8"},
        {"unknown charset stays", {"Content-Type: text/plain; charset=x-unknown", "", "\xC5\x99"}, "text:\xC5\x99"},
        {"a file keeps its bytes whatever its charset",
         {"Content-Type: text/plain; charset=utf-8", "Content-Disposition: attachment; filename=u.txt", "",
          "\xC5\x99"},
         "file:u.txt=\xC5\x99"},
    };
    for (const auto& c : cases) {
        StringList message = mixed("b", {"--b"});
        message.insert(message.end(), c.part.begin(), c.part.end());
        message.push_back("--b--");
        EXPECT_THAT(outcomes(message), ElementsAreArray({c.outcome})) << c.what;
    }
}

TEST(ReceivedNames, EveryFormDecodesToCp1250)
{
    const struct {
        const char* disposition;
        const char* content_type;
        std::string name;
    } cases[] = {
        {"attachment; filename=\"a.txt\"", "", "a.txt"},
        {"attachment; filename*=UTF-8''%C5%99.txt", "", "\xF8.txt"},
        {"attachment; filename*=iso-8859-2'cs'%B9.txt", "", "\x9A.txt"},
        {"attachment; filename*0*=UTF-8''%C5%99; filename*1*=%C3%A1.txt", "", "\xF8\xE1.txt"},
        {"attachment;\r\n filename*1=\"def.txt\";\r\n filename*0=\"abc\"", "", "abcdef.txt"},
        {"attachment; filename*0*=utf-8''%C5; filename*1*=%99.txt", "", "\xF8.txt"},  // split character
        {"attachment; filename=\"=?UTF-8?B?xZllcG9ydC50eHQ=?=\"", "", "\xF8" "eport.txt"},
        {"attachment; filename=\"=?ISO-8859-2?Q?=B9ek_1.txt?=\"", "", "\x9A" "ek 1.txt"},
        {"attachment; filename=\"x.txt\"; filename*=UTF-8''%C3%A1.txt", "", "\xE1.txt"},
        {"attachment", "application/pdf; name=\"v.pdf\"", "v.pdf"},
        {"", "application/pdf; name*=UTF-8''%C5%99.pdf", "\xF8.pdf"},
        {"attachment; filename=\"C:\\x\\y.txt\"", "", "C:\\x\\y.txt"},
        {"attachment; filename=\"a\\\"b\\\\c\"", "", "a\"b\\c"},
        {"attachment; filename*=UTF-8''%E6%97%A5.txt", "", "_.txt"},  // no such character in CP1250
        {"attachment; filename=\"\xF8\xE1.txt\"", "", "\xF8\xE1.txt"},  // raw CP1250 as it is
        {"inline", "text/plain", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(part_file_name(c.disposition, c.content_type), c.name) << c.disposition << " / " << c.content_type;
}

TEST(ReceivedHeaders, EncodedWordsAndFoldedLinesAreDecoded)
{
    const struct {
        std::string raw, decoded;
    } cases[] = {
        {"=?UTF-8?Q?ZAN=5FPOST_obraty?=", "ZAN_POST obraty"},
        {"=?windows-1250?B?2uhldG7tIG9icmF0eQ==?=", "\xDA\xE8" "etn\xED obraty"},
        {"ZAN_POST =?utf-8?q?=C3=9A=C4=8Detn=C3=AD?= obraty", "ZAN_POST \xDA\xE8" "etn\xED obraty"},
        {"=?UTF-8?Q?ZAN?= =?UTF-8?Q?=5FPOST?=", "ZAN_POST"},          // blanks between words go
        {"=?UTF-8?B?xQ==?=\r\n =?UTF-8?B?vQ==?=", "\x8E"},            // a character split in two
        {"ZAN_POST\r\n obraty\r\n\tleden", "ZAN_POST obraty\tleden"},  // folded
        {"=?UTF-8*cs?Q?=C5=99?=", "\xF8"},                             // a language after the charset
        {"ZAN_POST \x8Elu\x9Dou\xE8k\xFD", "ZAN_POST \x8Elu\x9Dou\xE8k\xFD"},
        {"=?UTF-8?X?abc?= =?UTF-8?Q?a b?=", "=?UTF-8?X?abc?= =?UTF-8?Q?a b?="},  // not encoded words
        {"Robot <r@x.cz>", "Robot <r@x.cz>"},
    };
    for (const auto& c : cases) EXPECT_EQ(decode_header_text(c.raw), c.decoded) << c.raw;
}

TEST(HeaderText, ManyOpeningsThatNeverCloseCostLinearTime)
{
    // Each "=?" asks where an encoded word would end; searched afresh for each of them,
    // the 4 MB below would take hours instead of milliseconds.
    std::string raw;
    while (raw.size() < 4 * 1024 * 1024) raw += "=?a?q?x";
    EXPECT_EQ(decode_header_text(raw), raw);
    raw += "=?us-ascii?q?y?=";
    EXPECT_EQ(decode_header_text(raw), raw.substr(0, raw.size() - 16) + "y");
}

TEST(ReceivedHeaders, CharsetsThatNeedNoConversionKeepTheBytes)
{
    for (const char* charset : {"", "us-ascii", "US-ASCII", "windows-1250", "x-no-such-charset", "utf-8//TRANSLIT"})
        EXPECT_EQ(text_to_cp1250("\xC5\x99\x9A", charset), "\xC5\x99\x9A") << charset;
    EXPECT_EQ(text_to_cp1250("\xC5\x99\x9A", "utf-8"), "\xF8_");
}

}  // namespace
}  // namespace zanpost
