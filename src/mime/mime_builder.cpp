#include "mime/mime.h"

#include "message/date.h"
#include "message/mail.h"
#include "message/text.h"
#include "mime/codecs.h"
#include "net/ip_misc.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "rtl/exceptions.h"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

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

// The generated body in order: runs of ready lines, and the base64 content of file parts,
// which is encoded only when its lines are asked for.
class BodyLines {
public:
    void add(std::string line) { ready_run().push_back(std::move(line)); }

    void add_base64(const MemoryStream& data)
    {
        pieces_.push_back(Piece{{}, &data});
        pieces_.emplace_back();
    }

    // Replaces the batch's lines by the next ones, reusing their storage; false when
    // nothing is left.
    bool next_batch(StringList& batch)
    {
        constexpr std::size_t batch_lines = 1024;  // about 60 KB of base64
        std::size_t n = 0;
        const auto slot = [&]() -> std::string& {
            if (n == batch.size()) batch.emplace_back();
            return batch[n++];
        };
        while (n < batch_lines && piece_ < pieces_.size()) {
            Piece& piece = pieces_[piece_];
            std::size_t end = piece.lines.size();
            if (piece.base64 != nullptr) {
                const std::string& bytes = piece.base64->bytes();
                for (end = bytes.size(); n < batch_lines && offset_ < end; offset_ += 45)
                    encode_base64_line(slot(), bytes.data() + offset_, std::min<std::size_t>(45, end - offset_));
            } else {
                while (n < batch_lines && offset_ < end) slot() = std::move(piece.lines[offset_++]);
            }
            if (offset_ >= end) {
                ++piece_;
                offset_ = 0;
            }
        }
        batch.resize(n);
        return n != 0;
    }

private:
    struct Piece {
        StringList lines;
        const MemoryStream* base64 = nullptr;
    };

    StringList& ready_run()
    {
        if (pieces_.empty() || pieces_.back().base64 != nullptr) pieces_.emplace_back();
        return pieces_.back().lines;
    }

    std::vector<Piece> pieces_;
    std::size_t piece_ = 0;
    std::size_t offset_ = 0;  // the next line, or byte of base64 content, of the piece
};

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
    return std::string(platform::attachment_file_name(path));
}

std::string quoted_parameter(std::string_view value)
{
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

StringList plain_text_header()
{
    return {"MIME-Version: 1.0", "Content-Type: " + std::string(czech_text_type), "Content-Transfer-Encoding: 8bit"};
}

int T_Mime::AttachFile(const std::string& path)
{
    // A FIFO would never end, a device might not either, a directory has no bytes: only a
    // regular file is one to send.
    if (!platform::is_regular_file(path)) throw EFOpenError(path);
    T_Attachment part;
    part.ContentType = "application/octet-stream";
    part.Encoding = enc_base64;
    part.Data.load_from_file(path);
    part.Disposition = "attachment; filename=" + quoted_parameter(attachment_name(path));
    Attachments.push_back(std::move(part));
    return AttachmentCount() - 1;
}

int T_Mime::AttachText(const StringList& lines)
{
    T_Attachment part;
    part.ContentType = czech_text_type;
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

        BodyLines generated;
        std::size_t total = 2;
        for (auto& part : Attachments) {
            total += line_count(part);
            generated.add({});
            generated.add(delimiter);
            generated.add("Content-Type: " + part.ContentType);
            if (!part.Disposition.empty()) generated.add("Content-Disposition: " + part.Disposition);
            if (const char* line = transfer_encoding_line(part.Encoding)) generated.add(line);
            generated.add({});
            if (part.Encoding == enc_base64) {
                generated.add_base64(part.Data);
                part.Data.set_position(part.Data.size());  // as if read through to its end
            } else {
                for (const auto& line : part.Text) generated.add(encode_quoted_printable(line));
            }
        }
        generated.add({});
        generated.add(delimiter + "--");

        if (EncodeWhileSending) {
            // Body stays empty: every generated line reaches the message while it is sent.
            Mail->MoreBody = [&generated](StringList& batch) { return generated.next_batch(batch); };
        } else {
            StringList body;
            body.reserve(total);
            StringList batch;
            while (generated.next_batch(batch))
                body.insert(body.end(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
            generated_lines = body.size();
            Mail->Body = std::move(body);
        }

        // When the text comes back afterwards, nobody sees the generated body again, so the
        // message may take it over instead of copying a large attachment once more.
        Mail->BodyDisposable = !saved_body.empty();
        Mail->Action();
        Mail->BodyDisposable = false;
        Mail->MoreBody = nullptr;

        if (!saved_body.empty()) Mail->Body = std::move(saved_body);
    } catch (...) {
        Mail->BodyDisposable = false;
        Mail->MoreBody = nullptr;
        // A failed send leaves the generated lines in Body; take them back from the
        // composed message if the message had taken them over.
        auto& composed = Mail->MessageLines;
        if (Mail->Body.empty() && generated_lines != 0 && composed.size() >= generated_lines)
            Mail->Body.assign(composed.end() - static_cast<std::ptrdiff_t>(generated_lines), composed.end());
        // Encoded while sending, no generated lines exist to leave behind: the text comes back.
        if (EncodeWhileSending && !saved_body.empty()) Mail->Body = std::move(saved_body);
        RemoveAttachment(text_index);
        throw;
    }
    RemoveAttachment(text_index);
}

}  // namespace zanpost
