#pragma once
// A TLS client session over a connected socket: OpenSSL on POSIX, Schannel on Windows.
// The certificate is always checked by our own code, never left to the library's defaults:
// chain to a trusted root, validity dates, and the name; or, with a pin, the exact SHA-256
// of the server's certificate instead. TLS 1.2 at least.
//
// The socket's send and receive time limits (socket_set_timeout) bound every wait of the
// handshake and of every later send and receive.

#include "platform/sockets.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace zanpost::platform {

struct TlsOptions {
    // The name the certificate must carry, also sent as SNI (not for an IP literal, which
    // is checked against the certificate's IP addresses instead). With neither a name nor a
    // pin every certificate is refused, as name_mismatch.
    std::string server_name;
    // A PEM file whose certificates are the only trusted roots; empty: the system's store.
    std::string ca_file;
    // 64 lower-case hex digits: when set, the server certificate's SHA-256 must be exactly
    // this, which replaces the chain, date and name checks (ca_file is then not read).
    // Upper-case digits and colons between bytes are taken too; any other text is a pin that
    // no certificate matches.
    std::string pin_sha256;
};

// Why a handshake failed, as precisely as the backend can tell.
enum class TlsFailure {
    handshake,      // no TLS on the other side, no common version or cipher, or it broke off
    untrusted,      // the chain does not lead to a trusted root (a self-signed one included)
    name_mismatch,  // the certificate does not carry server_name, or there is none to check
    expired,        // outside its validity dates (or not yet valid)
    pin_mismatch,   // the SHA-256 is not the pinned one
    ca_file,        // the CA file cannot be read or holds no certificate
    timed_out,      // the peer said nothing within the socket's time limit
    closed,         // the peer ended the connection during the handshake
};

// One certificate as the log shows it.
struct TlsCertificateInfo {
    std::string subject;       // one-line distinguished names
    std::string issuer;
    std::string not_before;    // "YYYY-MM-DD HH:MM:SS UTC"
    std::string not_after;
    std::string sha256;        // 64 lower-case hex digits of the certificate's encoded bytes
};

// What the log tells of the session: filled after a successful handshake, the server's
// certificate included.
struct TlsPeerInfo : TlsCertificateInfo {
    std::string version;       // "TLSv1.3"
    std::string cipher;        // the library's name of the cipher suite
};

class TlsSession {
public:
    virtual ~TlsSession() = default;
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Moves application bytes; the same meaning as socket_send and socket_receive (a
    // receive may give fewer bytes than asked; `closed` when the peer ended the session or
    // the stream). Incomplete records and renegotiation are handled inside.
    virtual IoResult send(const char* data, std::size_t length) = 0;
    virtual IoResult receive(char* buffer, std::size_t size) = 0;
    // Sends close_notify, best effort; never raises, never waits longer than the socket's
    // time limit.
    virtual void shutdown() noexcept = 0;
    virtual const TlsPeerInfo& peer() const = 0;

protected:
    TlsSession() = default;
};

struct TlsStartResult {
    std::unique_ptr<TlsSession> session;  // null when the handshake failed
    TlsFailure failure = TlsFailure::handshake;
    std::string detail;                   // the library's own words, for the log
    // After a failure, the certificates the server presented, its own first, then the rest
    // of the chain it sent: a refused certificate is what an administrator has to see (an
    // intercepting proxy or antivirus shows up there, and its SHA-256 is what a pin needs).
    // Empty when the handshake ended before the server sent any.
    std::vector<TlsCertificateInfo> presented;
};

// Runs the handshake over `socket` (connected, time limits set). The socket stays owned by
// the caller and must outlive the session.
TlsStartResult tls_start(SocketHandle socket, const TlsOptions& options);

}  // namespace zanpost::platform
