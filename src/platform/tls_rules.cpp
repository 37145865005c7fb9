#include "platform/tls_rules.h"

#include "rtl/ascii.h"
#include "rtl/hex.h"

#include <algorithm>
#include <vector>

namespace zanpost::platform {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Appends the four bytes of a dotted quad; false for anything else.
bool dotted_quad(std::string_view text, std::vector<unsigned char>& out)
{
    if (std::count(text.begin(), text.end(), '.') != 3) return false;
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t stop = std::min(text.find('.', start), text.size());
        const std::string_view part = text.substr(start, stop - start);
        // "010" is octal to inet_addr and decimal elsewhere: an address nobody agrees on.
        if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
        int value = 0;
        for (const char c : part) {
            if (!is_digit(c)) return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255) return false;
        out.push_back(static_cast<unsigned char>(value));
        start = stop + 1;
    }
    return true;
}

std::optional<IpAddress> ipv6(std::string_view text)
{
    std::vector<unsigned char> head;  // the bytes before "::", or all of them without it
    std::vector<unsigned char> tail;  // after "::"
    bool compressed = false;
    std::size_t at = 0;
    if (text.starts_with("::")) {
        compressed = true;
        at = 2;
    }
    while (at < text.size()) {
        std::vector<unsigned char>& out = compressed ? tail : head;
        const std::size_t stop = std::min(text.find(':', at), text.size());
        const std::string_view group = text.substr(at, stop - at);
        if (stop == text.size() && group.find('.') != std::string_view::npos) {
            if (!dotted_quad(group, out)) return std::nullopt;
            break;
        }
        if (group.empty() || group.size() > 4) return std::nullopt;
        int value = 0;
        for (const char c : group) {
            const int digit = hex_digit(c);
            if (digit < 0) return std::nullopt;
            value = value * 16 + digit;
        }
        out.push_back(static_cast<unsigned char>(value >> 8));
        out.push_back(static_cast<unsigned char>(value & 0xFF));
        if (stop == text.size()) break;
        at = stop + 1;
        if (at < text.size() && text[at] == ':') {
            if (compressed) return std::nullopt;
            compressed = true;
            ++at;
        } else if (at == text.size()) {
            return std::nullopt;  // a single colon at the end
        }
    }
    // "::" stands for one zero group at least.
    const std::size_t count = head.size() + tail.size();
    if (compressed ? count > 14 : count != 16) return std::nullopt;
    IpAddress address;
    address.size = 16;
    std::copy(head.begin(), head.end(), address.bytes.begin());
    std::copy(tail.begin(), tail.end(), address.bytes.end() - std::ptrdiff_t(tail.size()));
    return address;
}

}  // namespace

std::optional<IpAddress> parse_ip_literal(std::string_view text)
{
    if (text.find(':') != std::string_view::npos) return ipv6(text);
    std::vector<unsigned char> bytes;
    if (!dotted_quad(text, bytes)) return std::nullopt;
    IpAddress address;
    address.size = 4;
    std::copy(bytes.begin(), bytes.end(), address.bytes.begin());
    return address;
}

std::string fingerprint_text(const unsigned char* bytes, std::size_t count)
{
    return to_hex(std::string_view(reinterpret_cast<const char*>(bytes), count));
}

std::string normal_pin(std::string_view pin)
{
    std::string digits;
    for (const char c : pin) {
        if (c == ':') continue;
        if (hex_digit(c) < 0) return {};
        digits += ascii_lower(c);
    }
    return digits.size() == 64 ? digits : std::string();
}

TlsCheck tls_check(const TlsOptions& options)
{
    TlsCheck check;
    check.name = options.server_name;
    const std::optional<IpAddress> address = parse_ip_literal(options.server_name);
    if (address) check.address = *address;
    else check.sni = options.server_name;
    if (!options.pin_sha256.empty()) {
        check.against = TlsCheck::Against::pin;
        check.pin = normal_pin(options.pin_sha256);
        if (check.pin.empty()) check.pin = options.pin_sha256;
    } else if (address) {
        check.against = TlsCheck::Against::ip_address;
    } else if (!options.server_name.empty()) {
        check.against = TlsCheck::Against::host_name;
    }
    if (check.chain_checked()) check.ca_file = options.ca_file;
    return check;
}

std::optional<TlsRefusal> refusal_after_handshake(const TlsCheck& check, const std::string& sha256)
{
    switch (check.against) {
    case TlsCheck::Against::nothing:
        return TlsRefusal{TlsFailure::name_mismatch, "no server name to check the certificate against"};
    case TlsCheck::Against::pin: {
        if (sha256.empty()) return TlsRefusal{TlsFailure::pin_mismatch, "no SHA-256 available to check the pin"};
        if (sha256 == check.pin) return std::nullopt;
        std::string detail = "the certificate's SHA-256 is " + sha256 + ", not the pinned " + check.pin;
        if (normal_pin(check.pin).empty()) detail += " (which is no SHA-256: 64 hex digits)";
        return TlsRefusal{TlsFailure::pin_mismatch, std::move(detail)};
    }
    case TlsCheck::Against::host_name:
    case TlsCheck::Against::ip_address: break;
    }
    return std::nullopt;
}

}  // namespace zanpost::platform
