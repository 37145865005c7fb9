// The MIME parser on arbitrary message text: it must split anything into parts without
// failing, and every part must be reachable and its parameters readable. The parts it
// collects must not depend on whether the lines were copied or taken, on the size the
// message was claimed to have, nor on where its decoded bytes were cut on their way to the
// collecting sink; a sink as the receive job's gets its calls in order and the same files.
// The same input also makes files and a body text, laid out as the builder writes a
// message; parsing that must give back every byte and line.

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "mime/codecs.h"
#include "mime/header_text.h"
#include "mime/mime.h"
#include "rtl/exceptions.h"
#include "rtl/string_list.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace zanpost;

bool same_part(const T_Attachment& a, const T_Attachment& b)
{
    return a.ContentType == b.ContentType && a.Disposition == b.Disposition && a.Encoding == b.Encoding &&
           a.Use == b.Use && a.FileName == b.FileName && a.Text == b.Text && a.Data.bytes() == b.Data.bytes() &&
           a.Data.position() == b.Data.position();
}

// Between the parser and a collecting sink: checks that the calls come in order, keeps the
// files' bytes as the receive job gets them, and hands each block of bytes on cut into
// pieces of `piece` bytes.
class RecuttingSink : public T_PartSink {
public:
    RecuttingSink(CollectingSink& collector, std::size_t piece) : collector_(collector), piece_(piece) {}

    std::string file_bytes;
    StringList file_lines;
    bool ended = false;

    void BeginPart(const T_Attachment& part) override
    {
        FUZZ_CHECK(!open_ && !ended);
        open_ = true;
        file_ = part.Use == t_part_use::file;
        collector_.BeginPart(part);
    }
    void PartLine(std::string& line) override
    {
        FUZZ_CHECK(open_);
        if (file_) file_lines.push_back(line);
        collector_.PartLine(line);
    }
    void PartBytes(std::string_view bytes) override
    {
        FUZZ_CHECK(open_);
        FUZZ_CHECK(!bytes.empty());
        if (file_) file_bytes.append(bytes);
        for (std::size_t at = 0; at < bytes.size(); at += piece_) {
            collector_.RestOfMessage(rest_);
            collector_.PartBytes(bytes.substr(at, piece_));
        }
    }
    void EndPart() override
    {
        FUZZ_CHECK(open_);
        open_ = false;
        collector_.EndPart();
    }
    void DropPart() override
    {
        FUZZ_CHECK(open_);
        FUZZ_CHECK(!file_);
        open_ = false;
        collector_.DropPart();
    }
    void RestOfMessage(std::size_t bytes) override { rest_ = bytes; }
    void EndMessage(const T_Attachment* left_out) override
    {
        FUZZ_CHECK(!open_ && !ended);
        ended = true;
        collector_.EndMessage(left_out);
    }

private:
    CollectingSink& collector_;
    std::size_t piece_;
    std::size_t rest_ = 0;
    bool open_ = false;
    bool file_ = false;
};

// `lines` parsed whole into `copied`, and line by line as the receive job parses, with the
// size a POP3 listing claims, through a RecuttingSink into a collector of its own: the same
// parts, and the same files as the receive job gets them.
void parse_both_ways(const StringList& lines, T_Mime& copied, std::size_t claimed, std::size_t piece)
{
    copied.ParseMessage(lines);
    std::vector<T_Attachment> recut;
    CollectingSink collector(recut);
    RecuttingSink sink(collector, piece);
    T_Mime streamed;
    streamed.StartParse(claimed, &sink);
    for (std::string line : lines) streamed.ParseLine(line);
    streamed.FinishParse();
    FUZZ_CHECK(sink.ended);
    FUZZ_CHECK(streamed.AttachmentCount() == 0);
    FUZZ_CHECK(streamed.Boundary == copied.Boundary);
    FUZZ_CHECK(streamed.Unreadable() == copied.Unreadable());
    FUZZ_CHECK(collector.HasPreamble() == copied.HasPreamble());
    FUZZ_CHECK(recut.size() == copied.Attachments.size());
    std::string file_bytes;
    StringList file_lines;
    for (std::size_t i = 0; i < recut.size(); ++i) {
        const T_Attachment& part = copied.Attachments[i];
        FUZZ_CHECK(same_part(part, recut[i]));
        if (part.Use != t_part_use::file) continue;
        file_bytes += part.Data.bytes();
        file_lines.insert(file_lines.end(), part.Text.begin(), part.Text.end());
    }
    FUZZ_CHECK(sink.file_bytes == file_bytes);
    FUZZ_CHECK(sink.file_lines == file_lines);
}

// A boundary as the builder makes them; its "==" can never appear in a quoted-printable
// or base64 content line.
const std::string boundary = "1767590673C0A80001==";

