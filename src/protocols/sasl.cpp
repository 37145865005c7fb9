#include "protocols/sasl.h"

#include "net/tcpip.h"
#include "protocols/digest.h"
#include "rtl/ascii.h"

#include <array>

namespace zanpost {

namespace {

constexpr SaslMechanism sasl_mechanisms[] = {SaslMechanism::plain, SaslMechanism::login, SaslMechanism::cram_md5,
                                             SaslMechanism::xoauth2};

constexpr unsigned bit_of(SaslMechanism mechanism) noexcept { return 1u << unsigned(mechanism); }

constexpr char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<signed char, 256> base64_values()
{
    std::array<signed char, 256> values{};
    for (auto& v : values) v = -1;
    for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(base64_alphabet[i])] = static_cast<signed char>(i);
    return values;
}

}  // namespace

std::string_view sasl_name(SaslMechanism mechanism) noexcept
{
    switch (mechanism) {
    case SaslMechanism::plain: return "PLAIN";
    case SaslMechanism::login: return "LOGIN";
    case SaslMechanism::cram_md5: return "CRAM-MD5";
    case SaslMechanism::xoauth2: return "XOAUTH2";
    case SaslMechanism::automatic:
    case SaslMechanism::user:
    case SaslMechanism::apop: break;
    }
    return {};
}

void SaslOffer::add(std::string_view names)
{
    std::size_t start = 0;
    while (start < names.size()) {
        const std::size_t end = std::min(names.find(' ', start), names.size());
        const std::string name = ascii_upper(names.substr(start, end - start));
        for (const SaslMechanism mechanism : sasl_mechanisms)
            if (name == sasl_name(mechanism)) bits_ |= bit_of(mechanism);
        start = end + 1;
    }
}

bool SaslOffer::has(SaslMechanism mechanism) const noexcept
{
    return !sasl_name(mechanism).empty() && (bits_ & bit_of(mechanism)) != 0;
}

std::string SaslOffer::names() const
{
    std::string list;
    for (const SaslMechanism mechanism : sasl_mechanisms) {
        if (!has(mechanism)) continue;
        if (!list.empty()) list += ' ';
        list += sasl_name(mechanism);
    }
    return list;
}

std::optional<SaslMechanism> sasl_automatic_choice(const SaslOffer& offered, bool tls) noexcept
{
    if (tls) {
        for (const SaslMechanism mechanism : {SaslMechanism::plain, SaslMechanism::login, SaslMechanism::cram_md5})
            if (offered.has(mechanism)) return mechanism;
        return std::nullopt;
    }
    if (offered.has(SaslMechanism::cram_md5)) return SaslMechanism::cram_md5;
    return std::nullopt;
}

SaslClient::SaslClient(SaslMechanism mechanism, std::string user, std::string secret)
    : mechanism_(mechanism), user_(std::move(user)), secret_(std::move(secret))
{
}

bool SaslClient::has_initial_response() const noexcept
{
    return mechanism_ == SaslMechanism::plain || mechanism_ == SaslMechanism::xoauth2;
}

std::optional<std::string> SaslClient::respond(std::string_view challenge)
{
    const int step = step_++;
    switch (mechanism_) {
    case SaslMechanism::plain:
        // No authorization identity: the login acts as itself.
        if (step == 0) return '\0' + user_ + '\0' + secret_;
        break;
    case SaslMechanism::login:
        // The prompts ("Username:", "Password:") vary between servers; only their order counts.
        if (step == 0) return user_;
        if (step == 1) return secret_;
        break;
    case SaslMechanism::cram_md5:
        if (step == 0 && !challenge.empty()) return user_ + ' ' + to_hex(hmac_md5(secret_, challenge));
        break;
    case SaslMechanism::xoauth2:
        if (step == 0) return "user=" + user_ + "\x01" "auth=Bearer " + secret_ + "\x01\x01";
        // The challenge after the token is the server's error detail; the mechanism ends it
        // with an empty message, after which the server gives its final refusal.
        if (step == 1) return std::string();
        break;
    case SaslMechanism::automatic:
    case SaslMechanism::user:
    case SaslMechanism::apop: break;
    }
    return std::nullopt;
}

std::string base64_encode(std::string_view bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = std::uint32_t(static_cast<unsigned char>(bytes[i])) << 16 |
                                    std::uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                                    static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) text += base64_alphabet[(group >> shift) & 0x3f];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = std::uint32_t(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) group |= std::uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8;
        text += base64_alphabet[(group >> 18) & 0x3f];
        text += base64_alphabet[(group >> 12) & 0x3f];
        text += rest == 2 ? base64_alphabet[(group >> 6) & 0x3f] : '=';
        text += '=';
    }
    return text;
}

std::optional<std::string> base64_decode(std::string_view text)
{
    static constexpr std::array<signed char, 256> values = base64_values();
    std::size_t padding = 0;
    while (padding < 2 && text.size() > padding && text[text.size() - 1 - padding] == '=') ++padding;
    const std::string_view digits = text.substr(0, text.size() - padding);
    // One digit alone carries no whole byte; padding is only ever what completes a group.
    if (digits.size() % 4 == 1 || (padding > 0 && (digits.size() + padding) % 4 != 0)) return std::nullopt;

    std::string bytes;
    bytes.reserve(digits.size() * 3 / 4);
    std::uint32_t group = 0;
    int bits = 0;
    for (const char c : digits) {
        const int value = values[static_cast<unsigned char>(c)];
        if (value < 0) return std::nullopt;
        group = (group << 6) | std::uint32_t(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += char((group >> bits) & 0xff);
        }
    }
    return bytes;
}

std::string apop_timestamp(std::string_view greeting)
{
    const std::size_t open = greeting.find('<');
    if (open == std::string_view::npos) return {};
    const std::size_t close = greeting.find('>', open + 1);
    if (close == std::string_view::npos || close == open + 1) return {};
    return std::string(greeting.substr(open, close - open + 1));
}

std::string apop_digest(std::string_view timestamp, std::string_view password)
{
    Md5 digest;
    digest.update(timestamp);
    digest.update(password);
    return to_hex(digest.finish());
}

void send_secret_line(T_TcpIp& connection, const std::string& line, const std::string& shown)
{
    try {
        connection.SendString(connection.Socket, line + "\r\n");
    } catch (...) {
        if (connection.OnTrace) connection.OnTrace(shown, trace_sent);
        throw;
    }
    if (connection.OnTrace) connection.OnTrace(shown, trace_sent);
}

bool answer_challenge(T_TcpIp& connection, SaslClient& sasl, std::string_view challenge)
{
    const std::optional<std::string> decoded = base64_decode(challenge);
    const std::optional<std::string> response = decoded ? sasl.respond(*decoded) : std::nullopt;
    if (!response) {
        connection.SendCommand("*");
        return false;
    }
    send_secret_line(connection, base64_encode(*response), secret_mask);
    return true;
}

}  // namespace zanpost
