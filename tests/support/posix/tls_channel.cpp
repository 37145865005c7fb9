// The server's side of TLS for the scripted servers, on OpenSSL.

#include "support/tls_channel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace zanpost::testing {

namespace {

struct CtxFree {
    void operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
};

std::string library_error()
{
    char text[256] = "no detail";
    if (const unsigned long code = ERR_get_error(); code != 0) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

class OpenSslChannel final : public ServerTlsChannel {
public:
    OpenSslChannel(std::unique_ptr<SSL_CTX, CtxFree> ctx, std::unique_ptr<SSL, SslFree> ssl)
        : ctx_(std::move(ctx)), ssl_(std::move(ssl))
    {
    }
    ~OpenSslChannel() override
    {
        if (!broken_) SSL_shutdown(ssl_.get());
        ERR_clear_error();
    }

    bool send_all(const std::string& bytes) override
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            std::size_t written = 0;
            if (SSL_write_ex(ssl_.get(), bytes.data() + done, bytes.size() - done, &written) != 1) {
                broken_ = true;
                ERR_clear_error();
                return false;
            }
            done += written;
        }
        return true;
    }

    platform::IoResult receive(char* buffer, std::size_t size) override
    {
        std::size_t got = 0;
        const int done = SSL_read_ex(ssl_.get(), buffer, size, &got);
        if (done == 1) return {platform::IoStatus::ok, got};
        const int error = SSL_get_error(ssl_.get(), done);
        ERR_clear_error();
        if (error == SSL_ERROR_ZERO_RETURN) return {platform::IoStatus::closed, 0};
        broken_ = true;
        return {platform::IoStatus::failed, 0};
    }

    bool renegotiate() override
    {
        const bool asked = SSL_renegotiate(ssl_.get()) == 1 && SSL_do_handshake(ssl_.get()) == 1;
        ERR_clear_error();
        return asked;
    }

private:
    std::unique_ptr<SSL_CTX, CtxFree> ctx_;
    std::unique_ptr<SSL, SslFree> ssl_;
    bool broken_ = false;
};

}  // namespace

std::unique_ptr<ServerTlsChannel> server_tls_accept(platform::SocketHandle connection, const ServerTls& tls,
                                                    std::string& error)
{
    ERR_clear_error();
    std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx.get(), tls.certificate_file.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx.get(), tls.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        error = "server certificate: " + library_error();
        return nullptr;
    }
    if (tls.tls12_only) SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
    if (!ssl || SSL_set_fd(ssl.get(), connection) != 1 || SSL_accept(ssl.get()) != 1) {
        error = "handshake: " + library_error();
        return nullptr;
    }
    return std::make_unique<OpenSslChannel>(std::move(ctx), std::move(ssl));
}

}  // namespace zanpost::testing
