#include "mime/header_text.h"

#include "mime/codecs.h"
#include "mime/mime.h"
#include "platform/charset.h"
#include "rtl/ascii.h"
#include "rtl/hex.h"

#include <algorithm>
#include <map>
#include <optional>

namespace zanpost {

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// "%XX" as its byte; a "%" without two hexadecimal digits stays.
std::string percent_decoded(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
        const int low = high >= 0 ? hex_digit(text[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high << 4 | low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The bytes of an encoded word's text; nothing for an encoding other than Q or B.
std::optional<std::string> word_bytes(char encoding, std::string_view text)
{
    std::string bytes;
    if (encoding == 'B' || encoding == 'b') {
        Base64Decoder decoder;
        decoder.append(bytes, text);
        decoder.finish(bytes);
        return bytes;
    }
    if (encoding != 'Q' && encoding != 'q') return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '=' && i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
        const int low = high >= 0 ? hex_digit(text[i + 2]) : -1;
        if (low >= 0) {
            bytes += static_cast<char>(high << 4 | low);
            i += 2;
        } else {
            bytes += text[i] == '_' ? ' ' : text[i];
        }
    }
    return bytes;
}

struct EncodedWord {
    std::string charset;  // without an RFC 2231 language
    std::string bytes;
    std::size_t length = 0;  // of "=?...?=" in the text
};

// Finds the encoded words of one header text. Where the next "?=" and the next blank or
// "?" stand is looked up once and reused while the scan moves forward: a text of many "=?"
// that never close then costs time in proportion to its length, not to its square.
class EncodedWords {
public:
    explicit EncodedWords(std::string_view text) : text_(text) {}

    // The encoded word that starts at `i`, if one stands there.
    std::optional<EncodedWord> at(std::size_t i)
    {
        const std::string_view text = text_.substr(i);
        if (!text.starts_with("=?")) return std::nullopt;
        // Charset names are short; a bounded search keeps a run of "=?" cheap.
        const std::size_t charset_end = text.substr(0, max_charset + 2).find('?', 2);
        if (charset_end == std::string_view::npos || charset_end + 2 >= text.size() || text[charset_end + 2] != '?')
            return std::nullopt;
        const std::size_t text_start = i + charset_end + 3;
        const std::size_t end = next(close_, text_start, [this](std::size_t from) { return text_.find("?=", from); });
        if (end == std::string_view::npos) return std::nullopt;
        // No blank and no "?" inside the encoded text; the "?" of "?=" is the first allowed.
        const std::size_t stop =
            next(stop_, text_start, [this](std::size_t from) { return text_.find_first_of(" \t?", from); });
        if (stop < end) return std::nullopt;
        std::string_view charset = text.substr(2, charset_end - 2);
        charset = charset.substr(0, charset.find('*'));
        if (charset.empty()) return std::nullopt;
        auto bytes = word_bytes(text[charset_end + 1], text_.substr(text_start, end - text_start));
        if (!bytes) return std::nullopt;
        return EncodedWord{std::string(charset), std::move(*bytes), end + 2 - i};
    }

private:
    static constexpr std::size_t max_charset = 64;

    struct Found {
        bool known = false;
        std::size_t position = 0;
    };

    // The first match at or after `from`; a match found for an earlier start still holds
    // while it does not lie before `from` (and "none" holds for good).
    template <typename Find>
    static std::size_t next(Found& found, std::size_t from, Find find)
    {
        if (!found.known || (found.position != std::string_view::npos && found.position < from)) {
            found.position = find(from);
            found.known = true;
        }
        return found.position;
    }

    std::string_view text_;
    Found close_;
    Found stop_;
};

// Folding: a line break before a blank or TAB is removed, the blank stays.
std::string unfolded(std::string_view value)
{
    if (value.find('\n') == std::string_view::npos) return std::string(value);
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::size_t after = value.substr(i, 2) == "\r\n" ? i + 2 : value[i] == '\n' ? i + 1 : i;
        if (after != i && after < value.size() && is_blank(value[after])) {
            i = after - 1;
            continue;
        }
        out += value[i];
    }
    return out;
}

// An RFC 2231 value "charset'language'%XX..." as CP1250.
std::string extended_value(std::string_view value)
{
    const std::size_t first = value.find('\'');
    const std::size_t second = first == std::string_view::npos ? first : value.find('\'', first + 1);
    if (second == std::string_view::npos) return percent_decoded(value);
    return text_to_cp1250(percent_decoded(value.substr(second + 1)), value.substr(0, first));
}

}  // namespace

std::string text_to_cp1250(std::string_view bytes, std::string_view charset)
{
    const std::string name = ascii_lower(charset);
    if (name.empty() || name == "us-ascii" || name == "windows-1250" || name == "cp1250") return std::string(bytes);
    auto converted = platform::convert_to_cp1250(bytes, name);
    return converted ? std::move(*converted) : std::string(bytes);
}

std::string decode_header_text(std::string_view value)
{
    const std::string text = unfolded(value);
    std::string out;
    out.reserve(text.size());
    // Consecutive encoded words of one charset are converted together: a character may be
    // split between two of them.
    std::string run_bytes, run_charset;
    auto flush = [&] {
        if (!run_bytes.empty()) out += text_to_cp1250(run_bytes, run_charset);
        run_bytes.clear();
    };

    EncodedWords words(text);
    std::size_t i = 0;
    while (i < text.size()) {
        if (auto word = words.at(i)) {
            if (ascii_lower(word->charset) != ascii_lower(run_charset)) flush();
            run_charset = word->charset;
            run_bytes += word->bytes;
            i += word->length;
            // Blanks between two encoded words are not part of the text.
            std::size_t j = i;
            while (j < text.size() && is_blank(text[j])) ++j;
            if (j > i && j < text.size() && words.at(j)) i = j;
            continue;
        }
        flush();
        run_charset.clear();
        // Plain text up to the next opening goes over as it is, in one piece.
        const std::size_t next = std::min(text.find("=?", i + 1), text.size());
        out.append(text, i, next - i);
        i = next;
    }
    flush();
    return out;
}

std::string decoded_parameter(std::string_view value, std::string_view name)
{
    const std::string wanted = ascii_lower(name);
    std::optional<std::string> plain, extended;
    std::map<int, std::pair<std::string, bool>> sections;  // number: value, encoded
    for (auto& [key, text] : header_parameters(value)) {
        if (key == wanted) {
            if (!plain) plain = std::move(text);
        } else if (key == wanted + "*") {
            if (!extended) extended = std::move(text);
        } else if (key.starts_with(wanted + "*")) {
            std::string_view number = std::string_view(key).substr(wanted.size() + 1);
            const bool encoded = number.ends_with('*');
            if (encoded) number.remove_suffix(1);
            if (number.empty() || number.size() > 3 || number.find_first_not_of("0123456789") != std::string_view::npos)
                continue;
            sections.try_emplace(std::stoi(std::string(number)), std::move(text), encoded);
        }
    }
    if (extended) return extended_value(*extended);
    if (sections.contains(0)) {
        // The sections in order up to the first missing number; the charset is named in
        // the first one, the others are bare.
        std::string charset, bytes;
        int next = 0;
        for (const auto& [number, section] : sections) {
            if (number != next++) break;
            std::string_view text = section.first;
            if (number == 0 && section.second) {
                const std::size_t first = text.find('\'');
                const std::size_t second = first == std::string_view::npos ? first : text.find('\'', first + 1);
                if (second != std::string_view::npos) {
                    charset = std::string(text.substr(0, first));
                    text = text.substr(second + 1);
                }
            }
            bytes += section.second ? percent_decoded(text) : std::string(text);
        }
        return text_to_cp1250(bytes, charset);
    }
    return plain ? decode_header_text(*plain) : std::string();
}

std::string part_file_name(std::string_view disposition, std::string_view content_type)
{
    std::string name = decoded_parameter(disposition, "filename");
    if (name.empty()) name = decoded_parameter(content_type, "name");
    return name;
}

}  // namespace zanpost
