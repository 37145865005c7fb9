// Files and body text read while the message is sent must give the very bytes the message
// had when everything was read beforehand: the reference below is built from the line-wise
// codecs and split_lines, which the held body has always used.

#include "mime/mime.h"

#include "message/mail.h"
#include "protocols/smtp.h"
#include "rtl/exceptions.h"
#include "rtl/file_reader.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zanpost {
namespace {

using namespace std::string_literals;
using testing::Conversation;
using testing::ScriptedServer;
using testing::TempDir;

Conversation delivery()
{
    return Conversation()
        .say("220 mx ready")
        .reply("250 hello")
        .reply("250 sender ok")
        .reply("250 recipient ok")
        .reply("354 go ahead")
        .await_data()
        .say("250 queued");
}

// The lines as they travel between DATA and its end: stuffed, each with CR LF.
std::string wire(const StringList& lines)
{
    std::string out;
    for (const auto& line : lines) out += (line.starts_with(".") ? "." : "") + line + "\r\n";
    return out;
}

// What the server got after the header block's empty line, the final "." included.
std::string sent_body(const std::string& transcript)
{
    const auto data = transcript.find("DATA\r\n");
    const auto blank = transcript.find("\r\n\r\n", data);
    return blank == std::string::npos ? std::string() : transcript.substr(blank + 4);
}

struct Sent {
    std::string body;  // after the header block
    std::string boundary;
    std::string transcript;
};

class StreamedSend : public ::testing::Test {
protected:
    TempDir dir;

    std::string file(const std::string& name, const std::string& bytes)
    {
        const std::string path = dir.file(name);
        testing::write_file(path, bytes);
        return path;
    }

