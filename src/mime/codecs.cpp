#include "mime/codecs.h"

#include "rtl/hex.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace zanpost {

namespace {

// The character of each 6-bit value. Uuencode writes 0 as the grave accent, never as a
// blank, so that no line ends in blanks a mail relay could strip.
constexpr std::string_view uu_encode_table =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
constexpr std::string_view base64_encode_table =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Indexed by character code minus 32; each entry is its value plus 32. Uuencode covers
// blank to the grave accent (which decodes as 0, like the blank), base64 blank to "z".
constexpr std::string_view uu_decode_table =
    " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_ ";
constexpr std::string_view base64_decode_table =
    "~~~~~~~~~~~^~~~_TUVWXYZ[\\]~~~|~~~ !\"#$%&'()*+,-./0123456789~~~~~~"
    ":;<=>?@ABCDEFGHIJKLMNOPQRS";

// Decoded values of the base64 table that are not 6-bit values: "=" ends a line's data,
// everything else in the table's range is passed over.
constexpr std::uint8_t end_marker = 92;
constexpr std::uint8_t skip_marker = 94;
// Both markers have this bit; no 6-bit value has it.
constexpr std::uint32_t marker_bit = 0x40;

static_assert(uu_encode_table.size() == 64 && base64_encode_table.size() == 64);
static_assert(uu_decode_table.size() == 65 && base64_decode_table.size() == 91);
static_assert((end_marker & marker_bit) != 0 && (skip_marker & marker_bit) != 0);

// The decode tables spread over all 256 byte values, so the hot loops need no range test.
// A byte outside a table's range is passed over like the skip marker.
using ValueMap = std::array<std::uint8_t, 256>;

constexpr ValueMap make_value_map(std::string_view table)
{
    ValueMap map{};
    for (auto& value : map) value = skip_marker;
    for (std::size_t i = 0; i < table.size(); ++i)
        map[i + 32] = static_cast<std::uint8_t>(static_cast<unsigned char>(table[i]) - 32);
    return map;
}

constexpr ValueMap uu_values = make_value_map(uu_decode_table);
constexpr ValueMap base64_values = make_value_map(base64_decode_table);

// Each decode table must undo its encode table exactly.
constexpr bool tables_agree(std::string_view encode, const ValueMap& values)
{
    for (std::size_t v = 0; v < encode.size(); ++v)
        if (values[static_cast<unsigned char>(encode[v])] != v) return false;
    return true;
}
static_assert(tables_agree(uu_encode_table, uu_values) && uu_values[' '] == 0);
static_assert(tables_agree(base64_encode_table, base64_values));
static_assert(base64_values['='] == end_marker && base64_values['['] == skip_marker &&
              base64_values[' '] == skip_marker && base64_values['\t'] == skip_marker);

bool is_base64_mode(t_line_coding mode)
{
    return mode == lc_base64 || mode == lc_base64_alias;
}

std::uint32_t byte_at(const char* bytes, std::size_t i)
{
    return static_cast<unsigned char>(bytes[i]);
}

// Four characters for each complete group of three bytes; returns the end of the output.
char* encode_groups(const char* in, std::size_t groups, std::string_view table, char* out)
{
    for (std::size_t g = 0; g < groups; ++g, in += 3, out += 4) {
        const std::uint32_t w = byte_at(in, 0) << 16 | byte_at(in, 1) << 8 | byte_at(in, 2);
        out[0] = table[w >> 18];
        out[1] = table[(w >> 12) & 63];
        out[2] = table[(w >> 6) & 63];
        out[3] = table[w & 63];
    }
    return out;
}

// The two base64 characters of every 12-bit value: half the lookups on the hot path of
// large attachments.
using PairTable = std::array<std::array<char, 2>, 4096>;

constexpr PairTable make_pair_table(std::string_view table)
{
    PairTable pairs{};
    for (std::size_t v = 0; v < pairs.size(); ++v) pairs[v] = {table[v >> 6], table[v & 63]};
    return pairs;
}

constexpr PairTable base64_pairs = make_pair_table(base64_encode_table);

char* encode_base64_groups(const char* in, std::size_t groups, char* out)
{
    for (std::size_t g = 0; g < groups; ++g, in += 3, out += 4) {
        const std::uint32_t w = byte_at(in, 0) << 16 | byte_at(in, 1) << 8 | byte_at(in, 2);
        const auto& high = base64_pairs[w >> 12];
        const auto& low = base64_pairs[w & 4095];
        out[0] = high[0];
        out[1] = high[1];
        out[2] = low[0];
        out[3] = low[1];
    }
    return out;
}

// Collects 6-bit values and writes at most `limit` bytes, counting a partly filled last
// byte (its missing bits zero). Returns the count written.
std::size_t decode_values(std::string_view chars, const ValueMap& values, std::size_t limit, char* out)
{
    std::size_t written = 0;
    std::uint32_t bits = 0;
    int held = 0;
    for (const char c : chars) {
        if (written == limit) return written;
        const std::uint32_t v = values[static_cast<unsigned char>(c)];
        if (v == skip_marker) continue;
        if (v == end_marker) break;
        bits = bits << 6 | v;
        held += 6;
        if (held >= 8) {
            held -= 8;
            out[written++] = static_cast<char>(bits >> held);
        }
    }
    if (held > 0 && written < limit) out[written++] = static_cast<char>(bits << (8 - held));
    return written;
}

// The length of a base64 line up to its last character that is not "=".
std::size_t base64_data_length(std::string_view line)
{
    const std::size_t last = line.find_last_not_of('=');
    return last == std::string_view::npos ? 0 : last + 1;
}

// The byte count a base64 line promises, from its length up to the last non-"=".
std::size_t base64_line_count(std::string_view line)
{
    return base64_data_length(line) * 3 / 4;
}

// base64_values spread over four tables, one per place in a group of four characters, with
// each value already shifted to its place; a marker sets a bit above the 24 data bits. A
// group then costs four lookups and no shifts.
using GroupTable = std::array<std::uint32_t, 256>;
constexpr std::uint32_t group_marker = 1u << 24;

constexpr GroupTable make_group_table(int shift)
{
    GroupTable table{};
    for (std::size_t c = 0; c < table.size(); ++c)
        table[c] = (base64_values[c] & marker_bit) ? group_marker : std::uint32_t(base64_values[c]) << shift;
    return table;
}

constexpr GroupTable group_first = make_group_table(18);
constexpr GroupTable group_second = make_group_table(12);
constexpr GroupTable group_third = make_group_table(6);
constexpr GroupTable group_fourth = make_group_table(0);

// Decodes one base64 line into `out`, which has room for base64_line_count(line) bytes;
// returns the count written.
std::size_t decode_base64_line(std::string_view line, char* out)
{
    const std::size_t data_length = base64_data_length(line);
    const std::size_t count = data_length * 3 / 4;

    // The usual line: alphabet characters only, then at most the "=" padding. Decode it
    // group by group and leave anything unusual to the general walk below.
    const auto* in = reinterpret_cast<const unsigned char*>(line.data());
    char* o = out;
    std::uint32_t seen = 0;
    std::uint32_t groups_seen = 0;
    for (std::size_t g = 0; g < data_length / 4; ++g, in += 4, o += 3) {
        const std::uint32_t w =
            group_first[in[0]] | group_second[in[1]] | group_third[in[2]] | group_fourth[in[3]];
        groups_seen |= w;
        o[0] = static_cast<char>(w >> 16);
        o[1] = static_cast<char>(w >> 8);
        o[2] = static_cast<char>(w);
    }
    // A single character after the last group fills no byte of the count.
    switch (data_length % 4) {
    case 3: {
        const std::uint32_t a = base64_values[in[0]], b = base64_values[in[1]], c = base64_values[in[2]];
        seen |= a | b | c;
        o[0] = static_cast<char>(a << 2 | b >> 4);
        o[1] = static_cast<char>(b << 4 | c >> 2);
        break;
    }
    case 2: {
        const std::uint32_t a = base64_values[in[0]], b = base64_values[in[1]];
        seen |= a | b;
        o[0] = static_cast<char>(a << 2 | b >> 4);
        break;
    }
    default: break;
    }
    if ((seen & marker_bit) == 0 && (groups_seen & group_marker) == 0) return count;
    return decode_values(line, base64_values, count, out);
}

std::size_t decode_uu_line(std::string_view line, char* out)
{
    if (line.empty()) return 0;
    const auto first = static_cast<unsigned char>(line.front());
    if (!((first >= 0x20 && first <= 0x4D) || first == 0x60)) return 0;
    const std::size_t count = (first - 32u) & 63u;
    return decode_values(line.substr(1), uu_values, count, out);
}

constexpr std::string_view hex_digits = "0123456789ABCDEF";

bool needs_quoting(char c)
{
    return c == '=' || static_cast<unsigned char>(c) >= 0x80;
}

std::size_t quoted_width(std::string_view bytes)
{
    std::size_t width = bytes.size();
    for (const char c : bytes) width += needs_quoting(c) ? 2 : 0;
    return width;
}

void append_escape(std::string& out, char c)
{
    const auto byte = static_cast<unsigned char>(c);
    out += '=';
    out += hex_digits[byte >> 4];
    out += hex_digits[byte & 15];
}

// RFC 2045 6.7: an encoded line holds at most 76 characters, the "=" of a soft break included.
constexpr std::size_t soft_line = 76;

}  // namespace

