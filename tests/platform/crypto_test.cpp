// The crypto seam on both builds: digests and RS256 against answers computed elsewhere
// (FIPS 180-2, `openssl dgst -sign`), PS256 checked by the other side's verifier, the key
// forms a user's key file comes in, and the ones that must be refused.

#include "platform/crypto.h"

#include "crypto_fixtures.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#else
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <memory>
#endif

namespace zanpost::platform {
namespace {

namespace fx = zanpost::fixtures;

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

TEST(Sha256, KnownAnswers)
{
    const struct {
        std::string data;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) EXPECT_EQ(hex(sha256(c.data)), c.digest) << c.data.size() << " bytes";
}

TEST(RandomBytes, AsManyAsAskedAndNeverTheSame)
{
    EXPECT_EQ(random_bytes(0), "");
    const std::string a = random_bytes(32);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, random_bytes(32));
    EXPECT_NE(a, std::string(32, '\0'));
}

// A JWT's signing input, signed with fixtures/rsa1024.pem by
// `printf %s MESSAGE | openssl dgst -sha256 -sign rsa1024.pem | xxd -p`.
constexpr char jwt_input[] = "eyJhbGciOiJSUzI1NiJ9.eyJpc3MiOiJ6YW5wb3N0In0";
constexpr char jwt_rs256[] =
    "865fa68c8ff07c365fdb9f266428b5eed9b01bdce32707a0d466ba7e0210f3bca7e101fa1550f3a39a59ebda64b523fb7752fcc41d2d4f05c616296f49bbfd86"
    "e0eb87c2c34c18c0d980ee9aab7069d85cb45f1c9d6ce7773f3304555fb3bc1b0c706884cb4acdbfb08842b992defeb83eff1cdfde94774487135ad99effd8c8";

TEST(RsaSign, Rs256KnownAnswerFromEveryKeyForm)
{
    const std::string pkcs8 = fx::rsa1024;
    std::string crlf;
    for (const char c : pkcs8) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const struct {
        const char* form;
        std::string pem;
    } cases[] = {
        {"PKCS#8", pkcs8},
        {"PKCS#1", fx::rsa1024_pkcs1},
        {"certificate in front", std::string(fx::rsa1024_certificate) + pkcs8},
        {"CRLF lines, text around", "key:\r\n" + crlf + "\r\n-- end\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.form);
        EXPECT_EQ(hex(rsa_sha256_sign(c.pem, jwt_input, RsaPadding::pkcs1_v15)), jwt_rs256);
    }
}

TEST(RsaSign, RefusesWhatIsNoUsableKey)
{
    std::string damaged = fx::rsa1024;
    damaged[damaged.find('\n') + 10] = '*';
    const struct {
        const char* what;
        std::string pem;
    } cases[] = {
        {"empty", ""},
        {"garbage", "not a key at all"},
        {"certificate only", fx::rsa1024_certificate},
        {"public key only", fx::rsa1024_public},
        {"encrypted PKCS#8", fx::rsa1024_encrypted_pkcs8},
        {"encrypted PKCS#1", fx::rsa1024_encrypted_pkcs1},
        {"EC key", fx::ec_p256},
        {"damaged base64", damaged},
        {"unterminated", std::string(fx::rsa1024).substr(0, 400)},
    };
    // Some base64 of the key: no message may carry it.
    const std::string key_text = std::string(fx::rsa1024).substr(40, 24);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            rsa_sha256_sign(c.pem, jwt_input, RsaPadding::pkcs1_v15);
            ADD_FAILURE() << "signed";
        } catch (const ECryptoError& e) {
            EXPECT_EQ(e.kind(), "ECryptoError");
            EXPECT_FALSE(e.message().empty());
            EXPECT_EQ(e.message().find(key_text), std::string::npos) << e.message();
        }
    }
}

TEST(PemCertificate, FirstCertificateAsDer)
{
    // `openssl x509 -in rsa1024_certificate.pem -noout -fingerprint -sha256`
    const char fingerprint[] = "ecb4ea7704ef65500b1ebcf5a297e15f5042815dbd537d4a72928e60d38e40ba";
    EXPECT_EQ(hex(sha256(pem_first_certificate(std::string(fx::rsa1024) + fx::rsa1024_certificate))), fingerprint);
    EXPECT_EQ(pem_first_certificate(fx::rsa1024), "");
    EXPECT_EQ(pem_first_certificate("-----BEGIN CERTIFICATE-----\n@@@@\n-----END CERTIFICATE-----\n"), "");
}

