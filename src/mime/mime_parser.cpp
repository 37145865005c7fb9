#include "mime/mime.h"

#include "mime/codecs.h"
#include "mime/header_text.h"
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

// The length of a line that ends in a soft line break, "=" with perhaps blanks after it
// (transport padding, RFC 2045 6.7), up to the "="; npos for any other line.
std::size_t soft_break_at(const std::string& line)
{
    const std::size_t last = line.find_last_not_of(" \t");
    return last != std::string::npos && line[last] == '=' ? last : std::string::npos;
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

std::vector<std::pair<std::string, std::string>> header_parameters(std::string_view content_type)
{
    std::vector<std::pair<std::string, std::string>> parameters;
    std::size_t p = content_type.find(';');
    while (p != std::string_view::npos && p < content_type.size()) {
        ++p;  // past the ";"
        while (p < content_type.size() && is_control_or_blank(content_type[p])) ++p;
        const std::size_t name_start = p;
        while (p < content_type.size() && content_type[p] != '=' && content_type[p] != ';') ++p;
        std::string name = ascii_lower(trimmed(content_type.substr(name_start, p - name_start)));
        if (p >= content_type.size()) break;
        if (content_type[p] == ';') continue;
        ++p;  // past the "="
        while (p < content_type.size() && (content_type[p] == ' ' || content_type[p] == '\t')) ++p;

        std::string value;
        if (p < content_type.size() && content_type[p] == '"') {
            ++p;
            while (p < content_type.size() && content_type[p] != '"') {
                // Mailers write Windows paths with single backslashes: only a backslash
                // before a quote or a backslash escapes it.
                if (content_type[p] == '\\' && p + 1 < content_type.size() &&
                    (content_type[p + 1] == '"' || content_type[p + 1] == '\\'))
                    ++p;
                value += content_type[p++];
            }
            if (p < content_type.size()) ++p;  // past the closing quote
        } else {
            while (p < content_type.size() && content_type[p] != ';' && content_type[p] != ' ' &&
                   content_type[p] != '\t')
                value += content_type[p++];
        }
        parameters.emplace_back(std::move(name), std::move(value));
        p = content_type.find(';', p);
    }
    return parameters;
}

std::string header_parameter(std::string_view content_type, std::string_view wanted)
{
    const std::string wanted_name = ascii_lower(wanted);
    for (auto& [name, value] : header_parameters(content_type))
        if (name == wanted_name) return std::move(value);
    return {};
}

T_Attachment* T_Mime::GetAttachment(int index)
{
    if (index < 0) throw EStringListError(index);
    if (index >= AttachmentCount()) return nullptr;
    return &Attachments[static_cast<std::size_t>(index)];
}

namespace {

// A base64 part's bytes go to the sink in blocks of this size: a line's few bytes alone
// would cost a call each, a whole part would be held.
constexpr std::size_t bytes_block = 0x10000;

// The size of the message as it travelled, CR LF counted, so a large part is allocated once.
std::size_t message_size(const StringList& lines)
{
    std::size_t size = 0;
    for (const auto& line : lines) size += line.size() + 2;
    return size;
}

}  // namespace

void T_Mime::ParseMessage(const StringList& lines)
{
    StartParse(message_size(lines));
    for (const std::string& line : lines) parse_line(line);
    FinishParse();
}

void T_Mime::ParseMessage(StringList&& lines)
{
    StartParse(message_size(lines));
    for (std::string& line : lines) parse_line(line);
    FinishParse();
    StringList().swap(lines);  // its strings are parts now; release the emptied list too
}

void T_Mime::StartParse(std::size_t expected_size, T_PartSink* sink)
{
    sink_ = sink != nullptr ? sink : &collector_;
    Boundary.clear();
    ClearAttachments();
    collector_.Reset();
    unreadable_ = false;
    parse_ = ParseState{};
    parse_.expected_size = expected_size;
}

void T_Mime::ParseLine(std::string& line)
{
    parse_line(line);
}

void T_Mime::FinishParse()
{
    switch (parse_.phase) {
    case ParsePhase::message_header:
        start_content();
        end_part();
        break;
    case ParsePhase::part_header: start_part_content(); [[fallthrough]];
    case ParsePhase::content:
        if (!parse_.discarding) end_part();
        break;
    case ParsePhase::done: break;  // ended at the closing delimiter, already decoded
    }
    // A message whose every part was left out still shows a collector the one it ended in.
    sink_->EndMessage(parse_.discarding ? &parse_.part : nullptr);
    parse_ = ParseState{};
    sink_ = &collector_;
    parse_.phase = ParsePhase::done;
}

// A line that begins with a blank or TAB continues the last header line; the name and
// value carry over from one header block to the next, so a part header that opens with such
// a line extends the last header before it.
void T_Mime::read_header_line(const std::string& line)
{
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
        parse_.header_value += line;
    } else {
        auto header = split_header(line);
        parse_.header_name = std::move(header.name);
        parse_.header_value = std::move(header.value);
    }
}

