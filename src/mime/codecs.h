#pragma once
// Content transfer encodings: the uuencode/base64 line codec, whole-stream base64 and
// line-wise quoted-printable. Malformed input never raises; it decodes as far as it can.

#include "rtl/memory_stream.h"
#include "rtl/string_list.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zanpost {

enum t_line_coding : std::uint8_t { lc_uuencode = 0, lc_base64 = 1, lc_base64_alias = 2 };

// One encoded line of `count` (0..189) bytes.
std::string encode_line(t_line_coding mode, const char* bytes, std::size_t count);
// encode_line in base64 mode into `line`, whose storage is reused.
void encode_base64_line(std::string& line, const char* bytes, std::size_t count);
// Appends the bytes as base64 lines of 60 characters (the last shorter), each followed by
// CR LF: the lines encode_base64_line gives for every 45 bytes, without a string for each.
void append_base64_lines(std::string& out, const char* bytes, std::size_t count);
// The bytes of one encoded line.
std::string decode_line(t_line_coding mode, std::string_view line);

// The stream from its start as base64 lines of 60 characters (the last shorter); the
// stream is left at its end.
StringList encode_base64(MemoryStream& stream);
// The bytes of base64 lines, each line decoded by itself; positioned at its end.
MemoryStream decode_base64(const StringList& lines);
// Appends the bytes of one base64 line, decoded as decode_base64 decodes each line, so that
// content arriving line by line needs no list of its lines.
void append_base64_line(std::string& bytes, std::string_view line);

// Base64 content as one stream (RFC 2045 6.8): a group of four characters may span line
// ends, lines may have any length, characters outside the alphabet are passed over and the
// first "=" ends the data. Lines that are well-formed groups decode to the same bytes as
// append_base64_line gives them.
class Base64Decoder {
public:
    // Appends the bytes the line completes; characters of an unfinished group are held.
    void append(std::string& bytes, std::string_view line);
    // The data has ended: the bytes of a held group of two or three characters are
    // appended (a single character fills no byte). The decoder starts again afterwards.
    void finish(std::string& bytes);
    // True after the padding: what follows it is not data.
    bool ended() const noexcept { return ended_; }

private:
    void append_slowly(std::string& bytes, std::string_view chars);

    std::uint32_t bits_ = 0;
    int held_ = 0;  // characters of the unfinished group, 0..3
    bool ended_ = false;
};

std::string encode_quoted_printable(std::string_view line);
std::string decode_quoted_printable(std::string_view line);
// Appends the text as encode_quoted_printable encodes each of its lines: CR and LF need no
// quoting, so text of CR LF lines comes out as its lines encoded one by one.
void append_quoted_printable(std::string& out, std::string_view text);

// The longest line a message may carry, without its CR LF (RFC 5322 2.1.1): servers refuse
// longer ones or break them.
inline constexpr std::size_t max_wire_line = 998;

// Quoted-printable text as ZanPost sends it, a block at a time. A line goes as
// encode_quoted_printable encodes it, so that installations that decode one line at a time
// read it as always; only a line whose encoding would be longer than max_wire_line is cut by
// soft line breaks ("=" CR LF) into lines of at most 76 characters, never inside an "=XX",
// and a blank at its very end is encoded, since readers drop trailing blanks. Lines end in
// LF or CR LF and keep their line end; a line may run on into the next block, and is held
// only up to the point where it is known to be long, whatever its length.
class QuotedPrintableWriter {
public:
    // Appends the encoded text of every line the block completes, and of a long line what
    // can go out already.
    void append(std::string& out, std::string_view text);
    // The text has ended: an unfinished last line is appended without a line end.
    void finish(std::string& out);

private:
    void take(std::string& out, std::string_view bytes);
    void add(std::string_view bytes);
    void end_line(std::string& out, std::string_view line_end);
    // Writes soft-broken lines from the front of a long line while its encoding left is
    // longer than `keep`; with `last` the line is complete and all of it goes.
    void break_long(std::string& out, std::size_t keep, bool last);

    std::string line_;          // the current line's bytes not yet written
    std::size_t width_ = 0;     // their encoded length
    bool long_ = false;         // the line's encoding is longer than max_wire_line
    bool held_cr_ = false;      // a CR ended the last block: a line end if an LF follows
};

// The lines one text line becomes in a quoted-printable part, as QuotedPrintableWriter
// writes it: one line unless it is too long for the wire.
void append_quoted_printable_lines(StringList& lines, std::string_view line);

}  // namespace zanpost
