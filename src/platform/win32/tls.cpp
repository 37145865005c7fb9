// TLS over Schannel (secur32): the handshake, the records, renegotiation and close_notify.
//
// Schannel is told to leave the certificate alone (manual validation): its automatic check
// differs between Windows versions and Wine does not enforce it at all, so a test under Wine
// would pass for a bad certificate. After the handshake our own check (tls_verify.cpp)
// decides.

#include "platform/tls.h"
#include "platform/tls_rules.h"

#include "platform/win32/tls_verify.h"

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace zanpost::platform::schannel {
namespace {

// ---------------------------------------------------------------------------------------
// Handles that free themselves

struct CredentialsHandle {
    CredHandle handle{};
    bool valid = false;
    CredentialsHandle() = default;
    CredentialsHandle(const CredentialsHandle&) = delete;
    CredentialsHandle& operator=(const CredentialsHandle&) = delete;
    ~CredentialsHandle()
    {
        if (valid) FreeCredentialsHandle(&handle);
    }
};

struct SecurityContext {
    CtxtHandle handle{};
    bool valid = false;
    SecurityContext() = default;
    SecurityContext(const SecurityContext&) = delete;
    SecurityContext& operator=(const SecurityContext&) = delete;
    ~SecurityContext()
    {
        if (valid) DeleteSecurityContext(&handle);
    }
    CtxtHandle* get() { return valid ? &handle : nullptr; }
    void reset()
    {
        if (valid) DeleteSecurityContext(&handle);
        valid = false;
    }
};

struct ContextBufferFree {
    void operator()(void* buffer) const { FreeContextBuffer(buffer); }
};
using ContextBuffer = std::unique_ptr<void, ContextBufferFree>;

// ---------------------------------------------------------------------------------------
// What the log tells of the session

std::string narrow(const WCHAR* text)
{
    std::string result;
    for (; *text; ++text) result += *text < 0x80 ? char(*text) : '?';
    return result;
}

std::string protocol_name(DWORD protocol)
{
    if (protocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
    if (protocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
    if (protocol & SP_PROT_TLS1_1_CLIENT) return "TLSv1.1";
    if (protocol & SP_PROT_TLS1_0_CLIENT) return "TLSv1";
    return "protocol " + hex_status(long(protocol));
}

std::string algorithm_name(ALG_ID id, DWORD strength)
{
    switch (id) {
    case CALG_AES_128: return "AES-128";
    case CALG_AES_256: return "AES-256";
    case CALG_AES: return "AES-" + std::to_string(strength);
    case CALG_3DES: return "3DES";
    case CALG_RC4: return "RC4";
    case CALG_SHA1: return "SHA1";
    case CALG_SHA_256: return "SHA256";
    case CALG_SHA_384: return "SHA384";
    case CALG_MD5: return "MD5";
    case CALG_RSA_KEYX: return "RSA";
    case CALG_DH_EPHEM: return "DHE";
    case CALG_ECDH: return "ECDH";
    case CALG_ECDH_EPHEM: return "ECDHE";
    default: return "alg " + hex_status(long(id));
    }
}

// ---------------------------------------------------------------------------------------
// The session

constexpr DWORD request_flags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY
                                | ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM
                                | ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;

struct Step {
    bool ok = false;
    TlsFailure failure = TlsFailure::handshake;
    std::string detail;
};

Step done()
{
    return {true, TlsFailure::handshake, {}};
}

class SchannelSession final : public TlsSession {
public:
    explicit SchannelSession(SocketHandle socket) : socket_(socket) {}

    Step start(const TlsCheck& check);

    IoResult send(const char* data, std::size_t length) override;
    IoResult receive(char* buffer, std::size_t size) override;
    void shutdown() noexcept override;
    const TlsPeerInfo& peer() const override { return peer_; }
    // What the server presented, once the handshake got that far.
    std::vector<TlsCertificateInfo> take_presented() { return std::move(presented_); }

private:
    Step acquire_credentials();
    Step handshake(bool initial);
    Step send_all(const char* data, std::size_t length);
    Step read_more();
    Step describe_and_verify(const TlsCheck& check);

    SocketHandle socket_;
    std::string target_;  // the SNI name, empty for an IP literal
    CredentialsHandle credentials_;
    SecurityContext context_;
    SecPkgContext_StreamSizes sizes_{};
    std::string incoming_;      // bytes from the socket not yet handed to Schannel
    std::string outgoing_;      // the record being sent, kept for its capacity
    std::string plain_;         // decrypted bytes not yet given to the caller
    std::size_t plain_at_ = 0;  // how many of them were given
    bool ended_ = false;        // close_notify seen, or the stream ended
    TlsPeerInfo peer_;
    std::vector<TlsCertificateInfo> presented_;
};

Step io_failure(IoStatus status, const char* during)
{
    switch (status) {
    case IoStatus::timed_out: return {false, TlsFailure::timed_out, std::string("no answer within the time limit ") + during};
    case IoStatus::closed: return {false, TlsFailure::closed, std::string("the server closed the connection ") + during};
    default: return {false, TlsFailure::handshake, std::string("the connection failed ") + during};
    }
}

Step SchannelSession::acquire_credentials()
{
    // TLS 1.3 where the system has it; a system that refuses the flag in this structure
    // (Windows 11 wants another one for 1.3; Wine has only 1.2) gets 1.2 alone.
    SECURITY_STATUS status = SEC_E_INTERNAL_ERROR;
    for (DWORD protocols : {DWORD(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT), DWORD(SP_PROT_TLS1_2_CLIENT)}) {
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = protocols;
        cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        TimeStamp expiry{};
        status = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                           &cred, nullptr, nullptr, &credentials_.handle, &expiry);
        if (status == SEC_E_OK) {
            credentials_.valid = true;
            return done();
        }
    }
    return {false, TlsFailure::handshake, "AcquireCredentialsHandle failed: " + hex_status(status)};
}

Step SchannelSession::send_all(const char* data, std::size_t length)
{
    std::size_t sent_count = 0;
    while (sent_count < length) {
        const IoResult sent = socket_send(socket_, data + sent_count, length - sent_count);
        if (sent.status != IoStatus::ok) return io_failure(sent.status, "while sending");
        sent_count += sent.count;
    }
    return done();
}

Step SchannelSession::read_more()
{
    const std::size_t chunk = 16384 + 512;
    const std::size_t had = incoming_.size();
    incoming_.resize(had + chunk);
    const IoResult got = socket_receive(socket_, incoming_.data() + had, chunk);
    incoming_.resize(had + (got.status == IoStatus::ok ? got.count : 0));
    if (got.status != IoStatus::ok) return io_failure(got.status, "during the TLS handshake");
    return done();
}

// Keeps only the bytes Schannel did not use: those an EXTRA buffer names, at the end of
// what it was given.
void keep_extra(std::string& incoming, const SecBuffer& extra)
{
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= incoming.size())
        incoming.erase(0, incoming.size() - extra.cbBuffer);
    else
        incoming.clear();
}

Step SchannelSession::handshake(bool initial)
{
    char* target = target_.empty() ? nullptr : target_.data();
    DWORD attributes = 0;
    // A renegotiation first offers Schannel what is left over from the record that asked
    // for it (Windows leaves the request there), and reads only when it asks for more.
    bool need_input = false;
    bool first = initial;
    // Wine keeps the request to itself and then wants a record it will never get: the
    // server waits for our answer. TLS 1.2 lets a client decline, so it does: the
    // session goes on, and a server that insists ends it.
    bool may_decline = !initial && incoming_.empty();
    bool looked_at_answer = !initial;
    for (;;) {
        if (need_input) {
            const Step read = read_more();
            if (!read.ok) return read;
        }
        // A server's first answer is a TLS record: handshake or alert, version 3.x. Anything
        // else is a plain-text server (a greeting) - said now, not after waiting for as
        // many bytes as the greeting's letters would announce as a record length.
        if (!looked_at_answer && !incoming_.empty()) {
            looked_at_answer = true;
            const auto type = static_cast<unsigned char>(incoming_[0]);
            if ((type != 0x16 && type != 0x15) || (incoming_.size() > 1 && incoming_[1] != 0x03))
                return {false, TlsFailure::handshake, "the server does not answer in TLS"};
        }
        SecBuffer in[2]{};
        in[0].BufferType = SECBUFFER_TOKEN;
        in[0].pvBuffer = incoming_.data();
        in[0].cbBuffer = static_cast<unsigned long>(incoming_.size());
        in[1].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
        SecBuffer out[1]{};
        out[0].BufferType = SECBUFFER_TOKEN;
        SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};

        const SECURITY_STATUS status = InitializeSecurityContextA(
            &credentials_.handle, first ? nullptr : context_.get(), target, request_flags, 0, 0,
            first ? nullptr : &in_desc, 0, first ? &context_.handle : nullptr, &out_desc, &attributes, nullptr);
        if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) context_.valid = true;
        first = false;
        const ContextBuffer token(out[0].pvBuffer);

        if (status == SEC_E_INCOMPLETE_MESSAGE && may_decline) return done();
        may_decline = false;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            need_input = true;
            continue;
        }
        // A token goes out even with a failure: with an extended error it is the alert
        // that tells the server why.
        if (token && out[0].cbBuffer > 0) {
            const Step sent = send_all(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
            if (!sent.ok) return sent;
        }
        if (status == SEC_E_OK) {
            keep_extra(incoming_, in[1]);
            return done();
        }
        if (status == SEC_I_CONTINUE_NEEDED) {
            keep_extra(incoming_, in[1]);
            need_input = incoming_.empty();
            continue;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asks for a client certificate: we have none, and say so by
            // answering without one.
            need_input = false;
            continue;
        }
        return {false, TlsFailure::handshake, "TLS handshake failed: " + hex_status(status)};
    }
}