namespace {

std::string media_type(std::string_view content_type)
{
    return ascii_lower(trimmed(content_type.substr(0, content_type.find(';'))));
}

enum class Delimiter { none, next, closing };

// "--" boundary, perhaps "--" after it, then nothing but blanks and TABs (transport padding).
Delimiter delimiter_kind(std::string_view line, std::string_view boundary)
{
    if (line.size() < boundary.size() + 2 || !line.starts_with("--") || line.substr(2, boundary.size()) != boundary)
        return Delimiter::none;
    std::string_view rest = line.substr(boundary.size() + 2);
    const Delimiter kind = rest.starts_with("--") ? Delimiter::closing : Delimiter::next;
    if (kind == Delimiter::closing) rest.remove_prefix(2);
    return rest.find_first_not_of(" \t") == std::string_view::npos ? kind : Delimiter::none;
}

}  // namespace

bool is_text_type(std::string_view content_type)
{
    const std::string type = media_type(content_type);
    return type.empty() || type.starts_with("text/");
}

// The message header has ended: from here on its boundary decides what a delimiter is.
void T_Mime::start_content()
{
    auto& state = parse_;
    state.part = T_Attachment{};
    // Without a boundary there are no delimiter lines: the body is one part, encoded as the
    // message header says.
    if (!Boundary.empty()) {
        state.open.push_back({Boundary, media_type(state.message_type) == "multipart/alternative"});
    } else {
        state.part.ContentType = state.message_type;
        state.part.Encoding = encoding_named(state.message_encoding);
    }
    begin_part();
}

// The current part's content begins: what its lines are converted from, and the sink told.
void T_Mime::begin_part()
{
    auto& state = parse_;
    const auto& part = state.part;
    state.line_charset.clear();
    if (part.Use == t_part_use::text && part.Encoding != enc_base64 && is_text_type(part.ContentType))
        state.line_charset = header_parameter(part.ContentType, "charset");
    sink_->BeginPart(part);
}

// A part's header has ended: what the part is follows from it and from where it stands.
void T_Mime::start_part_content()
{
    auto& state = parse_;
    auto& part = state.part;
    state.phase = ParsePhase::content;
    state.discarding = false;

    const std::string type = media_type(part.ContentType);
    const bool multipart = type.starts_with("multipart/");
    Multipart& parent = state.open.back();
    bool quiet = parent.quiet;
    if (parent.alternative) {
        // The plain text is the alternative for Tabulix; files of the others still count.
        const bool chosen = !parent.text_chosen && (type == "text/plain" || multipart);
        parent.text_chosen = parent.text_chosen || chosen;
        quiet = quiet || !chosen;
    }

    if (multipart) {
        // Its own lines before its first delimiter are a preamble no one reads.
        state.discarding = true;
        const std::string boundary = boundary_parameter(part.ContentType);
        if (boundary.empty() || state.open.size() >= max_nesting)
            unreadable_ = true;
        else
            state.open.push_back({boundary, type == "multipart/alternative", false, quiet});
        return;
    }
    part.FileName = part_file_name(part.Disposition, part.ContentType);
    if (!part.FileName.empty()) {
        part.Use = t_part_use::file;
    } else if (quiet) {
        state.discarding = true;
        return;
    }
    begin_part();
}

