#pragma once
// The harness of the secure dialogue tables: each case is a scripted server's side, the
// exact bytes the client must send and how the dialogue ends. run() also checks what every
// case must keep: a failed TLS or login closes the connection, and no trace, no failure
// message shows the secret or any line of a login exchange.

#include "net/tcpip.h"
#include "protocols/sasl.h"
#include "support/scripted_server.h"
#include "support/trace_log.h"

#include <initializer_list>
#include <optional>
#include <string>

namespace zanpost::testing {

inline const std::string password = "tajne heslo";
inline const std::string token = "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg";
// jan / tajne heslo as PLAIN, and someuser@example.com / token as XOAUTH2, base64-encoded.
inline const std::string plain_login = "AGphbgB0YWpuZSBoZXNsbw==";
inline const std::string xoauth2_login =
    "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZMjl0Q2cB"
    "AQ==";

// Any of the clients pointed at the scripted server with the case's security and login.
template <class Client, class Case>
void aim_at(Client& client, const ScriptedServer& server, const Case& c, TraceLog& log)
{
    client.OnTrace = log.proc();
    client.Hostname = "127.0.0.1";
    client.Port = server.port();
    client.Timeout = 3;
    client.Tls = c.tls;
    client.Mechanism = c.mechanism;
    client.UserName = c.user;
    client.Password = c.secret;
}

// A login of POP3 or IMAP.
struct LoginCase {
    const char* what;
    TlsMode tls;
    SaslMechanism mechanism;
    std::string user;
    std::string secret;
    Conversation server;
    std::string sent;                  // every byte the client must send, in order
    std::optional<SecureCause> cause;  // none: logged in
};

// SMTP. The client sends MAIL FROM jan@example.cz, RCPT TO eva@example.cz and a message.

std::string ehlo();
std::string helo();
// The reply to EHLO: the server's name, then one line per extension.
std::string extensions(std::initializer_list<const char*> lines);
// The greeting and the answer to EHLO.
Conversation greeted(std::initializer_list<const char*> offered);
// MAIL FROM, RCPT TO, DATA and the message accepted.
Conversation delivered(Conversation c);
// What the client sends of the envelope and the message: after HELO as it always has,
// after EHLO without the blank before the path, as RFC 5321 has it.
extern const std::string envelope;
extern const std::string strict_envelope;

struct SmtpCase {
    const char* what;
    TlsMode tls;
    std::string user;  // empty: no login
    SaslMechanism mechanism;
    std::string secret;
    Conversation server;
    std::string sent;                  // every byte the client must send, in order
    std::optional<SecureCause> cause;  // none: the message is delivered (or refused_code)
    int refused_code = 0;              // an EProtocolError with this code
    // The client goes on to a TLS handshake after `sent`: the bytes that follow are the
    // backend's, and none of them may be a command or a secret.
    bool handshake_follows = false;
    bool connects = true;
};

void run(const SmtpCase& c);

// POP3. A login that succeeds is followed by the listing of one message and QUIT.

extern const char* const stamped_greeting;  // RFC 1939's, with an APOP stamp
std::string capabilities(std::initializer_list<const char*> lines);
// The greeting and the answer to CAPA.
Conversation capa(std::initializer_list<const char*> lines, const char* greeting = "+OK Dovecot ready.");
// The answer to the login's last step, the listing of one message and the goodbye.
Conversation listed(Conversation c, const char* login_accepted = "+OK Logged in.");
extern const std::string after_login;

// A POP3 case's cause none: logged in and listed, or refused with refused_code.
struct Pop3Case : LoginCase {
    int refused_code = 0;            // an EProtocolError with this number
    bool handshake_follows = false;  // as for SMTP
};

void run(const Pop3Case& c);

}  // namespace zanpost::testing