// PSS is randomised, so its signatures are checked by a verifier of the other library.
#ifdef _WIN32
bool verify_pss(const std::string& public_pem, const std::string& message, const std::string& signature)
{
    DWORD der_size = 0;
    std::string der(public_pem.size(), '\0');
    der_size = DWORD(der.size());
    if (!CryptStringToBinaryA(public_pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()),
                              &der_size, nullptr, nullptr))
        return false;
    CERT_PUBLIC_KEY_INFO* info = nullptr;
    DWORD info_size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, reinterpret_cast<BYTE*>(der.data()), der_size,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &info_size))
        return false;
    BCRYPT_KEY_HANDLE key = nullptr;
    const bool imported = CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, info, 0, nullptr, &key) != 0;
    LocalFree(info);
    if (!imported) return false;
    std::string digest = sha256(message);
    BCRYPT_PSS_PADDING_INFO pss{BCRYPT_SHA256_ALGORITHM, 32};
    const NTSTATUS status =
        BCryptVerifySignature(key, &pss, reinterpret_cast<PUCHAR>(digest.data()), ULONG(digest.size()),
                              reinterpret_cast<PUCHAR>(const_cast<char*>(signature.data())), ULONG(signature.size()),
                              BCRYPT_PAD_PSS);
    BCryptDestroyKey(key);
    return BCRYPT_SUCCESS(status);
}

TEST(RsaSign, Ps256VerifiesWithThePublicKey)
{
    std::string signature;
    try {
        signature = rsa_sha256_sign(fx::rsa1024, jwt_input, RsaPadding::pss);
    } catch (const ECryptoError& e) {
        // Only the PSS step may fail, and only where the system is Wine: RS256 over the
        // same key is checked above.
        const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
        if (wine && e.message().starts_with("cannot sign with PSS padding"))
            GTEST_SKIP() << "Wine's bcrypt cannot sign with PSS padding: " << e.message();
        FAIL() << e.message();
    }
    EXPECT_EQ(signature.size(), 128u);
    EXPECT_TRUE(verify_pss(fx::rsa1024_public, jwt_input, signature));
    EXPECT_FALSE(verify_pss(fx::rsa1024_public, std::string(jwt_input) + ".", signature));
    EXPECT_NE(signature, rsa_sha256_sign(fx::rsa1024_pkcs1, jwt_input, RsaPadding::pss));  // a fresh salt each time
}

#else


std::string pem_of(EVP_PKEY* key, bool traditional)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    const int written = traditional ? PEM_write_bio_PrivateKey_traditional(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                                    : PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(written, 1);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, std::size_t(size));
}

bool verify(EVP_PKEY* key, RsaPadding padding, const std::string& message, const std::string& signature)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_PKEY_CTX* key_ctx = nullptr;
    if (EVP_DigestVerifyInit(ctx.get(), &key_ctx, EVP_sha256(), nullptr, key) != 1) return false;
    if (padding == RsaPadding::pss &&
        (EVP_PKEY_CTX_set_rsa_padding(key_ctx, RSA_PKCS1_PSS_PADDING) != 1 ||
         EVP_PKEY_CTX_set_rsa_mgf1_md(key_ctx, EVP_sha256()) != 1 ||
         EVP_PKEY_CTX_set_rsa_pss_saltlen(key_ctx, 32) != 1))
        return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

TEST(RsaSign, BothPaddingsVerifyWithAKeyOfThisRun)
{
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
    ASSERT_NE(key, nullptr);
    const std::string message = "header.payload of this run";
    for (const bool traditional : {false, true}) {
        for (const RsaPadding padding : {RsaPadding::pkcs1_v15, RsaPadding::pss}) {
            SCOPED_TRACE(std::string(traditional ? "PKCS#1" : "PKCS#8") + (padding == RsaPadding::pss ? " PSS" : " v1.5"));
            const std::string signature = rsa_sha256_sign(pem_of(key.get(), traditional), message, padding);
            EXPECT_EQ(signature.size(), 256u);
            EXPECT_TRUE(verify(key.get(), padding, message, signature));
            EXPECT_FALSE(verify(key.get(), padding, message + ".", signature));
            // Each padding is checked as itself: the other one's verifier refuses it.
            const RsaPadding other = padding == RsaPadding::pss ? RsaPadding::pkcs1_v15 : RsaPadding::pss;
            EXPECT_FALSE(verify(key.get(), other, message, signature));
        }
    }
}
#endif

TEST(Sealing, RoundTripAndDamage)
{
    const std::string secret("refresh\0token \xC3\xA1", 16);
    const std::string sealed = seal_for_user(secret);
    EXPECT_EQ(unseal_for_user(sealed), secret);
    EXPECT_EQ(sealing_protects(), sealed.find(std::string_view(secret).substr(8)) == std::string::npos);
#ifdef _WIN32
    EXPECT_TRUE(sealing_protects());
    std::string damaged = sealed;
    damaged[damaged.size() / 2] ^= 0x55;
    EXPECT_EQ(unseal_for_user(damaged), std::nullopt);
    EXPECT_EQ(unseal_for_user("not sealed"), std::nullopt);
#endif
}

}  // namespace
}  // namespace zanpost::platform
