#include "mime/mime.h"

#include "message/mail.h"
#include "platform/process.h"
#include "rtl/exceptions.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace zanpost {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::TempDir;
using testing::write_file;

// A message that composes as T_Mail does and then keeps the lines instead of sending them.
class CapturedMail : public T_MailNews {
public:
    StringList sent;
    StringList content_header;
    int sends = 0;

    void Send(const StringList& content, const MessageSource& body) override
    {
        platform::LocalDateTime when;
        when.year = 2026;
        when.month = 12;
        when.day = 7;
        when.weekday = 2;
        Compose(when, "host.example", "token", content, body);
        ++sends;
        content_header = content;
        sent = std::move(MessageLines);
        MessageLines.clear();
    }

    // The lines after the header block's empty line.
    StringList sent_body() const
    {
        auto end_of_header = std::find(sent.begin(), sent.end(), std::string());
        return StringList(end_of_header + 1, sent.end());
    }
};

std::string byte_run(int count)
{
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes += static_cast<char>(i * 7 + 3);
    return bytes;
}

class Builder : public ::testing::Test {
protected:
    TempDir dir;
    CapturedMail mail;
    T_Mime mime;

    Builder() { mime.Mail = &mail; }

    std::string file(const std::string& name, const std::string& bytes)
    {
        const std::string path = dir.file(name);
        write_file(path, bytes);
        return path;
    }
};

TEST_F(Builder, OneFileAndABodyGiveTheMultipartLayoutLineByLine)
{
    mime.AttachFile(file("export.dat", byte_run(46)));
    const StringList body{"a=b", "\xE9", std::string(100, 'x')};
    mail.Body = body;

    mime.SendMail();

    ASSERT_EQ(mail.sends, 1);
    EXPECT_TRUE(std::regex_match(mime.Boundary, std::regex("[0-9]+[0-9A-F]{8}==")));
    const std::string b = mime.Boundary;
    EXPECT_THAT(mail.content_header,
                ElementsAre("MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"" + b + "\"",
                            "Content-Transfer-Encoding: 7bit"));

    // The MIME lines close the header block, right before its empty line.
    const auto blank = std::find(mail.sent.begin(), mail.sent.end(), std::string());
    ASSERT_GE(blank - mail.sent.begin(), 7);
    EXPECT_EQ(*(blank - 1), "Content-Transfer-Encoding: 7bit");
    EXPECT_EQ(*(blank - 3), "MIME-Version: 1.0");

    EXPECT_THAT(mail.sent_body(),
                ElementsAre("", "--" + b, "Content-Type: application/octet-stream",
                            "Content-Disposition: attachment; filename=\"export.dat\"",
                            "Content-Transfer-Encoding: base64", "", ::testing::SizeIs(60),
                            ::testing::EndsWith("=="), "", "--" + b, "Content-Type: text/plain; charset=windows-1250",
                            "Content-Transfer-Encoding: quoted-printable", "", "a=3Db", "=E9",
                            std::string(100, 'x'), "", "--" + b + "--"));

    // The message was only read: its fields and the parts are as they were.
    EXPECT_EQ(mail.Body, body);
    EXPECT_THAT(mail.Header, IsEmpty());
    EXPECT_EQ(mime.AttachmentCount(), 1);
}

TEST_F(Builder, OnlyAFileGivesOnePart)
{
    mime.AttachFile(file("only.dat", byte_run(45)));
    mime.SendMail();

    const StringList sent = mail.sent_body();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "--" + mime.Boundary), 1);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "Content-Type: text/plain"), 0);
    EXPECT_EQ(sent[6].size(), 60u);
    EXPECT_EQ(sent[7], "");
    EXPECT_THAT(mail.Body, IsEmpty());
    EXPECT_EQ(mime.AttachmentCount(), 1);
}

TEST_F(Builder, EmptyFileHasNoBase64Lines)
{
    mime.AttachFile(file("empty.dat", ""));
    mime.AttachFile(file("next.dat", "x"));
    mime.SendMail();

    const StringList sent = mail.sent_body();
    const std::string b = mime.Boundary;
    ASSERT_GE(sent.size(), 9u);
    EXPECT_THAT(StringList(sent.begin(), sent.begin() + 8),
                ElementsAre("", "--" + b, "Content-Type: application/octet-stream",
                            "Content-Disposition: attachment; filename=\"empty.dat\"",
                            "Content-Transfer-Encoding: base64", "", "", "--" + b));
}

TEST_F(Builder, PartWithoutEncodingIsWrittenQuotedPrintableWithoutTheHeaderLine)
{
    const int index = mime.AttachText(StringList{"p=q"});
    mime.Attachments[index].Encoding = enc_none;
    mime.Attachments[index].ContentType = "text/csv";
    mime.SendMail();

    EXPECT_THAT(mail.sent_body(), ElementsAre("", "--" + mime.Boundary, "Content-Type: text/csv", "", "p=3Dq", "",
                                              "--" + mime.Boundary + "--"));
}

