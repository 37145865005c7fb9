#include "mime/mime.h"

#include "mime/codecs.h"
#include "rtl/ascii.h"
#include "rtl/exceptions.h"

#include <type_traits>
#include <utility>

namespace zanpost {

namespace {

bool is_control_or_blank(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && is_control_or_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_control_or_blank(text.back())) text.remove_suffix(1);
    return text;
}

t_transfer_encoding encoding_named(std::string_view value)
{
    const std::string name = ascii_lower(trimmed(value));
    if (name == "base64") return enc_base64;
    if (name == "quoted-printable") return enc_quoted_printable;
    return enc_none;
}

// The header line being read. A line that begins with a blank or TAB continues it; the
// name and value carry over from one header block to the next, so a part header that
// opens with such a line extends the last header before it.
struct HeaderReader {
    std::string name;
    std::string value;

    void read(const std::string& line)
    {
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            value += line;
        } else {
            auto header = split_header(line);
            name = std::move(header.name);
            value = std::move(header.value);
        }
    }
};

// Joins a line that ends in "=" (a soft line break) with the one after it, then decodes.
StringList decode_quoted_printable_lines(const StringList& lines)
{
    StringList decoded;
    decoded.reserve(lines.size());
    std::string joined;
    bool joining = false;
    for (const auto& line : lines) {
        if (!line.empty() && line.back() == '=') {
            joined.append(line, 0, line.size() - 1);
            joining = true;
        } else if (joining) {
            joined += line;
            decoded.push_back(decode_quoted_printable(joined));
            joined.clear();
            joining = false;
        } else {
            decoded.push_back(decode_quoted_printable(line));
        }
    }
    if (joining) decoded.push_back(decode_quoted_printable(joined));
    return decoded;
}

void decode_content(T_Attachment& part)
{
    switch (part.Encoding) {
    case enc_base64:
        part.SetData(decode_base64(part.Text));
        part.Text.clear();
        break;
    case enc_quoted_printable:
        part.Text = decode_quoted_printable_lines(part.Text);
        break;
    case enc_none:
        break;
    }
}

bool worth_keeping(const T_Attachment& part)
{
    // An empty file still has its disposition: it must replace the old file on receipt.
    return !part.Text.empty() || part.Data.size() != 0 || !part.Disposition.empty();
}

}  // namespace

t_header_line split_header(std::string_view line)
{
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return {};
    return {ascii_lower(line.substr(0, colon)), std::string(trimmed(line.substr(colon + 1)))};
}

std::string boundary_parameter(std::string_view content_type)
{
    return header_parameter(content_type, "boundary");
}

std::string header_parameter(std::string_view content_type, std::string_view wanted)
{
    const std::string wanted_name = ascii_lower(wanted);
    std::size_t p = content_type.find(';');
    while (p != std::string_view::npos && p < content_type.size()) {
        ++p;  // past the ";"
        while (p < content_type.size() && is_control_or_blank(content_type[p])) ++p;
        const std::size_t name_start = p;
        while (p < content_type.size() && content_type[p] != '=' && content_type[p] != ';') ++p;
        const std::string name = ascii_lower(trimmed(content_type.substr(name_start, p - name_start)));
        if (p >= content_type.size()) break;
        if (content_type[p] == ';') continue;
        ++p;  // past the "="
        while (p < content_type.size() && (content_type[p] == ' ' || content_type[p] == '\t')) ++p;

        std::string value;
        if (p < content_type.size() && content_type[p] == '"') {
            ++p;
            while (p < content_type.size() && content_type[p] != '"') {
                if (content_type[p] == '\\' && p + 1 < content_type.size()) ++p;
                value += content_type[p++];
            }
            if (p < content_type.size()) ++p;  // past the closing quote
        } else {
            while (p < content_type.size() && content_type[p] != ';' && content_type[p] != ' ' &&
                   content_type[p] != '\t')
                value += content_type[p++];
        }
        if (name == wanted_name) return value;
        p = content_type.find(';', p);
    }
    return {};
}

T_Attachment* T_Mime::GetAttachment(int index)
{
    if (index < 0) throw EStringListError(index);
    if (index >= AttachmentCount()) return nullptr;
    return &Attachments[static_cast<std::size_t>(index)];
}

void T_Mime::ParseMessage(const StringList& lines)
{
    parse(lines);
}

void T_Mime::ParseMessage(StringList&& lines)
{
    parse(lines);
    StringList().swap(lines);  // its strings are parts now; release the emptied list too
}

template <typename Lines>
void T_Mime::parse(Lines& lines)
{
    constexpr bool take_lines = !std::is_const_v<Lines>;

    Boundary.clear();
    ClearAttachments();
    has_preamble_ = false;

    const std::size_t n = lines.size();
    std::size_t i = 0;
    HeaderReader header;
    std::string message_type;
    std::string message_encoding;
    while (i < n && !lines[i].empty()) {
        header.read(lines[i]);
        if (header.name == "content-type") {
            Boundary = boundary_parameter(header.value);
            message_type = header.value;
        } else if (header.name == "content-transfer-encoding") {
            message_encoding = header.value;
        }
        ++i;
    }

    // Without a boundary there are no delimiter lines: the body is one part, encoded as
    // the message header says.
    const bool multipart = !Boundary.empty();
    const std::string delimiter = "--" + Boundary;
    const std::string closing = delimiter + "--";
    auto is_delimiter = [&](const std::string& line) { return multipart && line == delimiter; };
    auto is_closing = [&](const std::string& line) { return multipart && line == closing; };

    T_Attachment part;
    if (!multipart) {
        part.ContentType = message_type;
        part.Encoding = encoding_named(message_encoding);
    }
    bool is_preamble = true;
    for (;;) {
        if (i < n) ++i;  // the empty line that ends a header block
        while (i < n && !is_delimiter(lines[i]) && !is_closing(lines[i])) {
            if constexpr (take_lines)
                part.Text.push_back(std::move(lines[i]));
            else
                part.Text.push_back(lines[i]);
            ++i;
        }
        decode_content(part);
        if (i >= n || is_closing(lines[i])) break;

        if (worth_keeping(part)) {
            if (is_preamble) has_preamble_ = true;
            Attachments.push_back(std::move(part));
        }
        is_preamble = false;
        part = T_Attachment{};
        ++i;
        while (i < n && !lines[i].empty()) {
            header.read(lines[i]);
            if (header.name == "content-type")
                part.ContentType = header.value;
            else if (header.name == "content-disposition")
                part.Disposition = header.value;
            else if (header.name == "content-transfer-encoding")
                part.Encoding = encoding_named(header.value);
            ++i;
        }
    }
    Attachments.push_back(std::move(part));
}

}  // namespace zanpost