std::string encode_line(t_line_coding mode, const char* bytes, std::size_t count)
{
    if (mode == lc_uuencode) {
        // A uuencode line always ends with a complete group; the filler bytes are zero and
        // the length character tells a decoder to drop them.
        const std::size_t groups = (count + 2) / 3;
        std::string line(1 + 4 * groups, '\0');
        line[0] = static_cast<char>(((count + 63) & 63) + 33);
        char* out = encode_groups(bytes, count / 3, uu_encode_table, line.data() + 1);
        if (count % 3 != 0) {
            std::array<char, 3> last{};
            for (std::size_t i = 0; i < count % 3; ++i) last[i] = bytes[count / 3 * 3 + i];
            encode_groups(last.data(), 1, uu_encode_table, out);
        }
        return line;
    }
    if (!is_base64_mode(mode)) return {};
    std::string line;
    encode_base64_line(line, bytes, count);
    return line;
}

void encode_base64_line(std::string& line, const char* bytes, std::size_t count)
{
    line.resize(4 * ((count + 2) / 3));
    char* out = encode_base64_groups(bytes, count / 3, line.data());
    const char* rest = bytes + count / 3 * 3;
    switch (count % 3) {
    case 1: {
        const std::uint32_t a = byte_at(rest, 0);
        out[0] = base64_encode_table[a >> 2];
        out[1] = base64_encode_table[(a & 3) << 4];
        out[2] = '=';
        out[3] = '=';
        break;
    }
    case 2: {
        const std::uint32_t a = byte_at(rest, 0), b = byte_at(rest, 1);
        out[0] = base64_encode_table[a >> 2];
        out[1] = base64_encode_table[(a & 3) << 4 | b >> 4];
        out[2] = base64_encode_table[(b & 15) << 2];
        out[3] = '=';
        break;
    }
    default: break;
    }
}

