// Test certificates made with OpenSSL: P-256 keys, since they are quick to make.

#include "support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace zanpost::testing {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const noexcept { X509_free(cert); }
};
struct BioFree {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

constexpr long day = 24 * 60 * 60;

void check(bool ok, const char* what)
{
    if (!ok) throw std::runtime_error(std::string("making test certificates: ") + what);
}

Key new_key()
{
    Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key");
    return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    check(extension != nullptr, value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

struct Issuer {
    X509* cert;     // null: the certificate signs itself
    EVP_PKEY* key;
};

// `alt_names` empty makes a CA.
Cert make_certificate(EVP_PKEY* key, const std::string& common_name, const char* alt_names, Issuer issuer,
                      long valid_from, long valid_to)
{
    static long serial = 1;
    Cert cert(X509_new());
    check(cert != nullptr, "certificate");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), valid_from);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), valid_to);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("ZanPost tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name.c_str()), -1,
                               -1, 0);
    X509* signer = issuer.cert ? issuer.cert : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    add_extension(cert.get(), signer, NID_subject_key_identifier, "hash");
    add_extension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    if (*alt_names == '\0') {
        add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        add_extension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        add_extension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        add_extension(cert.get(), signer, NID_subject_alt_name, alt_names);
    }
    check(X509_sign(cert.get(), issuer.key ? issuer.key : key, EVP_sha256()) > 0, "signature");
    return cert;
}

void write_certificate(const std::string& path, X509* cert)
{
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "w"));
    check(bio && PEM_write_bio_X509(bio.get(), cert) == 1, path.c_str());
}

std::string common_name_of(const X509_NAME* name)
{
    char text[256];
    const int length = X509_NAME_get_text_by_NID(name, NID_commonName, text, sizeof text);
    check(length >= 0, "common name");
    return std::string(text, std::size_t(length));
}

void append_certificate(const std::string& path, X509* cert)
{
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "a"));
    check(bio && PEM_write_bio_X509(bio.get(), cert) == 1, path.c_str());
}

void write_key(const std::string& path, EVP_PKEY* key)
{
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "w"));
    check(bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, path.c_str());
}

// The SHA-256 of the certificate's DER encoding, as a pin is written.
std::string fingerprint(X509* cert)
{
    unsigned char* der = nullptr;
    const int length = i2d_X509(cert, &der);
    check(length > 0, "encoding");
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    const bool ok = EVP_Digest(der, std::size_t(length), digest, &digest_length, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    check(ok, "digest");
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < digest_length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 0x0F];
    }
    return text;
}

}  // namespace

TestCertificates::TestCertificates()
{
    const char* local_names = "DNS:localhost,IP:127.0.0.1";
    const Key ca_key = new_key();
    const Cert ca = make_certificate(ca_key.get(), "ZanPost test CA", "", {nullptr, nullptr}, -day, 365 * day);
    ca_file = directory.file("ca.pem");
    write_certificate(ca_file, ca.get());
    const Key foreign_key = new_key();
    const Cert foreign = make_certificate(foreign_key.get(), "Someone else's CA", "", {nullptr, nullptr}, -day, 365 * day);

    // One server key serves every certificate: only what is signed differs.
    const Key key = new_key();
    const std::string key_file = directory.file("server.key");
    write_key(key_file, key.get());
    // `chain`: a CA certificate the server sends after its own, as servers send intermediates.
    const auto server = [&](const std::string& stem, const char* names, Issuer issuer, long from, long to,
                            X509* chain = nullptr) {
        std::string common_name = std::string(names).substr(std::string(names).find(':') + 1);
        common_name = common_name.substr(0, common_name.find(','));
        const Cert cert = make_certificate(key.get(), common_name, names, issuer, from, to);
        ServerTls tls{directory.file(stem + ".pem"), key_file, false, fingerprint(cert.get()), common_name,
                      common_name_of(X509_get_issuer_name(cert.get()))};
        write_certificate(tls.certificate_file, cert.get());
        if (chain != nullptr) {
            append_certificate(tls.certificate_file, chain);
            tls.chain_cns.push_back(common_name_of(X509_get_subject_name(chain)));
        }
        return tls;
    };
    const Issuer by_ca{ca.get(), ca_key.get()};
    good = server("good", local_names, by_ca, -day, 30 * day);
    expired = server("expired", local_names, by_ca, -60 * day, -30 * day);
    not_yet_valid = server("not_yet_valid", local_names, by_ca, 30 * day, 60 * day);
    other_name = server("other_name", "DNS:mail.example.org", by_ca, -day, 30 * day, ca.get());
    foreign_ca = server("foreign_ca", local_names, {foreign.get(), foreign_key.get()}, -day, 30 * day);
    self_signed = server("self_signed", local_names, {nullptr, nullptr}, -day, 30 * day);
}

const TestCertificates& test_certificates()
{
    static const TestCertificates made;
    return made;
}

}  // namespace zanpost::testing
