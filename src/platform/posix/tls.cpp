// The TLS client of the POSIX build, on OpenSSL 3.
//
// The socket stays blocking with SO_RCVTIMEO / SO_SNDTIMEO set by the caller: a receive or
// send that runs out of time comes back from the socket as EAGAIN, which OpenSSL reports
// as "want read/write". On a blocking socket nothing else gives that result, so it is
// read as the time limit having run out.

#include "platform/tls.h"
#include "platform/tls_rules.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <vector>

namespace zanpost::platform {

namespace {

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
};
struct BioFree {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* cert) const noexcept { X509_free(cert); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

// The oldest error of the queue in the library's words, then the queue emptied so that it
// cannot be blamed on a later call.
std::string library_words()
{
    const unsigned long code = ERR_peek_error();
    std::string words;
    if (code != 0) {
        const char* reason = ERR_reason_error_string(code);
        words = reason ? reason : "error " + std::to_string(ERR_GET_REASON(code));
    }
    ERR_clear_error();
    return words;
}

std::string sha256_of(X509* cert)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &length) != 1) return {};
    return fingerprint_text(digest, length);
}

std::string one_line(const X509_NAME* name)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE) < 0) return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, std::size_t(length)) : std::string();
}

std::string utc_text(const ASN1_TIME* time)
{
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

TlsCertificateInfo describe(X509* cert)
{
    TlsCertificateInfo info;
    info.subject = one_line(X509_get_subject_name(cert));
    info.issuer = one_line(X509_get_issuer_name(cert));
    info.not_before = utc_text(X509_get0_notBefore(cert));
    info.not_after = utc_text(X509_get0_notAfter(cert));
    info.sha256 = sha256_of(cert);
    return info;
}

// The chain as the server sent it, its own certificate first. The library keeps it on the
// session also when the verification refused it, before the session has a peer certificate.
std::vector<TlsCertificateInfo> presented_by(const SSL* ssl)
{
    std::vector<TlsCertificateInfo> certificates;
    if (STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl)) {
        for (int i = 0; i < sk_X509_num(chain); ++i) certificates.push_back(describe(sk_X509_value(chain, i)));
    }
    return certificates;
}

class OpenSslSession final : public TlsSession {
public:
    OpenSslSession(SslCtxPtr ctx, SslPtr ssl, TlsPeerInfo peer)
        : ctx_(std::move(ctx)), ssl_(std::move(ssl)), peer_(std::move(peer))
    {
    }

    IoResult send(const char* data, std::size_t length) override
    {
        if (broken_) return {IoStatus::failed, 0};
        if (length == 0) return {IoStatus::ok, 0};
        ERR_clear_error();
        errno = 0;
        std::size_t written = 0;
        const int done = SSL_write_ex(ssl_.get(), data, length, &written);
        if (done == 1) return {IoStatus::ok, written};
        return failure(done, errno);
    }

    IoResult receive(char* buffer, std::size_t size) override
    {
        if (broken_) return {IoStatus::failed, 0};
        if (size == 0) return {IoStatus::ok, 0};
        ERR_clear_error();
        errno = 0;
        std::size_t got = 0;
        const int done = SSL_read_ex(ssl_.get(), buffer, size, &got);
        if (done == 1) return {IoStatus::ok, got};
        return failure(done, errno);
    }

    void shutdown() noexcept override
    {
        // After a fatal error or a timeout the session's state is unknown; a close_notify
        // could not be trusted to mean anything, and the library forbids it.
        if (broken_) return;
        broken_ = true;
        ERR_clear_error();
        // One call sends our close_notify without waiting for the server's: the socket's
        // send limit is the longest this can take.
        SSL_shutdown(ssl_.get());
        ERR_clear_error();
    }

    const TlsPeerInfo& peer() const override { return peer_; }

private:
    IoResult failure(int result, int saved_errno)
    {
        const int error = SSL_get_error(ssl_.get(), result);
        IoResult outcome{IoStatus::failed, 0};
        switch (error) {
        case SSL_ERROR_ZERO_RETURN:
            // The server's close_notify: the stream ended in good order, and the server
            // may still take ours.
            ERR_clear_error();
            return {IoStatus::closed, 0};
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE: outcome.status = IoStatus::timed_out; break;
        case SSL_ERROR_SYSCALL:
            if (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK) outcome.status = IoStatus::timed_out;
            else if (saved_errno == 0 && ERR_peek_error() == 0) outcome.status = IoStatus::closed;
            break;
        case SSL_ERROR_SSL:
            // A connection cut without close_notify: the protocols above end their
            // answers themselves, so this is the end of the stream for them to judge.
            if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) outcome.status = IoStatus::closed;
            break;
        default: break;
        }
        ERR_clear_error();
        broken_ = true;
        errno = saved_errno;
        return outcome;
    }

    SslCtxPtr ctx_;
    SslPtr ssl_;
    TlsPeerInfo peer_;
    bool broken_ = false;
};

