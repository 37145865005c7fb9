// PEM is read by hand on both backends: neither library finds "the first key block" or
// "the first certificate" of a mixed file the way a user's key file needs, and the same
// rules should hold on both.

#include "platform/pem.h"

#include "platform/crypto.h"

namespace zanpost::platform {

namespace pem {

namespace {

constexpr std::string_view begin_mark = "-----BEGIN ";
constexpr std::string_view dashes = "-----";

// Position just after the line that begins at or after `from`; size() when it is the last.
std::size_t next_line(std::string_view text, std::size_t from)
{
    const std::size_t end = text.find('\n', from);
    return end == std::string_view::npos ? text.size() : end + 1;
}

int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::vector<Block> blocks(std::string_view text)
{
    std::vector<Block> found;
    std::size_t at = 0;
    for (;;) {
        const std::size_t begin = text.find(begin_mark, at);
        if (begin == std::string_view::npos) break;
        const std::size_t label_start = begin + begin_mark.size();
        const std::size_t label_end = text.find(dashes, label_start);
        if (label_end == std::string_view::npos) break;
        const std::string_view label = text.substr(label_start, label_end - label_start);
        if (label.find('\n') != std::string_view::npos) {
            at = label_start;
            continue;
        }
        const std::size_t body_start = next_line(text, label_end);
        const std::string end_line = "-----END " + std::string(label) + "-----";
        const std::size_t end = text.find(end_line, body_start);
        if (end == std::string_view::npos) {
            at = body_start;
            continue;
        }
        std::string_view inner = text.substr(body_start, end - body_start);
        // Headers (RFC 1421, as OpenSSL writes for an encrypted PKCS#1 key) end at a blank line.
        std::string_view headers;
        const std::size_t first_break = inner.find('\n');
        if (inner.substr(0, first_break).find(':') != std::string_view::npos) {
            std::size_t blank = inner.find("\n\n");
            std::size_t skip = 2;
            if (const std::size_t crlf = inner.find("\n\r\n"); crlf < blank) {
                blank = crlf;
                skip = 3;
            }
            if (blank != std::string_view::npos) {
                headers = inner.substr(0, blank + 1);
                inner.remove_prefix(blank + skip);
            } else {
                headers = inner;
                inner = {};
            }
        }
        at = end + end_line.size();
        found.push_back(Block{label, headers, inner, text.substr(begin, at - begin)});
    }
    return found;
}

std::optional<std::string> decode_base64(std::string_view body)
{
    std::string bytes;
    bytes.reserve(body.size() / 4 * 3);
    unsigned bits = 0;
    int held = 0;
    std::size_t data_chars = 0;
    std::size_t padding = 0;
    for (const char c : body) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int value = base64_value(c);
        if (value < 0 || padding > 0) return std::nullopt;  // a stranger, or data after the padding
        ++data_chars;
        bits = (bits << 6) | unsigned(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes.push_back(char((bits >> held) & 0xFF));
        }
    }
    // Whole groups of four only: 2 or 3 characters in the last group need 2 or 1 "=".
    const std::size_t last_group = data_chars % 4;
    if (last_group == 1 || padding != (last_group == 0 ? 0 : 4 - last_group)) return std::nullopt;
    if ((bits & ((1u << held) - 1)) != 0) return std::nullopt;  // stray bits in the last character
    return bytes;
}

KeyBlock rsa_key_block(std::string_view text)
{
    for (const Block& block : blocks(text)) {
        const std::string_view label = block.label;
        if (label.size() < 11 || label.substr(label.size() - 11) != "PRIVATE KEY") continue;
        if (label == "ENCRYPTED PRIVATE KEY" || block.headers.find("ENCRYPTED") != std::string_view::npos)
            throw ECryptoError("the private key is encrypted; a key without a pass phrase is needed");
        if (label == "PRIVATE KEY") return KeyBlock{KeyForm::pkcs8, block};
        if (label == "RSA PRIVATE KEY") return KeyBlock{KeyForm::pkcs1, block};
        throw ECryptoError("the private key is not an RSA key (" + std::string(label) + ")");
    }
    throw ECryptoError("no private key found in the PEM text");
}

}  // namespace pem

std::string pem_first_certificate(const std::string& pem)
{
    for (const pem::Block& block : pem::blocks(pem)) {
        if (block.label != "CERTIFICATE") continue;
        return pem::decode_base64(block.body).value_or(std::string());
    }
    return {};
}

}  // namespace zanpost::platform
