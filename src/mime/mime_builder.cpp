#include "mime/mime.h"

#include "message/date.h"
#include "message/mail.h"
#include "message/text.h"
#include "mime/codecs.h"
#include "net/ip_misc.h"
#include "platform/process.h"

#include <iterator>
#include <utility>

namespace zanpost {

namespace {

const char* transfer_encoding_line(t_transfer_encoding encoding)
{
    switch (encoding) {
    case enc_base64: return "Content-Transfer-Encoding: base64";
    case enc_quoted_printable: return "Content-Transfer-Encoding: quoted-printable";
    case enc_none: break;
    }
    return nullptr;
}

// Lines one part takes in the body, so the body is allocated once however large the files.
std::size_t line_count(const T_Attachment& part)
{
    const std::size_t header = 5 + (part.Disposition.empty() ? 0 : 1);
    if (part.Encoding == enc_base64) return header + (part.Data.size() + 44) / 45;
    return header + part.Text.size();
}

}  // namespace

std::string make_boundary(const platform::LocalDateTime& when, std::uint32_t ip_address)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string boundary = std::to_string(local_seconds_since_1970(when));
    for (int shift = 28; shift >= 0; shift -= 4) boundary += hex[(ip_address >> shift) & 0xF];
    boundary += "==";
    return boundary;
}

std::string attachment_name(std::string_view path)
{
    // file_name_part already cuts at backslashes and colons (a colon after the last
    // backslash stays in the name); only the platform's other separators ("/" on POSIX)
    // are added.
    std::string name = file_name_part(path);
    for (std::size_t i = name.size(); i > 0; --i) {
        const char c = name[i - 1];
        if (c != '\\' && c != ':' && platform::is_directory_separator(c)) return name.substr(i);
    }
    return name;
}

int T_Mime::AttachFile(const std::string& path)
{
    T_Attachment part;
    part.ContentType = "application/octet-stream";
    part.Encoding = enc_base64;
    part.Data.load_from_file(path);
    part.Disposition = "attachment; filename=\"" + attachment_name(path) + "\"";
    Attachments.push_back(std::move(part));
    return AttachmentCount() - 1;
}

int T_Mime::AttachText(const StringList& lines)
{
    T_Attachment part;
    part.ContentType = "text/plain";
    part.Encoding = enc_quoted_printable;
    part.SetText(lines);
    Attachments.push_back(std::move(part));
    return AttachmentCount() - 1;
}

void T_Mime::RemoveAttachment(int index)
{
    if (index < 0 || index >= AttachmentCount()) return;
    Attachments.erase(Attachments.begin() + index);
}

void T_Mime::ClearAttachments()
{
    Attachments.clear();
}

int T_Mime::AttachmentCount() const
{
    return static_cast<int>(Attachments.size());
}

void T_Mime::SendMail()
{
    if (Mail == nullptr) return;

    Boundary = make_boundary(platform::local_now(), local_ip_address());
    const std::string delimiter = "--" + Boundary;
    StringList saved_body;
    int text_index = -1;
    std::size_t generated_lines = 0;

    try {
        Mail->Header.push_back("MIME-Version: 1.0");
        Mail->Header.push_back("Content-Type: multipart/mixed; boundary=\"" + Boundary + "\"");
        Mail->Header.push_back("Content-Transfer-Encoding: 7bit");

        saved_body = std::move(Mail->Body);
        Mail->Body.clear();
        if (!saved_body.empty()) text_index = AttachText(saved_body);

        std::size_t total = 2;
        for (const auto& part : Attachments) total += line_count(part);
        StringList body;
        body.reserve(total);
        for (auto& part : Attachments) {
            body.emplace_back();
            body.push_back(delimiter);
            body.push_back("Content-Type: " + part.ContentType);
            if (!part.Disposition.empty()) body.push_back("Content-Disposition: " + part.Disposition);
            if (const char* line = transfer_encoding_line(part.Encoding)) body.emplace_back(line);
            body.emplace_back();
            if (part.Encoding == enc_base64) {
                StringList encoded = encode_base64(part.Data);
                body.insert(body.end(), std::make_move_iterator(encoded.begin()),
                            std::make_move_iterator(encoded.end()));
            } else {
                for (const auto& line : part.Text) body.push_back(encode_quoted_printable(line));
            }
        }
        body.emplace_back();
        body.push_back(delimiter + "--");
        generated_lines = body.size();
        Mail->Body = std::move(body);

        // When the text comes back afterwards, nobody sees the generated body again, so the
        // message may take it over instead of copying a large attachment once more.
        Mail->BodyDisposable = !saved_body.empty();
        Mail->Action();
        Mail->BodyDisposable = false;

        if (!saved_body.empty()) Mail->Body = std::move(saved_body);
    } catch (...) {
        Mail->BodyDisposable = false;
        // A failed send leaves the generated lines in Body; take them back from the
        // composed message if the message had taken them over.
        auto& composed = Mail->MessageLines;
        if (Mail->Body.empty() && generated_lines != 0 && composed.size() >= generated_lines)
            Mail->Body.assign(composed.end() - static_cast<std::ptrdiff_t>(generated_lines), composed.end());
        RemoveAttachment(text_index);
        throw;
    }
    RemoveAttachment(text_index);
}

}  // namespace zanpost
