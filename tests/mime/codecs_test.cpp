#include "mime/codecs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace zanpost {
namespace {

using namespace std::string_literals;

std::string encode(t_line_coding mode, std::string_view bytes)
{
    return encode_line(mode, bytes.data(), bytes.size());
}

std::string random_bytes(std::mt19937& rng, std::size_t length)
{
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(length, '\0');
    for (auto& b : bytes) b = static_cast<char>(byte(rng));
    return bytes;
}

// The decoding rules written out the slow, obvious way, to check the table-driven decoder
// against: values as a string of bits, the byte count from the line's length.
std::string reference_decode(t_line_coding mode, std::string_view line)
{
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t count = 0;
    std::vector<int> values;
    if (mode == lc_uuencode) {
        if (line.empty()) return {};
        const auto first = static_cast<unsigned char>(line[0]);
        if (first > 0x4D && first != 0x60) return {};
        if (first < 0x20) return {};
        count = (first - 32) % 64;
        for (const char c : line.substr(1)) {
            const auto code = static_cast<unsigned char>(c);
            if (code >= 0x20 && code <= 0x60) values.push_back((code - 32) % 64);
        }
    } else {
        std::size_t last = line.size();
        while (last > 0 && line[last - 1] == '=') --last;
        count = last * 3 / 4;
        for (const char c : line) {
            if (c == '=') break;
            const std::size_t v = alphabet.find(c);
            if (v != std::string_view::npos) values.push_back(static_cast<int>(v));
        }
    }
    std::string bits;
    for (const int v : values)
        for (int bit = 5; bit >= 0; --bit) bits += ((v >> bit) & 1) ? '1' : '0';
    const std::size_t length = std::min(count, (bits.size() + 7) / 8);
    bits.resize(length * 8, '0');
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i)
        bytes += static_cast<char>(std::stoi(bits.substr(i * 8, 8), nullptr, 2));
    return bytes;
}

// A line of mostly valid characters with "=", blanks, control and high bytes mixed in.
std::string random_line(std::mt19937& rng, std::string_view valid)
{
    constexpr std::string_view odd = "= \t\r\x80\xC8\xFF[`~|^\\_!";
    std::uniform_int_distribution<std::size_t> length(0, 80), pick(0, 1000);
    std::string line(length(rng), '\0');
    for (auto& c : line) {
        const std::size_t p = pick(rng);
        c = p < 30 ? odd[p % odd.size()] : valid[p % valid.size()];
    }
    return line;
}

TEST(EncodeLine, Base64)
{
    EXPECT_EQ(encode(lc_base64, "ABC"), "QUJD");
    EXPECT_EQ(encode(lc_base64, "AB"), "QUI=");
    EXPECT_EQ(encode(lc_base64, "A"), "QQ==");
    EXPECT_EQ(encode(lc_base64, ""), "");
    EXPECT_EQ(encode(lc_base64, "foobar"), "Zm9vYmFy");
    EXPECT_EQ(encode(lc_base64, "\xFB\xEF\xBE\xFF"s), "++++/w==");
    EXPECT_EQ(encode(lc_base64, "\0\0\0"s), "AAAA");
    const std::string line = encode(lc_base64, std::string(45, 'x'));
    EXPECT_EQ(line.size(), 60u);
    EXPECT_EQ(line.find('='), std::string::npos);
}

TEST(EncodeLine, Uuencode)
{
    EXPECT_EQ(encode(lc_uuencode, "ABC"), "#04)#");
    EXPECT_EQ(encode(lc_uuencode, "\0\0\0"s), "#````");
    EXPECT_EQ(encode(lc_uuencode, ""), "`");
    // No padding: the last group is completed with filler bytes instead.
    const std::string one = encode(lc_uuencode, "A");
    EXPECT_EQ(one.size(), 5u);
    EXPECT_EQ(one.substr(0, 3), "!00");
    const std::string full = encode(lc_uuencode, std::string(45, '\x7F'));
    EXPECT_EQ(full.size(), 61u);
    EXPECT_EQ(full[0], 'M');
    EXPECT_EQ(full.find(' '), std::string::npos);  // 0 is never written as a blank
}

