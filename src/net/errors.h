#pragma once
// The failures of the network layer. Everything that goes wrong on a connection leaves
// through one of these three, so a job can catch ETcpIpError and know it covers them all.

#include "rtl/exceptions.h"

#include <cstdint>
#include <string>

namespace zanpost {

// A connection that could not be made or that broke: an unknown host, a lost or timed-out
// connection, a send the peer did not take.
class ETcpIpError : public Exception {
public:
    explicit ETcpIpError(const std::string& message) : Exception("ETcpIpError", message) {}

protected:
    ETcpIpError(const std::string& kind, const std::string& message) : Exception(kind, message) {}
};

// The platform refused to create or connect a socket; ErrorNumber is its Windows Sockets
// error number (10061 for a refused connection, 10060 for one that ran out of time).
class ESocketError : public ETcpIpError {
public:
    explicit ESocketError(int error_number)
        : ETcpIpError("ESocketError", "Error creating socket"), ErrorNumber(std::uint16_t(error_number)) {}

    std::uint16_t ErrorNumber;
};

// A server refused a step of its dialogue. ReplyNumber is the SMTP reply code, or for POP3
// 500 ("-ERR") and 999 (a status line that is neither "+OK" nor "-ERR").
class EProtocolError : public ETcpIpError {
public:
    EProtocolError(const std::string& protocol, const std::string& message, int reply_number)
        : ETcpIpError("EProtocolError", message), ReplyNumber(std::uint16_t(reply_number)), Protocol(protocol) {}

    std::uint16_t ReplyNumber;
    std::string Protocol;
};

// A clean refusal of a plain login (POP3 USER or PASS answered "-ERR"): a refused step like
// any other, the dialogue still in step, but one the user can be told is the login.
class ELoginRefused : public EProtocolError {
public:
    ELoginRefused(const std::string& protocol, const std::string& message) : EProtocolError(protocol, message, 500) {}
};

// Why a secured connection or a login failed. The jobs name each cause to the user in a
// line of their own.
enum class SecureCause {
    tls_handshake,     // no TLS on the other side (a plain port), no common version, broken off
    tls_untrusted,     // the certificate does not chain to a trusted root
    tls_name,          // the certificate is for another name
    tls_expired,       // the certificate is outside its validity dates
    tls_pin,           // the certificate is not the pinned one
    tls_ca_file,       // the configured CA file cannot be read
    tls_not_offered,   // the server does not offer STARTTLS / STLS
    tls_refused,       // the server refused STARTTLS / STLS
    tls_injection,     // the server sent more than its go-ahead before the handshake
    auth_refused,      // the server refused the login
    auth_no_mechanism, // a login is configured, but nothing the server offers may carry it
    password_command,  // the password command failed, timed out or printed nothing
    configuration,     // a configured value is not one of those allowed
    // The OAuth token that a login needs could not be had:
    oauth_unreachable,     // the token service cannot be reached, or failed (5xx)
    oauth_untrusted,       // the token service's certificate was refused
    oauth_client_refused,  // the application, its secret or certificate, or its rights
    oauth_grant_expired,   // the stored sign-in expired or was revoked
    oauth_not_enrolled,    // no one has signed in yet
    oauth_key,             // Certifikat or KlicUctu cannot be read or used
    oauth_bad_answer,      // the service answered something that is not a token
    oauth_cache,           // the token cache could not be had within the time limit
    oauth_declined,        // the person refused the sign-in
    oauth_code_expired,    // the sign-in was not finished in time
};

// A connection that could not be secured, or a login that did not succeed. Derived from
// ETcpIpError so that every existing catch still covers it; the connection is closed.
class ESecureError : public ETcpIpError {
public:
    ESecureError(SecureCause cause, const std::string& message)
        : ETcpIpError("ESecureError", message), Cause(cause) {}

    SecureCause Cause;
};

}  // namespace zanpost