void append_base64_lines(std::string& out, const char* bytes, std::size_t count)
{
    constexpr std::size_t line_bytes = 45;
    const std::size_t start = out.size();
    out.resize(start + 4 * ((count + 2) / 3) + 2 * ((count + line_bytes - 1) / line_bytes));
    char* at = out.data() + start;
    for (std::size_t done = 0; done < count; done += line_bytes) {
        const std::size_t n = std::min(line_bytes, count - done);
        if (n == line_bytes) {
            at = encode_base64_groups(bytes + done, line_bytes / 3, at);
        } else {
            // The last, shorter line with its padding, as encode_base64_line writes it.
            std::string last;
            encode_base64_line(last, bytes + done, n);
            at = std::copy(last.begin(), last.end(), at);
        }
        *at++ = '\r';
        *at++ = '\n';
    }
}

void append_quoted_printable(std::string& out, std::string_view text)
{
    std::size_t from = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!needs_quoting(text[i])) continue;
        out.append(text.data() + from, i - from);
        const auto byte = static_cast<unsigned char>(text[i]);
        out += '=';
        out += hex_digits[byte >> 4];
        out += hex_digits[byte & 15];
        from = i + 1;
    }
    out.append(text.data() + from, text.size() - from);
}

void QuotedPrintableWriter::append(std::string& out, std::string_view text)
{
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            take(out, text);
            return;
        }
        std::string_view content = text.substr(0, lf);
        if (line_.empty() && !held_cr_ && !long_) {
            // A whole line within the block, as nearly every line is: straight through.
            if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
            if (quoted_width(content) <= max_wire_line) {
                append_quoted_printable(out, text.substr(0, lf + 1));
                text.remove_prefix(lf + 1);
                continue;
            }
            content = text.substr(0, lf);
        }
        take(out, content);
        const bool cr = held_cr_;
        held_cr_ = false;
        end_line(out, cr ? "\r\n" : "\n");
        text.remove_prefix(lf + 1);
    }
}