TEST(EncodeLine, UuencodeLengthCharacterWrapsAfter64)
{
    EXPECT_EQ(encode(lc_uuencode, std::string(64, 'a'))[0], '`');
    EXPECT_EQ(encode(lc_uuencode, std::string(65, 'a'))[0], '!');
    const std::string longest = encode(lc_uuencode, std::string(189, 'a'));
    EXPECT_EQ(longest[0], ']');
    EXPECT_EQ(longest.size(), 1u + 252u);
    EXPECT_EQ(encode(lc_base64, std::string(189, 'a')).size(), 252u);
}

TEST(EncodeLine, AliasModeIsBase64AndUnknownModeGivesNothing)
{
    std::mt19937 rng(7);
    for (std::size_t n : {0u, 1u, 2u, 3u, 44u, 45u}) {
        const std::string bytes = random_bytes(rng, n);
        EXPECT_EQ(encode(lc_base64_alias, bytes), encode(lc_base64, bytes)) << n;
    }
    EXPECT_EQ(encode(static_cast<t_line_coding>(3), "ABC"), "");
}

TEST(DecodeLine, Base64)
{
    EXPECT_EQ(decode_line(lc_base64, "QUJD"), "ABC");
    EXPECT_EQ(decode_line(lc_base64, "QUI="), "AB");
    EXPECT_EQ(decode_line(lc_base64, "QQ=="), "A");
    EXPECT_EQ(decode_line(lc_base64, "QUJDRA"), "ABCD");
    EXPECT_EQ(decode_line(lc_base64, "QUJ"), "AB");
    EXPECT_EQ(decode_line(lc_base64, "Q"), "");
    EXPECT_EQ(decode_line(lc_base64, "===="), "");
    EXPECT_EQ(decode_line(lc_base64, ""), "");
    EXPECT_EQ(decode_line(lc_base64, "++++/w=="), "\xFB\xEF\xBE\xFF"s);
    EXPECT_EQ(decode_line(lc_base64, "AAAA"), "\0\0\0"s);
}

TEST(DecodeLine, Base64SkippedCharactersCountButValuesLimit)
{
    EXPECT_EQ(decode_line(lc_base64, "QU JD"), "ABC");
    EXPECT_EQ(decode_line(lc_base64, "Q[U]J^D"), "ABC");
    // Three characters promise two bytes; the two values fill the second one in part.
    EXPECT_EQ(decode_line(lc_base64, "Q U"), "A@");
    EXPECT_EQ(decode_line(lc_base64, "  QUJD"), "ABC");
}

TEST(DecodeLine, Base64FirstEndMarkerEndsTheValues)
{
    EXPECT_EQ(decode_line(lc_base64, "QUJD=QUJD"), "ABC");
    EXPECT_EQ(decode_line(lc_base64, "QQ==QUJD"), "A\0"s);
    EXPECT_EQ(decode_line(lc_base64, "=QUJD"), "");
}

TEST(DecodeLine, Base64PassesOverCharactersOutsideTheTable)
{
    EXPECT_EQ(decode_line(lc_base64, "QU\tJD"), "ABC");
    EXPECT_EQ(decode_line(lc_base64, "QUJD\r"), "ABC");
    EXPECT_EQ(decode_line(lc_base64, "Q\xC8UJ\x80\xFF" "D"), "ABC");
    EXPECT_EQ(decode_line(lc_base64, "\x01QUJD{}"), "ABC");
}

TEST(DecodeLine, Uuencode)
{
    EXPECT_EQ(decode_line(lc_uuencode, "#04)#"), "ABC");
    EXPECT_EQ(decode_line(lc_uuencode, "#````"), "\0\0\0"s);
    EXPECT_EQ(decode_line(lc_uuencode, "#    "), "\0\0\0"s);  // a blank decodes like the accent
    EXPECT_EQ(decode_line(lc_uuencode, "`"), "");
    EXPECT_EQ(decode_line(lc_uuencode, " 04)#"), "");
    EXPECT_EQ(decode_line(lc_uuencode, ""), "");
    EXPECT_EQ(decode_line(lc_uuencode, "!00``"), "A");  // the filler bytes are dropped
}

TEST(DecodeLine, UuencodeRejectsLengthCharactersPastM)
{
    EXPECT_EQ(decode_line(lc_uuencode, "N04)#04)#04)#04)#04)#"), "");
    EXPECT_EQ(decode_line(lc_uuencode, "a04)#"), "");
    EXPECT_EQ(decode_line(lc_uuencode, "\x1F" "04)#"), "");
    EXPECT_EQ(decode_line(lc_uuencode, "M" + std::string(60, '0')).size(), 45u);
}