Step SchannelSession::describe_and_verify(const TlsCheck& check)
{
    PCCERT_CONTEXT remote = nullptr;
    const SECURITY_STATUS got = QueryContextAttributesA(&context_.handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote);
    if (got != SEC_E_OK || remote == nullptr)
        return {false, TlsFailure::untrusted, "the server sent no certificate (" + hex_status(got) + ")"};
    const Certificate leaf(remote);

    SecPkgContext_ConnectionInfo connection{};
    if (QueryContextAttributesA(&context_.handle, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK) {
        peer_.version = protocol_name(connection.dwProtocol);
        peer_.cipher = algorithm_name(connection.aiExch, connection.dwExchStrength) + "-"
                       + algorithm_name(connection.aiCipher, connection.dwCipherStrength) + "-"
                       + algorithm_name(connection.aiHash, connection.dwHashStrength);
    }
    // The suite's own name where the system tells it (Windows Vista and later).
    SecPkgContext_CipherInfo suite{};
    suite.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesA(&context_.handle, SECPKG_ATTR_CIPHER_INFO, &suite) == SEC_E_OK
        && suite.szCipherSuite[0]) {
        const std::string name = narrow(suite.szCipherSuite);
        if (name.find('<') == std::string::npos) peer_.cipher = name;  // Wine leaves parts "<unknown>"
    }

    // Kept for the log in case the check below refuses it.
    presented_ = presented_by(leaf.get());
    static_cast<TlsCertificateInfo&>(peer_) = presented_.front();

    const Verdict verdict = verify_certificate(leaf.get(), peer_.sha256, check);
    if (!verdict.ok) return {false, verdict.failure, verdict.detail};
    return done();
}