TlsStartResult fail(TlsFailure failure, std::string detail, std::vector<TlsCertificateInfo> presented = {})
{
    ERR_clear_error();
    TlsStartResult result;
    result.failure = failure;
    result.detail = std::move(detail);
    result.presented = std::move(presented);
    return result;
}

TlsFailure failure_of_verification(long verify_result)
{
    switch (verify_result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD: return TlsFailure::expired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return TlsFailure::name_mismatch;
    default: return TlsFailure::untrusted;
    }
}

// Readable and holding at least one certificate: anything else is the configuration's
// fault, and must not pass for a server whose certificate is not trusted.
bool load_ca_file(SSL_CTX* ctx, const std::string& path, std::string& detail)
{
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
        detail = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    probe.close();
    ERR_clear_error();
    if (SSL_CTX_load_verify_locations(ctx, path.c_str(), nullptr) != 1) {
        detail = "no certificate in " + path;
        const std::string words = library_words();
        if (!words.empty()) detail += ": " + words;
        return false;
    }
    return true;
}

}  // namespace

TlsStartResult tls_start(SocketHandle socket, const TlsOptions& options)
{
    ERR_clear_error();
    const TlsCheck check = tls_check(options);

    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) return fail(TlsFailure::handshake, library_words());
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_AUTO_RETRY);

    if (!check.chain_checked()) {
        // Decided after the handshake, on the certificate alone: the chain may be
        // self-signed and the name anything, and the CA file is not consulted.
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    } else {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
        if (!check.ca_file.empty()) {
            std::string detail;
            if (!load_ca_file(ctx.get(), check.ca_file, detail)) return fail(TlsFailure::ca_file, detail);
        } else if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
            return fail(TlsFailure::ca_file, "the system's certificate store: " + library_words());
        }
    }

    SslPtr ssl(SSL_new(ctx.get()));
    if (!ssl || SSL_set_fd(ssl.get(), socket) != 1) return fail(TlsFailure::handshake, library_words());

    if (!check.sni.empty() && SSL_set_tlsext_host_name(ssl.get(), check.sni.c_str()) != 1)
        return fail(TlsFailure::handshake, library_words());
    if (check.chain_checked()) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const int named = check.against == TlsCheck::Against::ip_address
                              ? X509_VERIFY_PARAM_set1_ip(param, check.address.bytes.data(), check.address.size)
                              : X509_VERIFY_PARAM_set1_host(param, check.name.c_str(), check.name.size());
        if (named != 1) return fail(TlsFailure::name_mismatch, "cannot check the name " + check.name);
    }

    ERR_clear_error();
    errno = 0;
    const int connected = SSL_connect(ssl.get());
    if (connected != 1) {
        const int error = SSL_get_error(ssl.get(), connected);
        const int saved_errno = errno;
        // Whatever broke the handshake, what the server had shown by then goes to the log.
        const auto failed = [&](TlsFailure failure, std::string detail) {
            return fail(failure, std::move(detail), presented_by(ssl.get()));
        };
        switch (error) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE: return failed(TlsFailure::timed_out, "no answer within the time limit");
        case SSL_ERROR_ZERO_RETURN: return failed(TlsFailure::closed, "the server closed the connection");
        case SSL_ERROR_SYSCALL:
            if (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK)
                return failed(TlsFailure::timed_out, "no answer within the time limit");
            if ((saved_errno == 0 && ERR_peek_error() == 0) || saved_errno == ECONNRESET || saved_errno == EPIPE)
                return failed(TlsFailure::closed, "the server closed the connection");
            if (saved_errno != 0) return failed(TlsFailure::handshake, std::strerror(saved_errno));
            return failed(TlsFailure::handshake, library_words());
        default: break;
        }
        const unsigned long code = ERR_peek_error();
        const long verified = SSL_get_verify_result(ssl.get());
        if (ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED && verified != X509_V_OK)
            return failed(failure_of_verification(verified), X509_verify_cert_error_string(verified));
        if (ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING)
            return failed(TlsFailure::closed, "the server closed the connection");
        std::string words = library_words();
        if (words.empty()) words = "the handshake failed";
        return failed(TlsFailure::handshake, words);
    }

    X509Ptr cert(SSL_get1_peer_certificate(ssl.get()));
    if (!cert) return fail(TlsFailure::untrusted, "the server sent no certificate");

    TlsPeerInfo peer;
    static_cast<TlsCertificateInfo&>(peer) = describe(cert.get());
    peer.version = SSL_get_version(ssl.get());
    peer.cipher = SSL_get_cipher_name(ssl.get());

    if (std::optional<TlsRefusal> refused = refusal_after_handshake(check, peer.sha256)) {
        // Say goodbye properly: the server has done nothing wrong by its own lights.
        SSL_shutdown(ssl.get());
        return fail(refused->failure, std::move(refused->detail), presented_by(ssl.get()));
    }

    TlsStartResult result;
    result.session = std::make_unique<OpenSslSession>(std::move(ctx), std::move(ssl), std::move(peer));
    return result;
}

}  // namespace zanpost::platform