TEST(DecodeLine, UuencodeShortLineGivesOnlyWhatItsCharactersFill)
{
    EXPECT_EQ(decode_line(lc_uuencode, "M04)#"), "ABC");
    EXPECT_EQ(decode_line(lc_uuencode, "$04)#"), "ABC");
    EXPECT_EQ(decode_line(lc_uuencode, "#04"), "A@");  // two values: one byte and a part
    EXPECT_EQ(decode_line(lc_uuencode, "M"), "");
}

TEST(DecodeLine, AliasModeIsBase64AndUnknownModeGivesNothing)
{
    for (const char* line : {"QUJD", "QUI=", "QU JD", "QQ==QUJD", "Q U", ""})
        EXPECT_EQ(decode_line(lc_base64_alias, line), decode_line(lc_base64, line)) << line;
    EXPECT_EQ(decode_line(static_cast<t_line_coding>(3), "QUJD"), "");
    EXPECT_EQ(decode_line(static_cast<t_line_coding>(255), "#04)#"), "");
}

TEST(DecodeLine, AgreesWithTheRulesOnRandomLines)
{
    std::mt19937 rng(20261206);
    const std::string base64_chars =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string uu_chars;
    for (int c = 0x20; c <= 0x60; ++c) uu_chars += static_cast<char>(c);
    for (int i = 0; i < 3000; ++i) {
        const std::string b = random_line(rng, base64_chars);
        ASSERT_EQ(decode_line(lc_base64, b), reference_decode(lc_base64, b)) << b;
        // The whole-list decoder takes its own fast route through ordinary lines.
        ASSERT_EQ(decode_base64({b}).bytes(), reference_decode(lc_base64, b)) << b;
        std::string appended = "kept";
        append_base64_line(appended, b);
        ASSERT_EQ(appended, "kept" + reference_decode(lc_base64, b)) << b;
        const std::string u = random_line(rng, uu_chars);
        ASSERT_EQ(decode_line(lc_uuencode, u), reference_decode(lc_uuencode, u)) << u;
    }
}

TEST(LineCodec, RoundTripsEveryCount)
{
    std::mt19937 rng(45);
    std::string reused(300, 'x');  // storage that held a longer line before
    for (std::size_t n = 0; n <= 189; ++n) {
        const std::string bytes = random_bytes(rng, n);
        EXPECT_EQ(decode_line(lc_base64, encode(lc_base64, bytes)), bytes) << n;
        encode_base64_line(reused, bytes.data(), n);
        EXPECT_EQ(reused, encode(lc_base64, bytes)) << n;
        if (n <= 45) {  // longer lines need a length character past "M"
            EXPECT_EQ(decode_line(lc_uuencode, encode(lc_uuencode, bytes)), bytes) << n;
        }
    }
}

TEST(EncodeBase64, EmptyStreamGivesNoLines)
{
    MemoryStream stream;
    EXPECT_TRUE(encode_base64(stream).empty());
}

TEST(EncodeBase64, SixtyCharacterLinesAndAShortLast)
{
    std::mt19937 rng(46);
    for (std::size_t n : {1u, 44u, 45u, 46u, 89u, 90u, 91u, 1000u}) {
        MemoryStream stream(random_bytes(rng, n));
        const StringList lines = encode_base64(stream);
        ASSERT_EQ(lines.size(), (n + 44) / 45) << n;
        for (std::size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].size(), 60u) << n;
        EXPECT_EQ(lines.back().size(), 4 * ((n - 45 * (lines.size() - 1) + 2) / 3)) << n;
        EXPECT_EQ(stream.position(), n);
    }
    MemoryStream stream(std::string(46, 'A'));
    const StringList lines = encode_base64(stream);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "QQ==");
}

TEST(EncodeBase64, StartsFromTheBeginningWhateverThePosition)
{
    MemoryStream stream("Hello, world"s);
    const StringList from_start = encode_base64(stream);
    stream.set_position(5);
    EXPECT_EQ(encode_base64(stream), from_start);
    EXPECT_EQ(encode_base64(stream), (StringList{"SGVsbG8sIHdvcmxk"}));
    EXPECT_EQ(stream.position(), stream.size());
}