void QuotedPrintableWriter::finish(std::string& out)
{
    if (held_cr_) add("\r");  // data after all: no LF follows it
    held_cr_ = false;
    if (!line_.empty()) end_line(out, {});
}

void QuotedPrintableWriter::take(std::string& out, std::string_view bytes)
{
    if (bytes.empty()) return;
    if (held_cr_) add("\r");  // something follows it within the line
    held_cr_ = bytes.back() == '\r';
    if (held_cr_) bytes.remove_suffix(1);
    add(bytes);
    if (long_) break_long(out, soft_line, false);
}

void QuotedPrintableWriter::add(std::string_view bytes)
{
    line_.append(bytes);
    width_ += quoted_width(bytes);
    long_ = long_ || width_ > max_wire_line;
}

void QuotedPrintableWriter::end_line(std::string& out, std::string_view line_end)
{
    if (long_)
        break_long(out, 0, true);
    else
        append_quoted_printable(out, line_);
    out += line_end;
    line_.clear();
    width_ = 0;
    long_ = false;
}

void QuotedPrintableWriter::break_long(std::string& out, std::size_t keep, bool last)
{
    const std::string_view rest = line_;
    const bool blank_at_end = last && !rest.empty() && (rest.back() == ' ' || rest.back() == '\t');
    std::size_t width = width_ + (blank_at_end ? 2 : 0);
    const std::size_t limit = last ? soft_line : keep;
    std::size_t at = 0;
    // A cut takes at most 75 characters of more than 76, so something of the line is
    // always left after it: a complete line never ends in an empty one.
    while (width > limit) {
        std::size_t taken = 0;
        while (at < rest.size()) {
            const bool escaped = needs_quoting(rest[at]) || (blank_at_end && at + 1 == rest.size());
            const std::size_t w = escaped ? 3 : 1;
            if (taken + w > soft_line - 1) break;
            if (escaped) append_escape(out, rest[at]);
            else out += rest[at];
            taken += w;
            ++at;
        }
        out += "=\r\n";
        width -= taken;
    }
    if (last) {
        const std::size_t end = rest.size() - (blank_at_end ? 1 : 0);
        append_quoted_printable(out, rest.substr(at, end - at));
        if (blank_at_end) append_escape(out, rest.back());
        line_.clear();
        width_ = 0;
        return;
    }
    line_.erase(0, at);
    width_ = width;
}

void append_quoted_printable_lines(StringList& lines, std::string_view line)
{
    if (quoted_width(line) <= max_wire_line) {
        lines.push_back(encode_quoted_printable(line));
        return;
    }
    QuotedPrintableWriter writer;
    std::string encoded;
    writer.append(encoded, line);
    writer.finish(encoded);
    std::string_view rest = encoded;
    for (std::size_t end = rest.find("\r\n"); end != std::string_view::npos; end = rest.find("\r\n")) {
        lines.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end + 2);
    }
    lines.emplace_back(rest);
}

std::string decode_line(t_line_coding mode, std::string_view line)
{
    std::string bytes;
    if (mode == lc_uuencode) {
        bytes.resize(63);
        bytes.resize(decode_uu_line(line, bytes.data()));
    } else if (is_base64_mode(mode)) {
        bytes.resize(base64_line_count(line));
        bytes.resize(decode_base64_line(line, bytes.data()));
    }
    return bytes;
}

StringList encode_base64(MemoryStream& stream)
{
    constexpr std::size_t group_bytes = 45;  // 60 characters a line
    StringList lines;
    lines.reserve(stream.size() / group_bytes + 1);
    stream.set_position(0);
    std::array<char, group_bytes> buffer;
    while (const std::size_t got = stream.read(buffer.data(), buffer.size()))
        lines.push_back(encode_line(lc_base64, buffer.data(), got));
    return lines;
}

