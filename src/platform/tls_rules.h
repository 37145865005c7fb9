#pragma once
// What a TLS client checks of the server, decided once from TlsOptions for both backends,
// which only carry it out with their library. Internal to the platform layer.

#include "platform/tls.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zanpost::platform {

// An address as a certificate's subjectAltName holds it: 4 or 16 bytes, network order.
struct IpAddress {
    std::array<unsigned char, 16> bytes{};
    std::size_t size = 0;

    bool operator==(const IpAddress&) const = default;
};

// A dotted quad of four decimal numbers up to 255 without leading zeros, or the IPv6 text
// forms (groups, one "::", a dotted quad at the end), as inet_pton reads them. Anything else
// - "010.0.0.1", "1.2.3", "[::1]", "fe80::1%1", "mail:25" - is no address but a host name.
std::optional<IpAddress> parse_ip_literal(std::string_view text);

// A digest as pins and the log write it: two lower-case hex digits a byte.
std::string fingerprint_text(const unsigned char* bytes, std::size_t count);

// 64 lower-case hex digits: upper case and colons anywhere are taken, as the INI file's
// Otisk takes them. Empty for any other text.
std::string normal_pin(std::string_view pin);

struct TlsCheck {
    enum class Against {
        host_name,   // the chain to a trusted root, and the name
        ip_address,  // the chain to a trusted root, and the address
        pin,         // the certificate's SHA-256 alone, however it is signed and named
        // Neither name nor pin: a chain valid for any name proves nothing, so the
        // certificate is refused - after the handshake, which shows it for the log (with
        // the SHA-256 a pin would want).
        nothing,
    };
    Against against = Against::nothing;
    // The name sent as SNI; empty for an IP literal (RFC 6066) and when no name was given.
    std::string sni;
    // The name as given: host_name matches it without regard to case; for ip_address it
    // is the literal, for messages.
    std::string name;
    IpAddress address;     // an IP literal's bytes, which ip_address looks for in the certificate
    std::string ca_file;   // host_name, ip_address: the only trusted roots; empty: the system's
    // pin: normal_pin of what was given, or, when that is empty, the text as given, which
    // then matches no certificate (a SHA-256 is never written so) and is shown as it is.
    std::string pin;

    // host_name and ip_address: the backend builds and checks the chain, with the CA file.
    bool chain_checked() const { return against == Against::host_name || against == Against::ip_address; }
};

TlsCheck tls_check(const TlsOptions& options);

struct TlsRefusal {
    TlsFailure failure;
    std::string detail;
};

// The verdict on a certificate that no chain check decides (pin, nothing), once the
// handshake has shown it: nothing when it passes. `sha256` is the certificate's, 64
// lower-case hex digits; empty when it could not be had.
std::optional<TlsRefusal> refusal_after_handshake(const TlsCheck& check, const std::string& sha256);

}  // namespace zanpost::platform
