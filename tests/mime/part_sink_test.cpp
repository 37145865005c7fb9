// What a sink is handed, in what order and in what pieces, and what the collecting sink
// makes of it: the job that writes parts straight to disk stores what a caller that
// collects the message reads.

#include "mime/mime.h"

#include "mime/header_text.h"
#include "rtl/string_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace zanpost {
namespace {

// A part as the sink saw it.
struct SunkPart {
    T_Attachment header;
    StringList lines;
    std::string bytes;
    bool ended = false;
};

class RecordingSink : public T_PartSink {
public:
    std::vector<SunkPart> parts;
    int dropped = 0;
    int calls_out_of_order = 0;
    int messages_ended = 0;
    std::size_t largest_block = 0;

    void BeginPart(const T_Attachment& part) override
    {
        if (open_) ++calls_out_of_order;
        open_ = true;
        parts.push_back({part, {}, {}, false});
    }
    void PartLine(std::string& line) override
    {
        if (!open_) ++calls_out_of_order;
        if (!parts.empty()) parts.back().lines.push_back(line);
    }
    void PartBytes(std::string_view bytes) override
    {
        if (!open_) ++calls_out_of_order;
        largest_block = std::max(largest_block, bytes.size());
        if (!parts.empty()) parts.back().bytes.append(bytes);
    }
    void EndPart() override
    {
        if (!open_) ++calls_out_of_order;
        open_ = false;
        if (!parts.empty()) parts.back().ended = true;
    }
    void DropPart() override
    {
        if (!open_) ++calls_out_of_order;
        open_ = false;
        ++dropped;
        if (!parts.empty()) parts.pop_back();
    }
    void EndMessage(const T_Attachment*) override
    {
        if (open_) ++calls_out_of_order;
        ++messages_ended;
    }

private:
    bool open_ = false;
};

bool has_content(const T_Attachment& part)
{
    return !part.Text.empty() || part.Data.size() != 0 || !part.Disposition.empty();
}

bool has_content(const SunkPart& part)
{
    return !part.lines.empty() || !part.bytes.empty() || !part.header.Disposition.empty();
}

std::string big_bytes(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t k = 0; k < size; ++k) bytes[k] = static_cast<char>((k * 131) >> 3);
    return bytes;
}

// Base64 lines as ZanPost writes them.
StringList base64_lines(const std::string& bytes)
{
    MemoryStream stream(bytes);
    StringList lines;
    for (const std::string& line : encode_base64(stream)) lines.push_back(line);
    return lines;
}

StringList message(const StringList& header, const std::vector<StringList>& parts, const std::string& boundary = "B")
{
    StringList lines = header;
    lines.push_back("");
    for (const StringList& part : parts) {
        lines.push_back("--" + boundary);
        lines.insert(lines.end(), part.begin(), part.end());
    }
    lines.push_back("--" + boundary + "--");
    return lines;
}

std::vector<std::pair<std::string, StringList>> messages()
{
    std::vector<std::pair<std::string, StringList>> all;
    for (const auto& entry : std::filesystem::directory_iterator(ZP_MIME_FIXTURES)) {
        StringList lines;
        load_from_file(lines, entry.path().string());
        all.emplace_back(entry.path().filename().string(), std::move(lines));
    }
    const StringList multipart{"Content-Type: multipart/mixed; boundary=B"};
    StringList large = {"Content-Type: application/pdf", "Content-Transfer-Encoding: base64",
                        "Content-Disposition: attachment; filename=\"velky.pdf\"", ""};
    for (const std::string& line : base64_lines(big_bytes(300000))) large.push_back(line);
    all.emplace_back("a file larger than one handed-over block", message(multipart, {large}));
    StringList utf8_base64 = {"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: base64", ""};
    for (const std::string& line : base64_lines("P\xC5\x99\xC3\xADli\xC5\xA1\r\n\r\nkon\xC4\x9B\r\n")) utf8_base64.push_back(line);
    all.emplace_back("base64 text in UTF-8", message(multipart, {utf8_base64}));
    all.emplace_back("quoted-printable text with soft breaks, the last one at the end",
                     message(multipart, {{"Content-Type: text/plain; charset=iso-8859-2",
                                          "Content-Transfer-Encoding: quoted-printable", "", "a=", "b=E8 =  ", "c",
                                          "konec="}}));
    all.emplace_back("a preamble of several lines before the first part",
                     message(multipart, {{"Content-Type: text/plain", "", "text"}}));
    all.back().second.insert(all.back().second.begin() + 2, {"This is a multi-part message.", "", "Second line."});
    all.emplace_back("a boundary that never comes: the preamble is the text",
                     StringList{"Content-Type: multipart/mixed; boundary=NIKDY", "", "jen text", "dalsi"});
    all.emplace_back("no multipart at all", StringList{"Subject: x", "", "radek 1", "radek 2"});
    all.emplace_back(
        "nested alternative and a text-lines file",
        message(multipart, {{"Content-Type: multipart/alternative; boundary=A", "", "--A", "Content-Type: text/plain",
                             "", "prosty", "--A", "Content-Type: text/html", "", "<p>html</p>", "--A--"},
                            {"Content-Type: text/csv", "Content-Disposition: attachment; filename=\"a.csv\"", "",
                             "a;b", "1;2"}}));
    return all;
}

