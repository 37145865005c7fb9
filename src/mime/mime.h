#pragma once
// MIME multipart/mixed messages: T_Mime builds one from a message and its attached parts and
// sends it, and splits a received message back into parts.

#include "mime/attachment.h"
#include "mime/codecs.h"
#include "mime/part_sink.h"
#include "platform/clock.h"
#include "rtl/string_list.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zanpost {

class T_MailNews;

class T_Mime {
public:
    T_Mime() = default;
    T_Mime(const T_Mime&) = delete;
    T_Mime& operator=(const T_Mime&) = delete;

    T_MailNews* Mail = nullptr;  // the message SendMail sends; not owned, only read
    std::string Boundary;        // without the leading "--"
    std::vector<T_Attachment> Attachments;

    // Adds a base64 part holding the file's bytes, its file name in the disposition (a
    // quoted string), and returns its index. Raises EFOpenError ("Cannot open file
    // <path>") for a missing file and for anything that is not a regular file (a FIFO, a
    // device, a directory); nothing is added.
    int AttachFile(const std::string& path);
    // Adds the file as AttachFile does, with the same checks and failures, but holds none
    // of it: the file is opened now, so one that cannot be opened is known before anything
    // is sent, and its bytes are read and encoded a piece at a time while SendMail sends
    // the message. A file cut short meanwhile fails the send (EReadError) before the
    // message's end, so no server takes it for whole.
    int AttachStreamedFile(const std::string& path);
    // Adds a quoted-printable part of type czech_text_type holding the lines; returns its
    // index.
    int AttachText(const StringList& lines);
    // An index outside the list does nothing.
    void RemoveAttachment(int index);
    void ClearAttachments();
    int AttachmentCount() const;

    // Sends Mail (Mail->Send) as a multipart/mixed message of the parts, with its Body as a
    // last text part; Mail's MoreBody is not sent. Without Mail it does nothing. Raises what
    // Send raises.
    void SendMail();
    // When set, the body is produced while it is sent, so a large file is never held as
    // base64 lines; without it every part is read and encoded before Mail is handed the
    // message, and one that cannot be read fails before anything is sent. The bytes sent
    // are the same.
    bool EncodeWhileSending = false;
    // When set, text that SendMail sends as a last quoted-printable part of type
    // czech_text_type, after Body's, read while it is sent: each call replaces the block by
    // the next text, lines ending in CR LF (a block may end inside a line), false at its
    // end. Text that turns out empty adds no part.
    std::function<bool(std::string& block)> StreamedText;

    // Splits a message into Attachments and sets Boundary. Never raises: any list gives at
    // least one part. The rvalue form moves the lines into the parts instead of copying.
    void ParseMessage(const StringList& lines);
    void ParseMessage(StringList&& lines);

    // ParseMessage for a message that arrives line by line: StartParse, every line in order
    // through ParseLine (which may take the line's content), then FinishParse. Every part
    // goes to the sink as it is decoded: nothing of a part is held beyond a line or a block
    // of decoded bytes. Without a sink, a CollectingSink gathers the parts into Attachments
    // (until FinishParse only some of the finished ones). The sink must outlive the parse.
    // `expected_size`, the message's size in bytes when known beforehand (a POP3 listing
    // tells it), lets a collected base64 part's bytes be allocated once instead of growing.
    void StartParse(std::size_t expected_size = 0, T_PartSink* sink = nullptr);
    void ParseLine(std::string& line);
    void FinishParse();

    // True when part 0 of the last parse into Attachments is content that stood before the
    // first delimiter line, not a part of the message's own.
    bool HasPreamble() const noexcept { return collector_.HasPreamble(); }

    // Multiparts nest (a part of type multipart/* holds parts of its own), and Attachments
    // holds the parts of the whole tree that are text or files, in message order. Of a
    // multipart/alternative only the first text/plain alternative (or nested multipart) is
    // text; the others are left out, except the files they hold. Text parts are converted
    // to CP1250 from the charset they declare.
    //
    // True when the last parse met content it cannot read: multiparts nested deeper than
    // max_nesting, or a nested multipart without a boundary. Its parts are incomplete.
    bool Unreadable() const noexcept { return unreadable_; }
    static constexpr std::size_t max_nesting = 20;

    // The part at the index, nullptr beyond the last one; a negative index raises
    // EStringListError.
    T_Attachment* GetAttachment(int index);

private:
    enum class ParsePhase { message_header, content, part_header, done };