    // One message as SEND sends it: files and body text read while it goes out.
    Sent send(const std::vector<std::string>& files, const std::optional<std::string>& body_path,
              bool encode_while_sending = true)
    {
        T_SMTP smtp;
        T_Mail mail;
        T_Mime mime;
        smtp.Hostname = "127.0.0.1";
        smtp.Timeout = 5;
        mail.SMTP = &smtp;
        mail.From = "jan@example.cz";
        mail.Recipients = StringList{"eva@example.cz"};
        mime.Mail = &mail;
        mime.EncodeWhileSending = encode_while_sending;
        // The text is read twice without files: first to learn whether it must go as
        // quoted-printable, since the header that says so goes out before it.
        std::optional<TextFileReader> body;
        std::optional<TextFileReader> first_pass;
        if (body_path) body.emplace(*body_path);
        if (body_path) first_pass.emplace(*body_path);
        std::function<bool(std::string&)> text;
        if (body) text = [&body](std::string& block) { return body->next(block); };
        for (const auto& path : files) mime.AttachStreamedFile(path);
        ScriptedServer server(delivery());
        smtp.Port = server.port();
        if (files.empty()) {
            const bool long_lines =
                first_pass && has_long_line([&first_pass](std::string& block) { return first_pass->next(block); });
            set_plain_text(mail, text, long_lines);
            mail.Action();
        } else {
            mime.StreamedText = text;
            mime.SendMail();
        }
        smtp.Logout();
        return {sent_body(server.transcript()), mime.Boundary, server.transcript()};
    }
};

// The body of today's message for the files and the text, lines as the codecs give them.
StringList reference_body(const std::vector<std::pair<std::string, std::string>>& files, const StringList& text,
                          const std::string& boundary)
{
    StringList quoted;
    for (const auto& line : text) append_quoted_printable_lines(quoted, line);
    if (files.empty()) {
        const bool fits = std::all_of(text.begin(), text.end(), [](const auto& l) { return l.size() <= max_wire_line; });
        return fits ? text : quoted;
    }
    StringList lines;
    for (const auto& [name, bytes] : files) {
        lines.insert(lines.end(), {"", "--" + boundary, "Content-Type: application/octet-stream",
                                   "Content-Disposition: attachment; filename=\"" + name + "\"",
                                   "Content-Transfer-Encoding: base64", ""});
        MemoryStream stream(bytes);
        const StringList encoded = encode_base64(stream);
        lines.insert(lines.end(), encoded.begin(), encoded.end());
    }
    if (!text.empty()) {
        lines.insert(lines.end(), {"", "--" + boundary, "Content-Type: text/plain; charset=windows-1250",
                                   "Content-Transfer-Encoding: quoted-printable", ""});
        lines.insert(lines.end(), quoted.begin(), quoted.end());
    }
    lines.insert(lines.end(), {"", "--" + boundary + "--"});
    return lines;
}

// Czech text in CP1250 as one line: most of it quoted-printable escapes.
std::string czech_line(std::size_t size)
{
    std::string line;
    while (line.size() < size) line += "\x8Eluou\xE8k\xFD k\xF9\xF2 \xFAp\xECl \xEF\xE1" "belsk\xE9 \xF3" "dy. ";
    line.resize(size);
    return line;
}

std::string file_bytes(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (std::size_t k = 0; k < size; ++k) bytes[k] = char((k * 131 + seed) ^ (k >> 7));
    return bytes;
}

// The message's lines between DATA and its end, unstuffed, as a server keeps them.
StringList data_lines(const std::string& transcript)
{
    const auto data = transcript.find("DATA\r\n") + 6;
    const auto end = transcript.find("\r\n.\r\n", data);
    StringList lines = split_lines(transcript.substr(data, end + 2 - data));
    for (auto& line : lines)
        if (line.starts_with(".")) line.erase(0, 1);
    return lines;
}

TEST_F(StreamedSend, FilesAndTextOfEverySizeGoOutByteForByteAsBefore)
{
    constexpr std::size_t piece = 48 * 1024;
    constexpr std::size_t read_size = 45 * 1092;  // what the builder reads at a time
    const std::vector<std::size_t> file_sizes{0,         1,         2,     3,         44,        45,       46, 57, 58,
                                              piece - 1, piece,     piece + 1, read_size - 1, read_size, read_size + 1};
    const std::vector<std::string> texts{
        ""s,                                  // an empty body file: no text part
        "\r\n"s,                              // one empty line
        "Dobr\xFD den,\r\n.tecka\r\n..\r\n.\r\nkonec"s,
        "CR\rline\rends\r.only\r"s,
        "LF\nline\nends\n.only\n\n"s,
        "mixed\r\n\n\r\r\n=3D \xE8\r\n"s,
        "before a NUL\r\n\0after it\r\n"s,
        std::string(piece - 1, 'a') + "\r\n." + std::string(piece + 1, 'b'),
        std::string(998, 'x') + "\r\n.\r\n",  // as long as a line on the wire may be
        "P\xF8" "ehled\r\n" + czech_line(7800),
    };
    for (std::size_t k = 0; k < file_sizes.size() + texts.size(); ++k) {
        // Each file size once, beside a text; each text once more without files.
        const bool with_file = k < file_sizes.size();
        const std::string& text = texts[k % texts.size()];
        SCOPED_TRACE((with_file ? "file of " + std::to_string(file_sizes[k]) + " bytes, " : "no file, "s) +
                     "text " + std::to_string(k % texts.size()));
        const std::string body_path = file("telo.txt", text);
        std::vector<std::pair<std::string, std::string>> files;
        std::vector<std::string> paths;
        if (with_file) {
            files.emplace_back("data.dat", file_bytes(file_sizes[k], unsigned(k)));
            paths.push_back(file("data.dat", files.back().second));
        }
        const Sent sent = send(paths, body_path);
        const StringList lines = split_lines(text);
        const std::string expected = wire(reference_body(files, lines, sent.boundary)) + ".\r\n";
        EXPECT_TRUE(sent.body == expected) << "sent " << sent.body.size() << " bytes, expected " << expected.size();

        // No line on the wire is too long, and ZanPost's own GET gets every line back whole.
        const StringList message = data_lines(sent.transcript);
        for (const auto& line : message) EXPECT_LE(line.size(), max_wire_line);
        const bool fits = std::all_of(lines.begin(), lines.end(), [](const auto& l) { return l.size() <= max_wire_line; });
        if (!with_file) {
            EXPECT_NE(std::find(message.begin(), message.end(),
                                fits ? "Content-Transfer-Encoding: 8bit" : "Content-Transfer-Encoding: quoted-printable"),
                      message.end());
        }
        if (lines.empty()) continue;
        T_Mime parser;
        parser.ParseMessage(message);
        StringList back = parser.Attachments.back().Text;
        if (with_file) back.pop_back();  // the empty line before the closing delimiter
        EXPECT_EQ(back, lines);
    }
}

TEST_F(StreamedSend, SeveralFilesWithoutATextFileKeepTheirOrder)
{
    const std::vector<std::pair<std::string, std::string>> files{
        {"a.dat", file_bytes(100000, 1)}, {"b.dat", ""}, {"c.dat", ".\r\n.\r\n"}};
    std::vector<std::string> paths;
    for (const auto& [name, bytes] : files) paths.push_back(file(name, bytes));
    const Sent sent = send(paths, std::nullopt);
    EXPECT_TRUE(sent.body == wire(reference_body(files, {}, sent.boundary)) + ".\r\n");
}

TEST_F(StreamedSend, BuiltBeforehandTheStreamedPartsGiveTheSameBytes)
{
    // A text longer than a block, with lines running across blocks, and a file of odd size.
    std::string text;
    for (int k = 0; k < 20000; ++k)
        text += (k % 7 == 0 ? ".\xE8=" : "radek ") + std::to_string(k) + (k % 2 ? "\r\n" : "\n");
    const std::vector<std::pair<std::string, std::string>> files{{"data.dat", file_bytes(150001, 5)}};
    const Sent sent = send({file("data.dat", files[0].second)}, file("telo.txt", text), false);
    EXPECT_TRUE(sent.body == wire(reference_body(files, split_lines(text), sent.boundary)) + ".\r\n");
}

TEST_F(StreamedSend, AFileRemovedOrMadeUnreadableAfterItsOpeningStillGoesWhole)
{
#ifdef _WIN32
    GTEST_SKIP() << "an open file cannot be removed on Windows";
#else
    const std::string bytes = file_bytes(300000, 7);
    for (const bool remove : {true, false}) {
        SCOPED_TRACE(remove ? "removed" : "made unreadable");
        const std::string path = file("data.dat", bytes);
        T_SMTP smtp;
        T_Mail mail;
        T_Mime mime;
        smtp.Hostname = "127.0.0.1";
        smtp.Timeout = 5;
        mail.SMTP = &smtp;
        mail.From = "jan@example.cz";
        mail.Recipients = StringList{"eva@example.cz"};
        mime.Mail = &mail;
        mime.EncodeWhileSending = true;
        mime.AttachStreamedFile(path);
        if (remove)
            std::filesystem::remove(path);
        else
            std::filesystem::permissions(path, std::filesystem::perms::none);
        ScriptedServer server(delivery());
        smtp.Port = server.port();
        mime.SendMail();
        smtp.Logout();
        EXPECT_TRUE(sent_body(server.transcript()) ==
                    wire(reference_body({{"data.dat", bytes}}, {}, mime.Boundary)) + ".\r\n");
        std::filesystem::remove(path);
    }
#endif
}

TEST_F(StreamedSend, AFileCutShortWhileItIsSentNeverEndsTheMessage)
{
    const std::string bytes = file_bytes(1000000, 3);
    const std::string path = file("data.dat", bytes);
    T_SMTP smtp;
    T_Mail mail;
    T_Mime mime;
    smtp.Hostname = "127.0.0.1";
    smtp.Timeout = 5;
    mail.SMTP = &smtp;
    mail.From = "jan@example.cz";
    mail.Recipients = StringList{"eva@example.cz"};
    mail.Body = StringList{"text"};
    mime.Mail = &mail;
    mime.EncodeWhileSending = true;
    mime.AttachStreamedFile(path);
    std::filesystem::resize_file(path, 500000);
    ScriptedServer server(delivery());
    smtp.Port = server.port();

    try {
        mime.SendMail();
        ADD_FAILURE() << "a file cut short must fail the send";
    } catch (const EReadError& e) {
        EXPECT_EQ(e.message(), "Cannot read file " + path);
    }
    EXPECT_FALSE(smtp.Connected);
    const std::string sent = server.transcript();
    EXPECT_NE(sent.find("DATA\r\n"), std::string::npos);
    // What did go out is the start of the file, and the server never saw the message end.
    EXPECT_NE(sent.find(encode_line(lc_base64, bytes.data(), 45) + "\r\n"), std::string::npos);
    EXPECT_EQ(sent.find("\r\n.\r\n"), std::string::npos);
    // The text and the parts are as they were before the send.
    EXPECT_EQ(mail.Body, StringList{"text"});
    EXPECT_EQ(mime.AttachmentCount(), 1);
}

}  // namespace
}  // namespace zanpost
