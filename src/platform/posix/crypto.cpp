// The crypto of the POSIX build, on OpenSSL 3's EVP interface.

#include "platform/crypto.h"

#include "platform/pem.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <climits>
#include <memory>

namespace zanpost::platform {

namespace {

struct BioFree {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// `what` and the library's reason for the oldest queued error; the queue is emptied so the
// error cannot be blamed on a later call. Reasons name the failure, never key bytes.
[[noreturn]] void fail(const std::string& what)
{
    const unsigned long code = ERR_peek_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    throw ECryptoError(reason != nullptr ? what + ": " + reason : what);
}

// Refuses every pass phrase: OpenSSL would otherwise ask for one on the terminal.
int no_pass_phrase(char*, int, int, void*)
{
    return 0;
}

KeyPtr read_rsa_key(const std::string& pem)
{
    // The block is chosen here, so the messages are the same on both builds.
    const pem::KeyBlock key_block = pem::rsa_key_block(pem);
    BioPtr bio(BIO_new_mem_buf(key_block.block.text.data(), int(key_block.block.text.size())));
    if (!bio) fail("cannot read the private key");
    KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, no_pass_phrase, nullptr));
    if (!key) fail("cannot read the private key");
    if (!EVP_PKEY_is_a(key.get(), "RSA")) throw ECryptoError("the private key is not an RSA key");
    return key;
}

}  // namespace

std::string sha256(std::string_view data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) fail("SHA-256 failed");
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string random_bytes(std::size_t count)
{
    std::string bytes(count, '\0');
    std::size_t done = 0;
    while (done < count) {
        const std::size_t piece = count - done < std::size_t(INT_MAX) ? count - done : std::size_t(INT_MAX);
        if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data() + done), int(piece)) != 1)
            fail("the system gives no random bytes");
        done += piece;
    }
    return bytes;
}

std::string rsa_sha256_sign(const std::string& pem, std::string_view data, RsaPadding padding)
{
    const KeyPtr key = read_rsa_key(pem);
    MdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* key_ctx = nullptr;  // owned by ctx
    if (!ctx || EVP_DigestSignInit(ctx.get(), &key_ctx, EVP_sha256(), nullptr, key.get()) != 1)
        fail("cannot sign with the private key");
    if (padding == RsaPadding::pss &&
        (EVP_PKEY_CTX_set_rsa_padding(key_ctx, RSA_PKCS1_PSS_PADDING) != 1 ||
         EVP_PKEY_CTX_set_rsa_mgf1_md(key_ctx, EVP_sha256()) != 1 ||
         EVP_PKEY_CTX_set_rsa_pss_saltlen(key_ctx, 32) != 1))
        fail("cannot sign with PSS padding");
    std::size_t length = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (EVP_DigestSign(ctx.get(), nullptr, &length, bytes, data.size()) != 1) fail("cannot sign with the private key");
    std::string signature(length, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes, data.size()) != 1)
        fail("cannot sign with the private key");
    signature.resize(length);
    return signature;
}

std::string seal_for_user(std::string_view plain)
{
    return std::string(plain);
}

std::optional<std::string> unseal_for_user(std::string_view sealed)
{
    return std::string(sealed);
}

bool sealing_protects() noexcept
{
    return false;
}

}  // namespace zanpost::platform