Step SchannelSession::start(const TlsCheck& check)
{
    target_ = check.sni;
    Step step = acquire_credentials();
    if (step.ok) step = handshake(true);
    if (step.ok) step = describe_and_verify(check);
    if (step.ok && QueryContextAttributesA(&context_.handle, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK)
        step = {false, TlsFailure::handshake, "the TLS session has no record sizes"};
    // A refused certificate: the session itself stands, so end it politely.
    if (!step.ok && step.failure != TlsFailure::handshake && step.failure != TlsFailure::timed_out
        && step.failure != TlsFailure::closed)
        shutdown();
    return step;
}

IoResult SchannelSession::send(const char* data, std::size_t length)
{
    if (!context_.valid) return {IoStatus::closed, 0};
    if (length == 0) return {IoStatus::ok, 0};
    const std::size_t count = std::min<std::size_t>(length, sizes_.cbMaximumMessage);
    std::string& record = outgoing_;
    record.resize(sizes_.cbHeader + count + sizes_.cbTrailer);
    std::memcpy(record.data() + sizes_.cbHeader, data, count);
    SecBuffer buffers[4]{};
    buffers[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
    buffers[1] = {static_cast<unsigned long>(count), SECBUFFER_DATA, record.data() + sizes_.cbHeader};
    buffers[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + count};
    buffers[3].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&context_.handle, 0, &desc, 0) != SEC_E_OK) return {IoStatus::failed, 0};
    const std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
    const Step sent = send_all(record.data(), total);
    if (!sent.ok) return {sent.failure == TlsFailure::timed_out ? IoStatus::timed_out : IoStatus::failed, 0};
    return {IoStatus::ok, count};
}