// The line ends the current part when it is a delimiter line of an open multipart, the
// innermost first: one that ends an outer multipart ends the inner ones too.
bool T_Mime::at_delimiter(const std::string& line)
{
    auto& state = parse_;
    if (line.size() < 2 || line[0] != '-' || line[1] != '-') return false;
    for (std::size_t k = state.open.size(); k-- > 0;) {
        const Delimiter kind = delimiter_kind(line, state.open[k].boundary);
        if (kind == Delimiter::none) continue;
        state.open.resize(k + 1);
        if (kind == Delimiter::closing && k == 0) {
            // What follows the message's closing delimiter is ignored; the part is the last.
            if (!state.discarding) end_part();
            state.phase = ParsePhase::done;
            return true;
        }
        if (!state.discarding) end_part(state.is_preamble);
        state.is_preamble = false;
        state.discarding = false;
        state.part = T_Attachment{};
        if (kind == Delimiter::next) {
            state.phase = ParsePhase::part_header;
        } else {
            // The epilogue of a nested multipart, up to the next delimiter line.
            state.open.pop_back();
            state.discarding = true;
        }
        return true;
    }
    return false;
}

// The current part's content is complete: what is still held goes to the sink, and the part
// ends there, or is dropped when it was the preamble.
void T_Mime::end_part(bool preamble)
{
    switch (parse_.part.Encoding) {
    case enc_base64:
        parse_.base64.finish(parse_.decoded);
        hand_over_bytes();
        break;
    case enc_quoted_printable:
        // A soft line break at the very end joins nothing more.
        if (parse_.qp_joining) {
            std::string line = decode_quoted_printable(parse_.qp_joined);
            parse_.qp_joined.clear();
            parse_.qp_joining = false;
            emit_line(line);
        }
        break;
    case enc_none: break;
    }
    if (preamble)
        sink_->DropPart();
    else
        sink_->EndPart();
}

// The decoded bytes held so far, with what may still come for a sink that holds the part.
void T_Mime::hand_over_bytes()
{
    auto& state = parse_;
    if (state.decoded.empty()) return;
    sink_->RestOfMessage(state.expected_size > state.consumed ? state.expected_size - state.consumed : 0);
    sink_->PartBytes(state.decoded);
    state.decoded.clear();
}

// A decoded line of the current part, in CP1250 when it is text for the reader.
void T_Mime::emit_line(std::string& line)
{
    if (!parse_.line_charset.empty()) line = text_to_cp1250(line, parse_.line_charset);
    sink_->PartLine(line);
}

// A line of the current part's content as it travelled.
void T_Mime::content_line(std::string& line)
{
    auto& state = parse_;
    switch (state.part.Encoding) {
    case enc_base64:
        state.base64.append(state.decoded, line);
        if (state.decoded.size() >= bytes_block) hand_over_bytes();
        return;
    case enc_quoted_printable:
        // A line that ends in "=" (a soft line break) goes on in the next one.
        if (const std::size_t soft = soft_break_at(line); soft != std::string::npos) {
            state.qp_joined.append(line, 0, soft);
            state.qp_joining = true;
            return;
        }
        if (state.qp_joining) {
            state.qp_joined += line;
            std::string decoded = decode_quoted_printable(state.qp_joined);
            state.qp_joined.clear();
            state.qp_joining = false;
            emit_line(decoded);
        } else {
            std::string decoded = decode_quoted_printable(line);
            emit_line(decoded);
        }
        return;
    case enc_none: emit_line(line); return;
    }
}

// Line is std::string, whose content may be taken, or const std::string.
template <typename Line>
void T_Mime::parse_line(Line& line)
{
    auto& state = parse_;
    state.consumed += line.size() + 2;
    switch (state.phase) {
    case ParsePhase::message_header:
        if (line.empty()) {
            start_content();
            state.phase = ParsePhase::content;
            return;
        }
        read_header_line(line);
        if (state.header_name == "content-type") {
            Boundary = boundary_parameter(state.header_value);
            state.message_type = state.header_value;
        } else if (state.header_name == "content-transfer-encoding") {
            state.message_encoding = state.header_value;
        }
        return;

    case ParsePhase::content:
        if (!state.open.empty() && at_delimiter(line)) return;
        if (state.discarding) return;
        if constexpr (std::is_const_v<Line>) {
            std::string copy = line;
            content_line(copy);
        } else {
            content_line(line);
        }
        return;

    case ParsePhase::part_header:
        if (line.empty()) {
            start_part_content();
            return;
        }
        read_header_line(line);
        if (state.header_name == "content-type")
            state.part.ContentType = state.header_value;
        else if (state.header_name == "content-disposition")
            state.part.Disposition = state.header_value;
        else if (state.header_name == "content-transfer-encoding")
            state.part.Encoding = encoding_named(state.header_value);
        return;

    case ParsePhase::done: return;
    }
}

}  // namespace zanpost