    // A multipart whose parts are being read, the message itself outermost.
    struct Multipart {
        std::string boundary;
        bool alternative = false;  // only one of its parts is text
        bool text_chosen = false;  // that part has been met
        bool quiet = false;        // no text of it is wanted: only its files
    };

    // Where a parse stands between two lines.
    struct ParseState {
        ParsePhase phase = ParsePhase::message_header;
        // The last header line read; a continuation line extends it, also across parts.
        std::string header_name;
        std::string header_value;
        std::string message_type;
        std::string message_encoding;
        std::vector<Multipart> open;  // innermost last; empty for a message of one part
        bool is_preamble = true;
        // The current content is wanted by no one (the preamble or epilogue of a nested
        // multipart, an alternative beside the text): its lines are dropped as they come.
        bool discarding = false;
        T_Attachment part;  // the current part's header; its content goes to the sink
        std::string decoded;  // the current base64 part's bytes not yet handed over
        std::string qp_joined;  // a quoted-printable line continued by soft line breaks
        bool qp_joining = false;
        std::string line_charset;  // the charset lines of the current part are converted from
        Base64Decoder base64;
        std::size_t expected_size = 0;
        std::size_t consumed = 0;  // bytes of the message so far, line ends counted
    };

    template <typename Line>
    void parse_line(Line& line);
    void read_header_line(const std::string& line);
    void start_content();
    void start_part_content();
    bool at_delimiter(const std::string& line);
    void end_part(bool preamble = false);
    void begin_part();
    void content_line(std::string& line);
    void emit_line(std::string& line);
    void hand_over_bytes();

    ParseState parse_;
    CollectingSink collector_{Attachments};
    T_PartSink* sink_ = &collector_;
    bool unreadable_ = false;
};

struct t_header_line {
    std::string name;   // lower case
    std::string value;  // without the bytes up to blank at either end
};

// Splits "Name: value"; a line without ":" gives an empty name and value.
t_header_line split_header(std::string_view line);

// The parameter `name` (any letter case) of a header value such as
// "attachment; filename=\"x.dat\"", quoted or a bare token; empty when there is none.
std::string header_parameter(std::string_view value, std::string_view name);

// Every parameter of a header value in order: its name in lower case and its value, quoted
// or a bare token. In a quoted value only \" and \\ are escapes; any other backslash is
// itself ("C:\x\y.txt" stays).
std::vector<std::pair<std::string, std::string>> header_parameters(std::string_view value);

// The "boundary" parameter of a Content-Type value.
std::string boundary_parameter(std::string_view content_type);

// True when a Content-Type value names text as MIME reads it: a text/* type, or none at all.
bool is_text_type(std::string_view content_type);

// Seconds of the local time since 1970, then the address as eight upper-case hexadecimal
// digits of its in-memory network byte order, then "==".
std::string make_boundary(const platform::LocalDateTime& when, std::uint32_t ip_address);

// The type of the text ZanPost sends: Tabulix writes it in code page 1250.
inline constexpr const char czech_text_type[] = "text/plain; charset=windows-1250";

// The header lines of a message without files, so that a reader shows its Czech text as
// such: "MIME-Version: 1.0", "Content-Type: " czech_text_type and
// "Content-Transfer-Encoding: 8bit".
StringList plain_text_header();

// True when a line of the text (CR LF lines a block at a time, as StreamedText gives them)
// is longer than max_wire_line. Reads the text up to that line, or through to its end.
bool has_long_line(const std::function<bool(std::string& block)>& text);

// Makes `mail` (its Body empty) a message without files whose body is `text`, read while it
// is sent, as StreamedText gives it. The text goes as it always has, under
// plain_text_header() and byte for byte, unless `long_lines` (has_long_line, asked before
// anything is sent, since the header comes first): then it goes as quoted-printable,
// encoded and broken as QuotedPrintableWriter does, so that no line on the wire is too
// long and the text still arrives whole.
void set_plain_text(T_MailNews& mail, std::function<bool(std::string& block)> text, bool long_lines);

// A parameter value as a quoted string: `"` and `\` escaped by a backslash, so that any
// reader gets the value back whole.
std::string quoted_parameter(std::string_view value);

// The name written into an attachment's disposition: the file-name part of the path, also
// cut at this platform's directory separators.
std::string attachment_name(std::string_view path);

}  // namespace zanpost
