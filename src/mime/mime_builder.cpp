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
#include "rtl/file_reader.h"

#include <algorithm>
#include <memory>
#include <string_view>
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

// The generated body in order: runs of ready lines, the base64 content of file parts and
// the streamed text, each encoded only when the body's next bytes are asked for.
class BodyWriter {
public:
    void add(std::string line) { ready_run().push_back(std::move(line)); }
    // A line of a quoted-printable part, encoded as its text sent while it is read would be.
    void add_quoted(std::string_view line) { append_quoted_printable_lines(ready_run(), line); }

    void add_base64(const MemoryStream& data)
    {
        Piece piece;
        piece.held = &data;
        add_piece(std::move(piece));
    }
    void add_base64(FileReader& file)
    {
        Piece piece;
        piece.file = &file;
        add_piece(std::move(piece));
    }

    // The text part: its header lines are written only before text that is not empty.
    void add_text(const std::function<bool(std::string&)>& source, StringList header)
    {
        Piece piece;
        piece.lines = std::move(header);
        piece.text = &source;
        add_piece(std::move(piece));
    }

    // Appends the next stretch of the body to `out`, about `size` bytes of CR LF lines;
    // false when nothing is left.
    bool next(std::string& out, std::size_t size = 0x10000)
    {
        const std::size_t start = out.size();
        const auto add_line = [&out](std::string_view line) {
            out.append(line);
            out += "\r\n";
        };
        while (out.size() - start < size && piece_ < pieces_.size()) {
            Piece& piece = pieces_[piece_];
            bool done = true;
            if (piece.held != nullptr) {
                const std::string& bytes = piece.held->bytes();
                const std::size_t n = std::min(bytes.size() - offset_, chunk_bytes);
                append_base64_lines(out, bytes.data() + offset_, n);
                offset_ += n;
                done = offset_ >= bytes.size();
            } else if (piece.file != nullptr) {
                chunk_.resize(chunk_bytes);
                const std::size_t n = piece.file->read(chunk_.data(), chunk_bytes);
                append_base64_lines(out, chunk_.data(), n);
                done = n < chunk_bytes;
            } else if (piece.text != nullptr) {
                done = !(*piece.text)(chunk_);
                if (!done && !chunk_.empty()) {
                    if (offset_ == 0)
                        for (const auto& line : piece.lines) add_line(line);
                    offset_ = 1;  // the part's header lines are out
                    quoted_.append(out, chunk_);
                } else if (done) {
                    quoted_.finish(out);
                }
            } else {
                while (out.size() - start < size && offset_ < piece.lines.size()) add_line(piece.lines[offset_++]);
                done = offset_ >= piece.lines.size();
            }
            if (done) {
                ++piece_;
                offset_ = 0;
            }
        }
        return out.size() != start;
    }

private:
    // About 48 KiB of content a read: whole base64 lines of 45 bytes.
    static constexpr std::size_t chunk_bytes = 45 * 1092;

    struct Piece {
        StringList lines;
        const MemoryStream* held = nullptr;
        FileReader* file = nullptr;
        const std::function<bool(std::string&)>* text = nullptr;

        bool is_ready_run() const noexcept { return held == nullptr && file == nullptr && text == nullptr; }
    };

    void add_piece(Piece piece)
    {
        pieces_.push_back(std::move(piece));
        pieces_.emplace_back();
    }

    StringList& ready_run()
    {
        if (pieces_.empty() || !pieces_.back().is_ready_run()) pieces_.emplace_back();
        return pieces_.back().lines;
    }

