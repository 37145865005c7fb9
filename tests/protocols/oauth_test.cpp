// The OAuth messages as Microsoft's and Google's token services read and write them: the
// outcome of every answer shape they use, and assertions that verify as the services verify
// them (OpenSSL here stands for the service's side).

#include "protocols/oauth.h"

#include "platform/crypto.h"
#include "protocols/sasl.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>

namespace zanpost::oauth {
namespace {

using nlohmann::json;

std::string FromBase64Url(std::string text)
{
    for (char& c : text) c = c == '-' ? '+' : c == '_' ? '/' : c;
    return base64_decode(text).value();
}

// An application's credential as an administrator makes it: RSA 2048, self-signed.
struct Credential {
    std::string certificate, key;
};

Credential MakeCredential()
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> x509(X509_new(), X509_free);
    X509_set_version(x509.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509.get()), 3600);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x509.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("ZanPost"), -1, -1, 0);
    X509_set_issuer_name(x509.get(), X509_get_subject_name(x509.get()));
    X509_set_pubkey(x509.get(), key.get());
    X509_sign(x509.get(), key.get(), EVP_sha256());
    const auto text = [](auto write) {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
        write(bio.get());
        char* data = nullptr;
        const long length = BIO_get_mem_data(bio.get(), &data);
        return std::string(data, std::size_t(length));
    };
    return {text([&](BIO* b) { PEM_write_bio_X509(b, x509.get()); }),
            text([&](BIO* b) { PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr); })};
}

struct Jwt {
    json header, claims;
    std::string input, signature;
};

Jwt Split(const std::string& jwt)
{
    const std::size_t first = jwt.find('.'), second = jwt.rfind('.');
    return {json::parse(FromBase64Url(jwt.substr(0, first))),
            json::parse(FromBase64Url(jwt.substr(first + 1, second - first - 1))), jwt.substr(0, second),
            FromBase64Url(jwt.substr(second + 1))};
}

// What the service does with the assertion: the signature checked with the certificate's key.
bool Verifies(const Jwt& jwt, const std::string& certificate_pem, bool pss)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(certificate_pem.data(), int(certificate_pem.size())),
                                                  BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                            X509_free);
    EVP_PKEY* key = X509_get0_pubkey(certificate.get());
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_PKEY_CTX* key_context = nullptr;
    if (EVP_DigestVerifyInit(context.get(), &key_context, EVP_sha256(), nullptr, key) != 1) return false;
    if (pss && (EVP_PKEY_CTX_set_rsa_padding(key_context, RSA_PKCS1_PSS_PADDING) != 1 ||
                EVP_PKEY_CTX_set_rsa_pss_saltlen(key_context, 32) != 1))
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(jwt.signature.data()),
                            jwt.signature.size(), reinterpret_cast<const unsigned char*>(jwt.input.data()),
                            jwt.input.size()) == 1;
}

TEST(OAuthAnswer, EachShapeTheServicesUseMeansOneOutcome)
{
    struct Case {
        int status;
        const char* body;
        Outcome outcome;
        const char* access = "";
        std::int64_t expires_in = 0;
        const char* refresh = "";
    } cases[] = {
        {200, R"({"token_type":"Bearer","expires_in":3599,"access_token":"eyJ0.a-b_c","refresh_token":"1.AR"})",
         Outcome::token, "eyJ0.a-b_c", 3599, "1.AR"},
        {200, R"({"access_token":"ya29.x","expires_in":"3600"})", Outcome::token, "ya29.x", 3600},
        {200, R"({"access_token":"ya29.x"})", Outcome::token, "ya29.x", 3600},
        {200, R"({"access_token":"two words"})", Outcome::not_a_token},
        {200, R"({"access_token":"x\r\nQUIT"})", Outcome::not_a_token},
        {200, R"({"expires_in":3599})", Outcome::not_a_token},
        {200, "<html>captive portal</html>", Outcome::not_a_token},
        {400, R"({"error":"authorization_pending","error_description":"AADSTS70016: pending"})", Outcome::pending},
        {400, R"({"error":"slow_down"})", Outcome::slow_down},
        {400, R"({"error":"authorization_declined"})", Outcome::declined},
        {400, R"({"error":"expired_token"})", Outcome::code_expired},
        {400, R"({"error":"invalid_grant","error_description":"AADSTS700082: The refresh token has expired"})",
         Outcome::grant_invalid},
        {401, R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid client secret provided."})",
         Outcome::client_refused},
        {400, R"({"error":"unauthorized_client","error_description":"Client is unauthorized"})", Outcome::client_refused},
        {400, R"({"error":"invalid_scope"})", Outcome::client_refused},
        {503, R"({"error":"temporarily_unavailable"})", Outcome::service_failed},
        {500, "", Outcome::service_failed},
        {502, R"({"error":"invalid_grant"})", Outcome::service_failed},
        {404, "Not Found", Outcome::not_a_token},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        const TokenAnswer read = ReadTokenAnswer({c.status, c.body});
        EXPECT_EQ(read.outcome, c.outcome);
        EXPECT_EQ(read.access_token, c.access);
        EXPECT_EQ(read.refresh_token, c.refresh);
        if (c.outcome == Outcome::token) {
            EXPECT_EQ(read.expires_in, c.expires_in);
        }
    }
    TokenAnswer failure;
    EXPECT_FALSE(ReadDeviceCode({400, R"({"error":"invalid_client"})"}, failure));
    EXPECT_EQ(failure.outcome, Outcome::client_refused);
    const auto code = ReadDeviceCode(
        {200, R"({"device_code":"D","user_code":"ABCD-EFGH","verification_uri":"https://microsoft.com/devicelogin",)"
              R"("expires_in":900,"interval":0})"},
        failure);
    ASSERT_TRUE(code);
    EXPECT_EQ(code->user_code, "ABCD-EFGH");
    EXPECT_EQ(code->interval, 1);  // never a busy loop against the service
}

