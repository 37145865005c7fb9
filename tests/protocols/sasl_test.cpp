// The digests and SASL messages against the published vectors (RFC 1321, 2104/2202, 2195,
// 1939, 4648, 4616 and Google's XOAUTH2 example), and the automatic choice of a login.

#include "protocols/digest.h"
#include "protocols/pop3.h"
#include "protocols/sasl.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zanpost {
namespace {

using namespace std::string_literals;

TEST(Digest, Md5OfTheRfc1321Suite)
{
    const struct {
        std::string input;
        const char* digest;
    } vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& v : vectors) EXPECT_EQ(to_hex(md5(v.input)), v.digest) << '"' << v.input << '"';
}

TEST(Digest, Md5InPiecesOfAnySizeEqualsTheWhole)
{
    // A million "a": the long vector, fed in pieces that end before, on and after the
    // 64-byte block boundary, so the carried-over bytes and the length padding are exercised.
    const std::string million(1000000, 'a');
    for (const std::size_t piece : {std::size_t(1), std::size_t(55), std::size_t(56), std::size_t(63),
                                    std::size_t(64), std::size_t(65), std::size_t(1000), million.size()}) {
        Md5 digest;
        for (std::size_t at = 0; at < million.size(); at += piece)
            digest.update(std::string_view(million).substr(at, piece));
        EXPECT_EQ(to_hex(digest.finish()), "7707d6ae4e027c70eea2a935c2296f21") << "pieces of " << piece;
    }
}

TEST(Digest, HmacMd5OfRfc2104AndRfc2202)
{
    const struct {
        std::string key;
        std::string data;
        const char* mac;
    } vectors[] = {
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        // A key longer than the block is hashed first.
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
    };
    for (const auto& v : vectors) EXPECT_EQ(to_hex(hmac_md5(v.key, v.data)), v.mac) << v.data;
}

TEST(Base64, Rfc4648VectorsBothWaysAndEveryByteValue)
{
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\0\xff\x80"s, "AP+A"},
    };
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(base64_encode(bytes), text);
        EXPECT_EQ(base64_decode(text), bytes) << text;
    }
    std::string all;
    for (int c = 0; c < 256; ++c) all += char(c);
    EXPECT_EQ(base64_decode(base64_encode(all)), all);
}

TEST(Base64, DecodingTakesMissingPaddingAndRefusesEverythingElse)
{
    EXPECT_EQ(base64_decode("Zm9vYg"), "foob");
    EXPECT_EQ(base64_decode("Zm8"), "fo");
    // A challenge that is not base64 must never be answered as if it were.
    for (const char* bad : {"Zm9v!", "Z", "Zm9vY", "Zg=", "Zg===", "Zm9=v", "Zm 9v", "Zm9v\r"})
        EXPECT_EQ(base64_decode(bad), std::nullopt) << bad;
}

TEST(SaslMessages, EachMechanismSaysWhatItsDefinitionSays)
{
    const struct {
        SaslMechanism mechanism;
        const char* user;
        const char* secret;
        bool initial;
        std::vector<std::string> challenges;
        std::vector<std::optional<std::string>> responses;
    } cases[] = {
        // RFC 4616: no authorization identity, then the login and the password.
        {SaslMechanism::plain, "jan", "tajne heslo", true, {"", ""}, {"\0jan\0tajne heslo"s, std::nullopt}},
        // Only the order of the prompts counts, not their words.
        {SaslMechanism::login, "jan", "tajne heslo", false, {"Username:", "Heslo:", "Again:"},
         {"jan", "tajne heslo", std::nullopt}},
        // RFC 2195's example exchange.
        {SaslMechanism::cram_md5, "tim", "tanstaaftanstaaf", false,
         {"<1896.697170952@postoffice.reston.mci.net>", "more?"},
         {"tim b913a602c7eda7a495b4e6e7334d3890", std::nullopt}},
        {SaslMechanism::cram_md5, "tim", "tanstaaftanstaaf", false, {""}, {std::nullopt}},
        // The token, then the empty answer to the error detail, then nothing.
        {SaslMechanism::xoauth2, "someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg", true,
         {"", R"({"status":"401","schemes":"bearer"})", ""},
         {"user=someuser@example.com\x01" "auth=Bearer ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg\x01\x01",
          "", std::nullopt}},
        // Not SASL mechanisms: nothing to say at all.
        {SaslMechanism::user, "jan", "x", false, {""}, {std::nullopt}},
        {SaslMechanism::apop, "jan", "x", false, {""}, {std::nullopt}},
    };
    for (const auto& c : cases) {
        SaslClient client(c.mechanism, c.user, c.secret);
        EXPECT_EQ(client.has_initial_response(), c.initial) << sasl_name(c.mechanism);
        for (std::size_t i = 0; i < c.challenges.size(); ++i)
            EXPECT_EQ(client.respond(c.challenges[i]), c.responses[i]) << sasl_name(c.mechanism) << " step " << i;
    }
}