IoResult SchannelSession::receive(char* buffer, std::size_t size)
{
    for (;;) {
        if (plain_at_ < plain_.size()) {
            const std::size_t count = std::min(size, plain_.size() - plain_at_);
            std::memcpy(buffer, plain_.data() + plain_at_, count);
            plain_at_ += count;
            return {IoStatus::ok, count};
        }
        plain_.clear();
        plain_at_ = 0;
        if (ended_ || !context_.valid) return {IoStatus::closed, 0};

        if (!incoming_.empty()) {
            SecBuffer buffers[4]{};
            buffers[0] = {static_cast<unsigned long>(incoming_.size()), SECBUFFER_DATA, incoming_.data()};
            for (int i = 1; i < 4; ++i) buffers[i].BufferType = SECBUFFER_EMPTY;
            SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
            const auto record_type = static_cast<unsigned char>(incoming_[0]);
            const SECURITY_STATUS status = DecryptMessage(&context_.handle, &desc, 0, nullptr);
            if (status != SEC_E_INCOMPLETE_MESSAGE) {
                if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
                            return {IoStatus::failed, 0};
                }
                // Decrypted in place: take the data out before the input is cut down.
                const SecBuffer* extra = nullptr;
                for (const SecBuffer& b : buffers) {
                    if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0)
                        plain_.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
                    if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0) extra = &b;
                }
                if (extra) keep_extra(incoming_, *extra);
                else incoming_.clear();
                // Wine reports a TLS 1.2 close_notify as an empty record; any alert after
                // the handshake ends the session all the same.
                const bool alert = status == SEC_E_OK && plain_.empty() && record_type == 0x15;
                if (status == SEC_I_CONTEXT_EXPIRED || alert) {
                    ended_ = true;  // close_notify: what is left over means nothing
                    incoming_.clear();
                } else if (status == SEC_I_RENEGOTIATE) {
                    // The server speaks handshake again (a renegotiation, or TLS 1.3 tickets
                    // and key updates): the bytes it left over belong to that handshake.
                    const Step again = handshake(false);
                    if (!again.ok)
                        return {again.failure == TlsFailure::timed_out ? IoStatus::timed_out : IoStatus::failed, 0};
                }
                continue;
            }
        }
        // More bytes from the socket for a whole record.
        const std::size_t had = incoming_.size();
        const std::size_t chunk = std::max<std::size_t>(
            sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer, 16384 + 512);
        incoming_.resize(had + chunk);
        const IoResult got = socket_receive(socket_, incoming_.data() + had, chunk);
        incoming_.resize(had + (got.status == IoStatus::ok ? got.count : 0));
        if (got.status == IoStatus::closed) {
            ended_ = true;  // the stream ended without close_notify: nothing more comes
            return {IoStatus::closed, 0};
        }
        if (got.status != IoStatus::ok) return {got.status, 0};
    }
}

void SchannelSession::shutdown() noexcept
{
    if (!context_.valid || !credentials_.valid) return;
    DWORD kind = SCHANNEL_SHUTDOWN;
    SecBuffer in{sizeof kind, SECBUFFER_TOKEN, &kind};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 1, &in};
    if (ApplyControlToken(&context_.handle, &in_desc) != SEC_E_OK) return;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
    DWORD attributes = 0;
    char* target = target_.empty() ? nullptr : target_.data();
    const SECURITY_STATUS status = InitializeSecurityContextA(&credentials_.handle, &context_.handle, target,
                                                              request_flags, 0, 0, nullptr, 0, nullptr, &out_desc,
                                                              &attributes, nullptr);
    const ContextBuffer token(out.pvBuffer);
    if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && token && out.cbBuffer > 0)
        send_all(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
    // Once is enough: a second close_notify would be a protocol error.
    ended_ = true;
    context_.reset();
}

}  // namespace
}  // namespace zanpost::platform::schannel

namespace zanpost::platform {

TlsStartResult tls_start(SocketHandle socket, const TlsOptions& options)
{
    auto session = std::make_unique<schannel::SchannelSession>(socket);
    const schannel::Step step = session->start(tls_check(options));
    TlsStartResult result;
    if (step.ok) {
        result.session = std::move(session);
    } else {
        result.failure = step.failure;
        result.detail = step.detail;
        result.presented = session->take_presented();
    }
    return result;
}

}  // namespace zanpost::platform