    std::vector<Piece> pieces_;
    std::size_t piece_ = 0;
    std::size_t offset_ = 0;  // the next line, or byte of held content, of the piece
    std::string chunk_;       // a file's bytes, or the text, as read
    QuotedPrintableWriter quoted_;  // the text's line that runs on into its next block
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

bool has_long_line(const std::function<bool(std::string& block)>& text)
{
    std::string block;
    std::size_t length = 0;  // of the current line so far, a CR at its end included
    bool cr = false;         // its last byte is a CR, which belongs to the line end
    while (text(block)) {
        std::string_view rest = block;
        for (;;) {
            const std::size_t lf = rest.find('\n');
            const std::size_t n = lf == std::string_view::npos ? rest.size() : lf;
            length += n;
            if (n > 0) cr = rest[n - 1] == '\r';
            if (length - (cr ? 1 : 0) > max_wire_line) return true;
            if (lf == std::string_view::npos) break;
            length = 0;
            cr = false;
            rest.remove_prefix(lf + 1);
        }
    }
    return false;
}

void set_plain_text(T_MailNews& mail, std::function<bool(std::string& block)> text, bool long_lines)
{
    mail.Header = plain_text_header();
    if (!long_lines || !text) {
        mail.MoreBody = std::move(text);
        return;
    }
    mail.Header.back() = transfer_encoding_line(enc_quoted_printable);
    mail.MoreBody = [text = std::move(text), writer = QuotedPrintableWriter(), piece = std::string(),
                     ended = false](std::string& block) mutable {
        block.clear();
        while (block.empty() && !ended) {
            if (text(piece)) {
                writer.append(block, piece);
            } else {
                writer.finish(block);
                ended = true;
            }
        }
        return !block.empty();
    };
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

int T_Mime::AttachStreamedFile(const std::string& path)
{
    // Checked before opening: opening a FIFO would wait for a writer.
    if (!platform::is_regular_file(path)) throw EFOpenError(path);
    T_Attachment part;
    part.ContentType = "application/octet-stream";
    part.Encoding = enc_base64;
    part.File = std::make_shared<FileReader>(path);
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
    // The delimiter and the header lines that open a part.
    const auto part_header = [&delimiter](const std::string& type, const std::string& disposition,
                                          t_transfer_encoding encoding) {
        StringList lines{{}, delimiter, "Content-Type: " + type};
        if (!disposition.empty()) lines.push_back("Content-Disposition: " + disposition);
        if (const char* line = transfer_encoding_line(encoding)) lines.emplace_back(line);
        lines.emplace_back();
        return lines;
    };

    BodyWriter generated;
    for (auto& part : Attachments) {
        for (auto& line : part_header(part.ContentType, part.Disposition, part.Encoding))
            generated.add(std::move(line));
        if (part.Encoding == enc_base64 && part.File) {
            generated.add_base64(*part.File);
        } else if (part.Encoding == enc_base64) {
            generated.add_base64(part.Data);
            part.Data.set_position(part.Data.size());  // as if read through to its end
        } else {
            for (const auto& line : part.Text) generated.add_quoted(line);
        }
    }
    // The message's text goes last, its held lines before the text read while it is sent.
    if (!Mail->Body.empty()) {
        for (auto& line : part_header(czech_text_type, {}, enc_quoted_printable)) generated.add(std::move(line));
        for (const auto& line : Mail->Body) generated.add_quoted(line);
    }
    if (StreamedText) generated.add_text(StreamedText, part_header(czech_text_type, {}, enc_quoted_printable));
    generated.add({});
    generated.add(delimiter + "--");

    const StringList content_header{"MIME-Version: 1.0",
                                    "Content-Type: multipart/mixed; boundary=\"" + Boundary + "\"",
                                    "Content-Transfer-Encoding: 7bit"};
    if (EncodeWhileSending) {
        Mail->Send(content_header, [&generated](std::string& block) {
            block.clear();
            return generated.next(block);
        });
        return;
    }
    // Every part is read now, before the message is handed on: one that cannot be read fails
    // the send before anything goes out.
    std::string whole;
    while (generated.next(whole)) {
    }
    Mail->Send(content_header, [&whole](std::string& block) {
        block.swap(whole);
        whole.clear();
        return !block.empty();
    });
}

}  // namespace zanpost