TEST(Apop, StampOfTheGreetingAndTheRfc1939Digest)
{
    const struct {
        const char* greeting;
        const char* stamp;
    } greetings[] = {
        {"+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>", "<1896.697170952@dbc.mtview.ca.us>"},
        {"+OK <a@b> and <c@d>", "<a@b>"},
        {"+OK Dovecot ready.", ""},
        {"+OK <>", ""},
        {"+OK ready <unclosed", ""},
    };
    for (const auto& g : greetings) EXPECT_EQ(apop_timestamp(g.greeting), g.stamp) << g.greeting;
    EXPECT_EQ(apop_digest("<1896.697170952@dbc.mtview.ca.us>", "tanstaaf"), "c4c9334bac560ecc979e58001b3e22fb");
}

TEST(SaslOffers, NamesInAnyCaseUnknownOnesPassedOver)
{
    SaslOffer offer;
    EXPECT_TRUE(offer.empty());
    offer.add("plain GSSAPI  LoGiN");
    offer.add("cram-md5 SCRAM-SHA-256 XOAUTH");
    EXPECT_TRUE(offer.has(SaslMechanism::plain));
    EXPECT_TRUE(offer.has(SaslMechanism::login));
    EXPECT_TRUE(offer.has(SaslMechanism::cram_md5));
    EXPECT_FALSE(offer.has(SaslMechanism::xoauth2));  // XOAUTH is another mechanism
    EXPECT_FALSE(offer.has(SaslMechanism::user));
    EXPECT_FALSE(offer.has(SaslMechanism::automatic));
    EXPECT_EQ(offer.names(), "PLAIN LOGIN CRAM-MD5");
}

TEST(SaslChoice, AutomaticNeverSendsAPasswordInClearText)
{
    using M = SaslMechanism;
    const std::optional<M> none;
    const struct {
        const char* offered;
        bool tls;
        bool stamp;          // the POP3 greeting carries an APOP stamp
        std::optional<M> smtp;
        std::optional<M> pop3;
    } table[] = {
        {"CRAM-MD5 LOGIN PLAIN", true, false, M::plain, M::plain},
        {"LOGIN CRAM-MD5", true, false, M::login, M::user},
        {"CRAM-MD5", true, true, M::cram_md5, M::user},
        {"XOAUTH2", true, false, none, M::user},
        {"", true, false, none, M::user},
        {"PLAIN LOGIN CRAM-MD5", false, true, M::cram_md5, M::cram_md5},
        {"PLAIN LOGIN", false, true, none, M::apop},
        {"PLAIN LOGIN XOAUTH2", false, false, none, none},
        {"", false, true, none, M::apop},
        {"", false, false, none, none},
    };
    for (const auto& row : table) {
        SaslOffer offer;
        offer.add(row.offered);
        EXPECT_EQ(sasl_automatic_choice(offer, row.tls), row.smtp) << row.offered << (row.tls ? " over TLS" : "");
        EXPECT_EQ(pop3_automatic_choice(offer, row.tls, row.stamp), row.pop3)
            << row.offered << (row.tls ? " over TLS" : "") << (row.stamp ? " with stamp" : "");
    }
}

}  // namespace
}  // namespace zanpost