TEST(PartSink, CollectedPartsAreWhatASinkIsHandedInBlocks)
{
    for (const auto& [name, lines] : messages()) {
        SCOPED_TRACE(name);
        T_Mime collecting;
        collecting.ParseMessage(lines);
        // Line by line, the lines' content taken, the parts are the same.
        T_Mime line_by_line;
        line_by_line.StartParse();
        for (std::string line : lines) line_by_line.ParseLine(line);
        line_by_line.FinishParse();
        EXPECT_EQ(line_by_line.Boundary, collecting.Boundary);
        EXPECT_EQ(line_by_line.HasPreamble(), collecting.HasPreamble());
        ASSERT_EQ(line_by_line.AttachmentCount(), collecting.AttachmentCount());
        for (int k = 0; k < collecting.AttachmentCount(); ++k) {
            const T_Attachment& a = line_by_line.Attachments[k];
            const T_Attachment& b = collecting.Attachments[k];
            EXPECT_EQ(a.ContentType, b.ContentType) << k;
            EXPECT_EQ(a.Disposition, b.Disposition) << k;
            EXPECT_EQ(a.Encoding, b.Encoding) << k;
            EXPECT_EQ(a.Text, b.Text) << k;
            EXPECT_TRUE(a.Data.bytes() == b.Data.bytes()) << k;
        }

        std::vector<const T_Attachment*> kept;
        for (int k = collecting.HasPreamble() ? 1 : 0; k < collecting.AttachmentCount(); ++k)
            if (has_content(*collecting.GetAttachment(k))) kept.push_back(collecting.GetAttachment(k));

        T_Mime streaming;
        RecordingSink sink;
        streaming.StartParse(0, &sink);
        for (std::string line : lines) streaming.ParseLine(line);
        streaming.FinishParse();
        EXPECT_EQ(sink.calls_out_of_order, 0);
        EXPECT_EQ(sink.messages_ended, 1);
        // The job holds no more of a file than a block and the line that completed it.
        EXPECT_LE(sink.largest_block, 0x10000u + 57);
        EXPECT_EQ(streaming.AttachmentCount(), 0);
        EXPECT_EQ(streaming.Boundary, collecting.Boundary);
        EXPECT_EQ(streaming.Unreadable(), collecting.Unreadable());
        // An empty preamble is dropped too; the collecting parse keeps only one with content.
        EXPECT_LE(sink.dropped, 1);
        if (collecting.HasPreamble()) {
            EXPECT_EQ(sink.dropped, 1);
        }
        std::vector<const SunkPart*> sunk;
        for (const SunkPart& part : sink.parts) {
            EXPECT_TRUE(part.ended);
            if (has_content(part)) sunk.push_back(&part);
        }

        ASSERT_EQ(sunk.size(), kept.size());
        for (std::size_t k = 0; k < kept.size(); ++k) {
            SCOPED_TRACE(k);
            const T_Attachment& expected = *kept[k];
            const SunkPart& got = *sunk[k];
            EXPECT_EQ(got.header.Use, expected.Use);
            EXPECT_EQ(got.header.FileName, expected.FileName);
            EXPECT_EQ(got.header.ContentType, expected.ContentType);
            EXPECT_EQ(got.header.Disposition, expected.Disposition);
            EXPECT_EQ(got.header.Encoding, expected.Encoding);
            if (expected.Encoding != enc_base64) {
                EXPECT_EQ(got.lines, expected.Text);
                EXPECT_TRUE(got.bytes.empty());
            } else if (expected.Use == t_part_use::file) {
                EXPECT_TRUE(got.bytes == expected.Data.bytes()) << got.bytes.size() << " " << expected.Data.size();
            } else {
                // Text that came as base64: its lines in CP1250, however the bytes were cut.
                TextLines text(header_parameter(expected.ContentType, "charset"));
                StringList got_lines;
                const auto keep = [&got_lines](std::string& line) { got_lines.push_back(line); };
                for (std::size_t at = 0; at < got.bytes.size(); at += 3)
                    text.append(std::string_view(got.bytes).substr(at, 3), keep);
                text.finish(keep);
                EXPECT_EQ(got_lines, split_lines(expected.Data.bytes()));
            }
        }
    }
}

TEST(PartSink, TextLinesSplitAsSplitLinesWhereverTheBytesAreCut)
{
    const std::vector<std::string> texts{
        "",     "a",          "a\r\n",      "a\r\nb",        "\r\n",       "\r\n\r\n", "a\rb\nc\r\nd",
        "a\r\r\nb", "a\n\rb", std::string("x\0hidden\r\nmore", 15), "tail\r",    "\n\n",     std::string("nul\0", 4)};
    for (const std::string& text : texts) {
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            SCOPED_TRACE("\"" + text + "\" cut at " + std::to_string(cut));
            TextLines splitter;
            StringList lines;
            const auto keep = [&lines](std::string& line) { lines.push_back(line); };
            splitter.append(std::string_view(text).substr(0, cut), keep);
            splitter.append(std::string_view(text).substr(cut), keep);
            splitter.finish(keep);
            EXPECT_EQ(lines, split_lines(text));
        }
    }
}

TEST(PartSink, TextLinesConvertEachLineFromItsCharset)
{
    TextLines splitter("iso-8859-2");
    StringList lines;
    const auto keep = [&lines](std::string& line) { lines.push_back(line); };
    splitter.append("\xE8\x61j\r\n\xB9", keep);
    splitter.append("um", keep);
    splitter.finish(keep);
    // ISO-8859-2 c-caron E8 is E8 in CP1250 too; s-caron B9 is 9A there.
    EXPECT_EQ(lines, (StringList{"\xE8\x61j", "\x9Aum"}));
}

}  // namespace
}  // namespace zanpost