TEST(DecodeBase64, EachLineByItself)
{
    MemoryStream twice = decode_base64({"QQ==", "QQ=="});
    EXPECT_EQ(twice.bytes(), "AA");
    EXPECT_EQ(twice.position(), 2u);
    // An incomplete group is not completed from the next line.
    EXPECT_EQ(decode_base64({"QUJ", "D"}).bytes(), "AB");
    EXPECT_EQ(decode_base64({"QU", "JD"}).bytes(), "A$");
    EXPECT_EQ(decode_base64({}).size(), 0u);
    EXPECT_EQ(decode_base64({"", "====", "QUJD"}).bytes(), "ABC");
}

TEST(DecodeBase64, SameBytesAsLineByLineDecoding)
{
    const StringList lines = {"QUJD", "QU JD", "Q U", "QQ==QUJD", "Zm9v\tYmFy", "\xFFQUJD", "QUJDRA"};
    std::string expected;
    for (const auto& line : lines) expected += decode_line(lc_base64, line);
    EXPECT_EQ(decode_base64(lines).bytes(), expected);
}

TEST(Base64Stream, RoundTripsRandomBytesOfManyLengths)
{
    std::mt19937 rng(2026);
    std::vector<std::size_t> lengths = {0, 1, 2, 3, 44, 45, 46, 89, 90, 91, 134, 135, 136, 4096};
    std::uniform_int_distribution<std::size_t> any(0, 5000);
    for (int i = 0; i < 30; ++i) lengths.push_back(any(rng));
    for (const std::size_t n : lengths) {
        const std::string bytes = random_bytes(rng, n);
        MemoryStream stream(bytes);
        const MemoryStream back = decode_base64(encode_base64(stream));
        ASSERT_EQ(back.bytes(), bytes) << n;
        EXPECT_EQ(back.position(), n);
    }
}

TEST(Base64Decoder, WellFormedLinesGiveTheBytesOfLineByLineDecoding)
{
    std::mt19937 rng(13);
    for (const std::size_t n : {0u, 1u, 2u, 3u, 45u, 46u, 47u, 1000u}) {
        MemoryStream stream(random_bytes(rng, n));
        const StringList lines = encode_base64(stream);
        std::string line_by_line, streamed;
        Base64Decoder decoder;
        for (const auto& line : lines) {
            append_base64_line(line_by_line, line);
            decoder.append(streamed, line);
        }
        decoder.finish(streamed);
        ASSERT_EQ(streamed, line_by_line) << n;
        ASSERT_EQ(streamed, stream.bytes()) << n;
    }
}

TEST(Base64Decoder, GroupsSpanLinesCutAnywhere)
{
    std::mt19937 rng(77);
    const std::string bytes = random_bytes(rng, 200);
    MemoryStream stream(bytes);
    std::string text;
    for (const auto& line : encode_base64(stream)) text += line;
    // Cut in two at every place, with junk around the cut: one stream all the same.
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        std::string out;
        Base64Decoder decoder;
        decoder.append(out, text.substr(0, cut) + " \t");
        decoder.append(out, "!" + text.substr(cut));
        decoder.finish(out);
        ASSERT_EQ(out, bytes) << cut;
    }
}

TEST(Base64Decoder, PaddingEndsTheDataUntilFinished)
{
    std::string out;
    Base64Decoder decoder;
    decoder.append(out, "QUI=QUJD");
    EXPECT_TRUE(decoder.ended());
    decoder.append(out, "QUJD");
    decoder.finish(out);
    EXPECT_EQ(out, "AB");
    // Finished, it reads a new stream.
    EXPECT_FALSE(decoder.ended());
    decoder.append(out, "QQ");
    decoder.finish(out);
    EXPECT_EQ(out, "ABA");
}

TEST(QuotedPrintable, EncodesOnlyEqualsAndHighBytes)
{
    EXPECT_EQ(encode_quoted_printable("a=b"), "a=3Db");
    EXPECT_EQ(encode_quoted_printable("\xE9"), "=E9");
    EXPECT_EQ(encode_quoted_printable("x y "), "x y ");
    EXPECT_EQ(encode_quoted_printable("\t\r\x01?_"), "\t\r\x01?_");
    EXPECT_EQ(encode_quoted_printable("P\xF8\xEDloha \x9A" "ek"), "P=F8=EDloha =9Aek");
    EXPECT_EQ(encode_quoted_printable(""), "");
    EXPECT_EQ(encode_quoted_printable(std::string(200, '=')).size(), 600u);  // no soft breaks
    for (int b = 0; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b));
        const std::string encoded = encode_quoted_printable(one);
        if (b == '=' || b >= 0x80)
            EXPECT_EQ(encoded.size(), 3u) << b;
        else
            EXPECT_EQ(encoded, one) << b;
    }
}