MemoryStream decode_base64(const StringList& lines)
{
    // One allocation for the whole stream: no line gives more than its count.
    std::size_t room = 0;
    for (const auto& line : lines) room += line.size() * 3 / 4;
    std::string bytes(room, '\0');
    char* out = bytes.data();
    for (const auto& line : lines) out += decode_base64_line(line, out);
    bytes.resize(static_cast<std::size_t>(out - bytes.data()));

    MemoryStream stream(std::move(bytes));
    stream.set_position(stream.size());
    return stream;
}

void append_base64_line(std::string& bytes, std::string_view line)
{
    const std::size_t had = bytes.size();
    bytes.resize(had + base64_line_count(line));
    bytes.resize(had + decode_base64_line(line, bytes.data() + had));
}

void Base64Decoder::append(std::string& bytes, std::string_view line)
{
    if (ended_) return;
    // The usual line: whole groups of alphabet characters, padding only at its end.
    if (held_ == 0 && line.size() % 4 == 0) {
        std::size_t groups = line.size() / 4;
        if (groups > 0 && line.back() == '=') --groups;  // the padded group goes the slow way
        const std::size_t had = bytes.size();
        bytes.resize(had + groups * 3);
        const auto* in = reinterpret_cast<const unsigned char*>(line.data());
        char* o = bytes.data() + had;
        std::uint32_t seen = 0;
        for (std::size_t g = 0; g < groups; ++g, in += 4, o += 3) {
            const std::uint32_t w =
                group_first[in[0]] | group_second[in[1]] | group_third[in[2]] | group_fourth[in[3]];
            seen |= w;
            o[0] = static_cast<char>(w >> 16);
            o[1] = static_cast<char>(w >> 8);
            o[2] = static_cast<char>(w);
        }
        if ((seen & group_marker) == 0) {
            append_slowly(bytes, line.substr(groups * 4));
            return;
        }
        bytes.resize(had);
    }
    append_slowly(bytes, line);
}

void Base64Decoder::append_slowly(std::string& bytes, std::string_view chars)
{
    for (const char c : chars) {
        const std::uint32_t v = base64_values[static_cast<unsigned char>(c)];
        if (v == skip_marker) continue;
        if (v == end_marker) {
            finish(bytes);
            ended_ = true;
            return;
        }
        bits_ = bits_ << 6 | v;
        if (++held_ == 4) {
            bytes += static_cast<char>(bits_ >> 16);
            bytes += static_cast<char>(bits_ >> 8);
            bytes += static_cast<char>(bits_);
            bits_ = 0;
            held_ = 0;
        }
    }
}

void Base64Decoder::finish(std::string& bytes)
{
    // Two characters hold one byte, three hold two; the bits beyond are filler.
    if (held_ >= 2) bytes += static_cast<char>(bits_ >> (6 * held_ - 8));
    if (held_ == 3) bytes += static_cast<char>(bits_ >> 2);
    bits_ = 0;
    held_ = 0;
    ended_ = false;
}

std::string encode_quoted_printable(std::string_view line)
{
    std::size_t quoted = 0;
    for (const char c : line) quoted += needs_quoting(c);
    std::string encoded(line.size() + 2 * quoted, '\0');
    char* out = encoded.data();
    for (const char c : line) {
        if (needs_quoting(c)) {
            const auto byte = static_cast<unsigned char>(c);
            *out++ = '=';
            *out++ = hex_digits[byte >> 4];
            *out++ = hex_digits[byte & 15];
        } else {
            *out++ = c;
        }
    }
    return encoded;
}

std::string decode_quoted_printable(std::string_view line)
{
    std::string decoded(line.size(), '\0');
    char* out = decoded.data();
    for (std::size_t i = 0; i < line.size(); ++i) {
        const bool escape = line[i] == '=' && i + 2 < line.size();
        const int high = escape ? hex_digit(line[i + 1]) : -1;
        const int low = high >= 0 ? hex_digit(line[i + 2]) : -1;
        if (low >= 0) {
            *out++ = static_cast<char>(high << 4 | low);
            i += 2;
        } else {
            // Not an escape (a soft line break included): the "=" stays as it is and the
            // characters after it are read in the ordinary way.
            *out++ = line[i];
        }
    }
    decoded.resize(static_cast<std::size_t>(out - decoded.data()));
    return decoded;
}

}  // namespace zanpost