TEST_F(Builder, OwnMessageReadsBackExactly)
{
    std::string all_bytes;
    for (int i = 0; i < 256; ++i) all_bytes += static_cast<char>(i);
    const std::string first = all_bytes + all_bytes + "tail";
    const std::string second = byte_run(1000);
    mime.AttachFile(file("first.bin", first));
    mime.AttachFile(file("second.bin", second));
    const StringList body{"Dobr\xFD den,", "", "a=b =3D", ".", "--" + std::string("fake"), "   trailing   "};
    mail.Body = body;
    mime.SendMail();

    T_Mime parser;
    parser.ParseMessage(mail.sent);

    EXPECT_EQ(parser.Boundary, mime.Boundary);
    EXPECT_TRUE(parser.HasPreamble());
    ASSERT_EQ(parser.AttachmentCount(), 4);
    EXPECT_THAT(parser.Attachments[0].Text, ElementsAre(""));
    EXPECT_EQ(parser.Attachments[0].ContentType, "");
    EXPECT_EQ(parser.Attachments[1].ContentType, "application/octet-stream");
    EXPECT_EQ(parser.Attachments[1].Disposition, "attachment; filename=\"first.bin\"");
    EXPECT_EQ(parser.Attachments[1].Data.bytes(), first);
    EXPECT_EQ(parser.Attachments[2].Disposition, "attachment; filename=\"second.bin\"");
    EXPECT_EQ(parser.Attachments[2].Data.bytes(), second);
    EXPECT_EQ(parser.Attachments[3].ContentType, "text/plain; charset=windows-1250");
    StringList expected_text = body;
    expected_text.emplace_back();
    EXPECT_EQ(parser.Attachments[3].Text, expected_text);
}

TEST_F(Builder, OwnMessageWithAnEmptyFileKeepsThatFile)
{
    mime.AttachFile(file("empty.dat", ""));
    mime.AttachFile(file("full.dat", "abc"));
    mime.SendMail();

    T_Mime parser;
    parser.ParseMessage(std::move(mail.sent));
    ASSERT_EQ(parser.AttachmentCount(), 3);
    EXPECT_EQ(parser.Attachments[1].Disposition, "attachment; filename=\"empty.dat\"");
    EXPECT_EQ(parser.Attachments[1].Data.size(), 0u);
    EXPECT_EQ(parser.Attachments[2].Data.bytes(), "abc");
}

TEST_F(Builder, WithoutMailNothingChanges)
{
    mime.AttachFile(file("a.dat", "abc"));
    mime.Mail = nullptr;
    mime.Boundary = "kept";
    mime.SendMail();
    EXPECT_EQ(mime.Boundary, "kept");
    EXPECT_EQ(mail.sends, 0);
    EXPECT_THAT(mail.Header, IsEmpty());
    EXPECT_EQ(mime.AttachmentCount(), 1);
}

TEST_F(Builder, AttachFileNamesTheFileAndCopiesItsBytesNow)
{
    const std::string path = file("export.dat", "first");
    EXPECT_EQ(mime.AttachFile(path), 0);
    write_file(path, "changed later");
    EXPECT_EQ(mime.AttachFile(path), 1);

    const auto& part = mime.Attachments[0];
    EXPECT_EQ(part.ContentType, "application/octet-stream");
    EXPECT_EQ(part.Encoding, enc_base64);
    EXPECT_EQ(part.Data.bytes(), "first");
    EXPECT_EQ(part.Disposition, "attachment; filename=\"export.dat\"");
    EXPECT_EQ(mime.Attachments[1].Data.bytes(), "changed later");
}

TEST_F(Builder, AttachFileOfAMissingFileRaisesAndAddsNothing)
{
    mime.AttachText(StringList{"kept"});
    const std::string path = dir.file("missing.dat");
    try {
        mime.AttachFile(path);
        FAIL() << "a missing file must raise";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.message(), "Cannot open file " + path);
    }
    ASSERT_EQ(mime.AttachmentCount(), 1);
    EXPECT_THAT(mime.Attachments[0].Text, ElementsAre("kept"));
}

TEST_F(Builder, AttachFileTakesOnlyRegularFiles)
{
    // Anything else would hang the run (a FIFO without a writer) or read without end (a
    // device): it is a file that cannot be opened, as a missing one.
    std::filesystem::create_directory(dir.file("adresar"));
    std::vector<std::string> others{dir.file("adresar"), dir.file("adresar/")};
#ifndef _WIN32
    const std::string fifo = dir.file("roura");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    others.insert(others.end(), {fifo, "/dev/zero", "/dev/null"});
#else
    others.insert(others.end(), {"NUL", "CON"});
#endif
    for (const std::string& path : others) {
        try {
            mime.AttachFile(path);
            ADD_FAILURE() << path << " must not be attached";
        } catch (const EFOpenError& e) {
            EXPECT_EQ(e.message(), "Cannot open file " + path);
        }
    }
    EXPECT_EQ(mime.AttachmentCount(), 0);
}