TEST(QuotedPrintable, DecodesEscapesAndKeepsEverythingElse)
{
    EXPECT_EQ(decode_quoted_printable("a=3Db"), "a=b");
    EXPECT_EQ(decode_quoted_printable("=e9"), "\xE9");
    EXPECT_EQ(decode_quoted_printable("=E9=e9"), "\xE9\xE9");
    EXPECT_EQ(decode_quoted_printable("=00"), "\0"s);
    EXPECT_EQ(decode_quoted_printable("=G1"), "=G1");
    EXPECT_EQ(decode_quoted_printable("abc="), "abc=");
    EXPECT_EQ(decode_quoted_printable("=4"), "=4");
    EXPECT_EQ(decode_quoted_printable("= 1"), "= 1");
    EXPECT_EQ(decode_quoted_printable("=1G"), "=1G");
    EXPECT_EQ(decode_quoted_printable("==41"), "=A");  // the walk resumes right after a literal "="
    EXPECT_EQ(decode_quoted_printable(""), "");
}

TEST(QuotedPrintable, RoundTripsRandomLines)
{
    std::mt19937 rng(1250);
    for (const std::size_t n : {0u, 1u, 2u, 3u, 44u, 45u, 46u, 89u, 90u, 91u, 1000u}) {
        const std::string bytes = random_bytes(rng, n);
        EXPECT_EQ(decode_quoted_printable(encode_quoted_printable(bytes)), bytes) << n;
    }
}

// The text a QuotedPrintableWriter writes when it gets `text` in blocks of `size` bytes.
std::string written(std::string_view text, std::size_t size)
{
    QuotedPrintableWriter writer;
    std::string out;
    for (std::size_t at = 0; at < text.size(); at += size) writer.append(out, text.substr(at, size));
    writer.finish(out);
    return out;
}

TEST(QuotedPrintableWriter, OnlyLinesTooLongForTheWireAreBrokenAndTheyReadBackWhole)
{
    std::mt19937 rng(998);
    std::string random_line = random_bytes(rng, 7800);
    std::replace(random_line.begin(), random_line.end(), '\n', 'n');
    const std::string cases[] = {
        "Dobr\xFD den, a=b  ",
        std::string(332, '\xE8') + "ab",  // 998 characters once encoded
        std::string(999, 'x'),
        std::string(333, '='),
        std::string(1049, 'a') + " ",  // the blank falls where the last cut would
        std::string(2000, 'y') + "\t",
        random_line,  // CRs inside it too
    };
    for (const std::string& line : cases) {
        SCOPED_TRACE(line.substr(0, 20));
        const std::string text = line + "\r\nnext\r\n";
        const std::string whole = written(text, text.size());
        for (const std::size_t size : {1u, 2u, 3u, 76u, 997u, 4096u}) EXPECT_EQ(written(text, size), whole) << size;
        if (encode_quoted_printable(line).size() <= max_wire_line) {
            // As it always went: other installations decode one line at a time.
            EXPECT_EQ(whole, encode_quoted_printable(line) + "\r\nnext\r\n");
            continue;
        }
        // What a reader of RFC 2045 makes of it: trailing blanks dropped as transport
        // padding, soft line breaks joined, escapes decoded.
        std::vector<std::string> read{""};
        for (std::size_t at = 0, end = 0; at < whole.size(); at = end + 2) {
            end = whole.find("\r\n", at);
            std::string wire = whole.substr(at, end - at);
            EXPECT_LE(wire.size(), 76u);
            EXPECT_TRUE(std::regex_match(wire, std::regex("([^=]|=[0-9A-F]{2})*=?"))) << "an escape cut: " << wire;
            while (wire.ends_with(' ') || wire.ends_with('\t')) wire.pop_back();
            const bool soft = wire.ends_with('=');
            read.back() += decode_quoted_printable(std::string_view(wire).substr(0, wire.size() - soft));
            if (!soft) read.emplace_back();
        }
        EXPECT_EQ(read, (std::vector<std::string>{line, "next", ""}));
    }
    // A line the text leaves unfinished is written without a line end.
    EXPECT_TRUE(written(std::string(1000, 'z'), 7).ends_with("=\r\n" + std::string(25, 'z')));
}

}  // namespace
}  // namespace zanpost
