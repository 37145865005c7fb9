#pragma once
// The login mechanisms the SMTP and POP3 clients share.

namespace zanpost {

enum class SaslMechanism {
    automatic,  // chosen from what the server offers; never a clear-text password without TLS
    user,       // POP3 USER and PASS
    apop,       // POP3 APOP (an MD5 digest of the greeting's stamp and the password)
    plain,
    login,
    cram_md5,
    xoauth2,    // the password is an OAuth 2.0 access token
};

}  // namespace zanpost