TEST(OAuthAssertion, VerifiesAsTheServicesVerifyIt)
{
    const auto [certificate, key] = MakeCredential();

    const Jwt microsoft = Split(ClientAssertion(certificate + key, "app-id", "https://login/t/oauth2/v2.0/token", 1000));
    EXPECT_EQ(microsoft.header["alg"], "PS256");
    EXPECT_EQ(microsoft.header["typ"], "JWT");
    std::string der;
    {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(certificate.data(), int(certificate.size())), BIO_free);
        std::unique_ptr<X509, decltype(&X509_free)> x509(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
        unsigned char digest[32];
        unsigned int length = 0;
        X509_digest(x509.get(), EVP_sha256(), digest, &length);
        der.assign(reinterpret_cast<char*>(digest), length);
    }
    EXPECT_EQ(microsoft.header["x5t#S256"], Base64Url(der));
    EXPECT_EQ(microsoft.claims["aud"], "https://login/t/oauth2/v2.0/token");
    EXPECT_EQ(microsoft.claims["iss"], "app-id");
    EXPECT_EQ(microsoft.claims["sub"], "app-id");
    EXPECT_EQ(microsoft.claims["nbf"], 1000);
    EXPECT_LE(microsoft.claims["exp"].get<int>() - 1000, 600);
    EXPECT_TRUE(Verifies(microsoft, certificate, true));
    EXPECT_NE(Split(ClientAssertion(certificate + key, "app-id", "u", 1000)).claims["jti"], microsoft.claims["jti"]);
    EXPECT_THROW(ClientAssertion(key, "app-id", "u", 1000), platform::ECryptoError);  // no certificate

    const auto account = ParseServiceAccountKey(
        json{{"type", "service_account"}, {"client_email", "zp@p.iam.gserviceaccount.com"}, {"private_key", key},
             {"private_key_id", "k1"}, {"token_uri", "https://oauth2.googleapis.com/token"}}
            .dump());
    ASSERT_TRUE(account);
    EXPECT_FALSE(ParseServiceAccountKey(R"({"client_email":"x","token_uri":"https://t"})"));
    EXPECT_FALSE(ParseServiceAccountKey("not json"));
    const Jwt google = Split(ServiceAccountAssertion(*account, "https://mail.google.com/", "ucetni@firma.cz", 1000));
    EXPECT_EQ(google.header["alg"], "RS256");
    EXPECT_EQ(google.header["kid"], "k1");
    EXPECT_EQ(google.claims, (json{{"iss", "zp@p.iam.gserviceaccount.com"}, {"scope", "https://mail.google.com/"},
                                   {"aud", "https://oauth2.googleapis.com/token"}, {"sub", "ucetni@firma.cz"},
                                   {"iat", 1000}, {"exp", 4600}}));
    EXPECT_TRUE(Verifies(google, certificate, false));
}

TEST(OAuthAssertion, Base64UrlAndPkceMatchTheirRfcs)
{
    for (const auto& [bytes, text] : {std::pair{"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"}, {"\xFB\xFF", "-_8"}})
        EXPECT_EQ(Base64Url(bytes), text) << text;
    // RFC 7636, appendix B.
    EXPECT_EQ(PkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

}  // namespace
}  // namespace zanpost::oauth