void parse_built_message(std::string_view material)
{
    fuzz::Input input(reinterpret_cast<const std::uint8_t*>(material.data()), material.size());
    std::vector<std::string> files;
    for (int count = input.byte() % 4; count > 0; --count) {
        const std::string_view bytes = input.bytes(input.byte() % 200 + 1);
        if (!bytes.empty()) files.emplace_back(bytes);
    }
    StringList body;
    for (std::string_view rest = input.rest(); !rest.empty();) {
        const std::size_t end = rest.find('\n');
        body.emplace_back(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (end != std::string_view::npos && rest.empty()) body.emplace_back();
    }

    StringList message{"From: a@b.cz", "Subject: ZAN_POST", "MIME-Version: 1.0",
                       "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"",
                       "Content-Transfer-Encoding: 7bit", ""};
    for (std::size_t i = 0; i < files.size(); ++i) {
        message.insert(message.end(), {"", "--" + boundary, "Content-Type: application/octet-stream",
                                       "Content-Disposition: attachment; filename=\"f" + std::to_string(i) + "\"",
                                       "Content-Transfer-Encoding: base64", ""});
        MemoryStream file{files[i]};
        for (auto& line : encode_base64(file)) message.push_back(std::move(line));
    }
    if (!body.empty()) {
        message.insert(message.end(), {"", "--" + boundary, "Content-Type: text/plain",
                                       "Content-Transfer-Encoding: quoted-printable", ""});
        for (const auto& line : body) message.push_back(encode_quoted_printable(line));
    }
    message.insert(message.end(), {"", "--" + boundary + "--"});

    T_Mime mime;
    mime.ParseMessage(std::move(message));
    FUZZ_CHECK(mime.Boundary == boundary);
    FUZZ_CHECK(mime.AttachmentCount() == int(1 + files.size() + (body.empty() ? 0 : 1)));
    // The empty line in front of the first delimiter line.
    FUZZ_CHECK(mime.GetAttachment(0)->Text == StringList{""});
    for (std::size_t i = 0; i < files.size(); ++i) {
        const T_Attachment& part = *mime.GetAttachment(int(i + 1));
        FUZZ_CHECK(part.ContentType == "application/octet-stream");
        FUZZ_CHECK(part.Disposition == "attachment; filename=\"f" + std::to_string(i) + "\"");
        FUZZ_CHECK(part.Data.bytes() == files[i]);
    }
    if (!body.empty()) {
        const T_Attachment& text = *mime.GetAttachment(mime.AttachmentCount() - 1);
        FUZZ_CHECK(text.ContentType == "text/plain");
        body.emplace_back();  // the empty line in front of the closing delimiter line
        FUZZ_CHECK(text.Text == body);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const StringList lines = split_lines(text);

    T_Mime copied;
    const std::size_t claimed[] = {0, size, 0x7FFFFFFF};
    parse_both_ways(lines, copied, claimed[size % 3], size % 7 + 1);
    FUZZ_CHECK(copied.AttachmentCount() >= 1);
    // The input as base64 text in UTF-8: a character comes through whole however its bytes
    // were cut.
    StringList as_text{"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: base64", ""};
    MemoryStream input{std::string(text)};
    for (auto& line : encode_base64(input)) as_text.push_back(std::move(line));
    T_Mime text_parse;
    parse_both_ways(as_text, text_parse, 0, size % 5 + 1);

    std::size_t text_lines = 0;
    for (int i = 0; i < copied.AttachmentCount(); ++i) {
        T_Attachment* part = copied.GetAttachment(i);
        FUZZ_CHECK(part != nullptr);
        // A part's content is its lines or its decoded bytes, never both.
        if (part->Encoding == enc_base64) FUZZ_CHECK(part->Text.empty());
        text_lines += part->Text.size();
        // What the receive job reads from a part.
        (void)header_parameter(part->Disposition, "filename");
        (void)header_parameter(part->ContentType, "name");
        (void)boundary_parameter(part->ContentType);
        if (part->Use == t_part_use::file) {
            FUZZ_CHECK(!part->FileName.empty());
            FUZZ_CHECK(part->FileName == part_file_name(part->Disposition, part->ContentType));
        }
    }
    // Lines are only ever taken from the message, and quoted-printable joining only
    // shrinks their number.
    FUZZ_CHECK(text_lines <= lines.size());
    FUZZ_CHECK(copied.GetAttachment(copied.AttachmentCount()) == nullptr);
    try {
        (void)copied.GetAttachment(-1);
        FUZZ_CHECK(!"a negative index must raise");
    } catch (const EStringListError&) {
    }

    // The parameter reader on the raw first line, as a header value of any shape.
    const std::string_view first = text.substr(0, text.find_first_of("\r\n"));
    (void)header_parameter(first, "boundary");
    (void)header_parameter(first, "filename");
    (void)header_parameter(first, "");
    (void)decoded_parameter(first, "filename");
    (void)decode_header_text(first);

    parse_built_message(text);
    return 0;
}