TEST_F(Builder, QuotesAndBackslashesInANameAreEscapedAndReadBackWhole)
{
    struct Case {
        std::string value;
        std::string quoted;
    };
    const Case cases[] = {
        {"plain.dat", "\"plain.dat\""},
        {"a\"b.dat", "\"a\\\"b.dat\""},
        {"a\\b.dat", "\"a\\\\b.dat\""},
        {"\"\\\"", "\"\\\"\\\\\\\"\""},
        {"\xFA\xE8" "et.csv", "\"\xFA\xE8" "et.csv\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(quoted_parameter(c.value), c.quoted) << c.value;
        EXPECT_EQ(header_parameter("attachment; filename=" + quoted_parameter(c.value), "filename"), c.value);
    }
#ifndef _WIN32
    // A quote is an ordinary byte of a POSIX file name.
    mime.AttachFile(file("rok \"2026\".csv", "x"));
    EXPECT_EQ(mime.Attachments[0].Disposition, "attachment; filename=\"rok \\\"2026\\\".csv\"");
    EXPECT_EQ(header_parameter(mime.Attachments[0].Disposition, "filename"), "rok \"2026\".csv");
#endif
}

TEST(PlainText, AMessageWithoutFilesDeclaresCzechTextAndStillReadsAsBefore)
{
    EXPECT_THAT(plain_text_header(), ElementsAre("MIME-Version: 1.0", "Content-Type: text/plain; charset=windows-1250",
                                                 "Content-Transfer-Encoding: 8bit"));
    CapturedMail mail;
    mail.Subject = "ZAN_POST data";
    mail.Header = plain_text_header();
    const StringList body{"P\xF8" "enos", "a=b =3D", "", "--x", "konec"};
    mail.Body = body;
    mail.Action();
    // The declaration closes the header block; the body follows unchanged.
    const auto blank = std::find(mail.sent.begin(), mail.sent.end(), std::string());
    ASSERT_GE(blank - mail.sent.begin(), 3);
    EXPECT_EQ(*(blank - 1), "Content-Transfer-Encoding: 8bit");
    EXPECT_EQ(mail.sent_body(), body);

    // ZanPost's own receiving: the body is the one text part, byte for byte.
    T_Mime parser;
    parser.ParseMessage(mail.sent);
    ASSERT_EQ(parser.AttachmentCount(), 1);
    EXPECT_FALSE(parser.HasPreamble());
    EXPECT_EQ(parser.Attachments[0].Encoding, enc_none);
    EXPECT_EQ(parser.Attachments[0].Text, body);
}

TEST_F(Builder, RemovingOutsideTheListDoesNothing)
{
    mime.AttachText(StringList{"0"});
    mime.AttachText(StringList{"1"});
    mime.RemoveAttachment(-1);
    mime.RemoveAttachment(2);
    ASSERT_EQ(mime.AttachmentCount(), 2);
    mime.RemoveAttachment(0);
    ASSERT_EQ(mime.AttachmentCount(), 1);
    EXPECT_THAT(mime.Attachments[0].Text, ElementsAre("1"));
}

TEST(AttachmentName, PlatformSeparatorsOnTopOfTheFileNamePart)
{
    EXPECT_EQ(attachment_name("C:\\data\\export.dat"), "export.dat");
    EXPECT_EQ(attachment_name("D:export.dat"), "export.dat");
    EXPECT_EQ(attachment_name("export.dat"), "export.dat");
    EXPECT_EQ(attachment_name("C:\\data\\"), "");
    if (platform::is_directory_separator('/')) {
        EXPECT_EQ(attachment_name("/srv/data/export.dat"), "export.dat");
        EXPECT_EQ(attachment_name("/srv/data/"), "");
    } else {
        EXPECT_EQ(attachment_name("/srv/data/export.dat"), "/srv/data/export.dat");
    }
}

TEST(MakeBoundary, SecondsThenAddressBytesInMemoryOrder)
{
    platform::LocalDateTime when;
    when.day = 2;
    // 192.168.1.10 with its first octet in the least significant byte.
    EXPECT_EQ(make_boundary(when, 0x0A01A8C0u), "864000A01A8C0==");
    when.day = 1;
    EXPECT_EQ(make_boundary(when, 0x0100007Fu), "00100007F==");
}

}  // namespace
}  // namespace zanpost
