// The TLS rules both backends follow: which names are addresses, what a pin is, what is
// sent and checked, and what a certificate no chain check decides is refused for.

#include "platform/tls_rules.h"

#include <gtest/gtest.h>

namespace zanpost::platform {
namespace {

TEST(TlsRules, OnlyWhatInetPtonReadsIsAnAddress)
{
    const std::pair<const char*, std::string> cases[] = {
        {"127.0.0.1", "7f000001"},
        {"255.255.255.255", "ffffffff"},
        {"::1", std::string(30, '0') + "01"},
        {"::", std::string(32, '0')},
        {"2001:DB8::8:800:200c:417a", "20010db80000000000080800200c417a"},
        {"::ffff:192.0.2.1", "00000000000000000000ffffc0000201"},
        {"1:2:3:4:5:6:7::", "00010002000300040005000600070000"},
        {"1:2:3:4:5:6:1.2.3.4", "00010002000300040005000601020304"},
        // Names: what one backend once took for an address.
        {"010.0.0.1", "none"}, {"256.0.0.1", "none"}, {"1..2.3", "none"}, {"1.2.3", "none"},
        {"1.2.3.4.", "none"}, {"mail:25", "none"}, {"[::1]", "none"}, {"fe80::1%1", "none"},
        {"1::2::3", "none"}, {":1", "none"}, {"1:", "none"}, {"1:2:3:4:5:6:7:8:9", "none"},
        {"1:2:3:4:5:6:7:8::", "none"}, {"12345::", "none"}, {"1.2.3.4::", "none"}, {"::1.2.3", "none"},
        {"localhost", "none"}, {"", "none"},
    };
    for (const auto& [text, bytes] : cases) {
        const std::optional<IpAddress> address = parse_ip_literal(text);
        EXPECT_EQ(address ? fingerprint_text(address->bytes.data(), address->size) : "none", bytes) << text;
    }
}

TEST(TlsRules, APinIsSixtyFourHexDigitsInLowerCase)
{
    const std::string digits = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    const std::string bytes = "01:23:45:67:89:AB:CD:EF";
    const std::string pasted = bytes + ":" + bytes + ":" + bytes + ":" + bytes;  // as a browser shows it
    const std::pair<std::string, std::string> cases[] = {
        {digits, digits}, {pasted, digits}, {":" + digits + "::", digits},
        {digits.substr(1), ""}, {digits + "0", ""}, {digits.substr(1) + "g", ""}, {" " + digits, ""}, {"", ""},
    };
    for (const auto& [pin, normal] : cases) EXPECT_EQ(normal_pin(pin), normal) << pin;
}

TEST(TlsRules, TheOptionsDecideWhatIsSentAndWhatIsChecked)
{
    using A = TlsCheck::Against;
    const std::string sha(64, 'c');  // of the certificate the server presents
    const std::string other(64, 'd');
    struct Case {
        const char* name;
        std::string pin;
        A against;
        const char* sni;
        const char* ca_file;                 // what the backend reads
        std::optional<TlsFailure> refused;   // after the handshake, whatever the chain
        std::string detail;
    };
    const Case cases[] = {
        {"mail.example.org", "", A::host_name, "mail.example.org", "ca.pem", std::nullopt, ""},
        {"192.0.2.1", "", A::ip_address, "", "ca.pem", std::nullopt, ""},
        {"2001:db8::1", "", A::ip_address, "", "ca.pem", std::nullopt, ""},
        {"mail.example.org", "CC:" + sha.substr(2), A::pin, "mail.example.org", "", std::nullopt, ""},
        {"192.0.2.1", other, A::pin, "", "", TlsFailure::pin_mismatch,
         "the certificate's SHA-256 is " + sha + ", not the pinned " + other},
        // No certificate matches a pin that is no SHA-256, not even the one it was cut from.
        {"", sha.substr(1), A::pin, "", "", TlsFailure::pin_mismatch,
         "the certificate's SHA-256 is " + sha + ", not the pinned " + sha.substr(1) + " (which is no SHA-256: 64 hex digits)"},
        {"", "", A::nothing, "", "", TlsFailure::name_mismatch, "no server name to check the certificate against"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + c.pin);
        const TlsCheck check = tls_check({c.name, "ca.pem", c.pin});
        EXPECT_EQ(check.against, c.against);
        EXPECT_EQ(check.sni, c.sni);
        EXPECT_EQ(check.ca_file, c.ca_file);
        EXPECT_EQ(check.address, parse_ip_literal(c.name).value_or(IpAddress{}));
        const std::optional<TlsRefusal> refusal = refusal_after_handshake(check, sha);
        ASSERT_EQ(refusal.has_value(), c.refused.has_value());
        if (refusal) {
            EXPECT_EQ(refusal->failure, *c.refused);
            EXPECT_EQ(refusal->detail, c.detail);
        }
    }
    // A pinned certificate whose SHA-256 could not be had.
    EXPECT_EQ(refusal_after_handshake(tls_check({"", "", sha}), "").value_or(TlsRefusal{}).detail,
              "no SHA-256 available to check the pin");
}

}  // namespace
}  // namespace zanpost::platform
