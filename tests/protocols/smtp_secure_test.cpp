// SMTP with TLS and logins against scripted servers: each case is the server's side, the
// exact bytes the client must send and how the delivery ends. The cases that hide or
// refuse STARTTLS, inject bytes, refuse the login or offer nothing usable must end before
// any secret or any of the message crosses the wire, and no trace may show a secret.

#include "protocols/smtp.h"

#include "secure_dialogue.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zanpost {
namespace {

using namespace zanpost::testing;
using M = SaslMechanism;

TEST(SmtpLogin, MechanismsExchangesAndRefusals)
{
    const SmtpCase cases[] = {
        {"a mechanism without a login changes nothing: HELO as always", TlsMode::none, "", M::plain, password,
         delivered(Conversation().say("220 mx").reply("250 hello")), helo() + envelope, std::nullopt},
        {"automatic without TLS takes CRAM-MD5 (RFC 2195's exchange)", TlsMode::none, "tim", M::automatic,
         "tanstaaftanstaaf",
         delivered(greeted({"PIPELINING", "AUTH PLAIN LOGIN CRAM-MD5", "8BITMIME"})
                       .reply("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+")
                       .reply("235 2.7.0 accepted")),
         ehlo() + "AUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n" + strict_envelope, std::nullopt},
        {"the older AUTH= form of the offer counts", TlsMode::none, "tim", M::automatic, "tanstaaftanstaaf",
         delivered(greeted({"AUTH=CRAM-MD5"})
                       .reply("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+")
                       .reply("235 accepted")),
         ehlo() + "AUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n" + strict_envelope, std::nullopt},
        {"automatic without TLS never sends a clear-text password", TlsMode::none, "jan", M::automatic, password,
         greeted({"AUTH PLAIN LOGIN", "AUTH=PLAIN LOGIN"}), ehlo(), SecureCause::auth_no_mechanism},
        {"a login and no AUTH offered: nothing of the message goes", TlsMode::none, "jan", M::automatic, password,
         greeted({"SIZE 10240000", "8BITMIME"}), ehlo(), SecureCause::auth_no_mechanism},
        {"a named mechanism is used as named", TlsMode::none, "jan", M::plain, password,
         delivered(greeted({"AUTH PLAIN LOGIN"}).reply("235 2.7.0 ok")),
         ehlo() + "AUTH PLAIN AGphbgB0YWpuZSBoZXNsbw==\r\n" + strict_envelope, std::nullopt},
        {"LOGIN answers the prompts in order", TlsMode::none, "jan", M::login, password,
         delivered(greeted({"AUTH LOGIN"}).reply("334 VXNlcm5hbWU6").reply("334 UGFzc3dvcmQ6").reply("235 ok")),
         ehlo() + "AUTH LOGIN\r\namFu\r\ndGFqbmUgaGVzbG8=\r\n" + strict_envelope, std::nullopt},
        {"a named mechanism the server does not offer", TlsMode::none, "jan", M::cram_md5, password,
         greeted({"AUTH PLAIN LOGIN XOAUTH2"}), ehlo(), SecureCause::auth_no_mechanism},
        {"XOAUTH2 token accepted", TlsMode::none, "someuser@example.com", M::xoauth2, token,
         delivered(greeted({"AUTH LOGIN PLAIN XOAUTH2"}).reply("235 2.7.0 Accepted")),
         ehlo() +
             "AUTH XOAUTH2 dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJo"
             "ZG1semRHRXVZMjl0Q2cBAQ==\r\n" +
             strict_envelope,
         std::nullopt},
        {"a token too long for the command line waits for the empty challenge", TlsMode::none, "u@example.com",
         M::xoauth2, std::string(400, 't'),
         delivered(greeted({"AUTH XOAUTH2"}).reply("334 ").reply("235 2.7.0 Accepted")),
         ehlo() + "AUTH XOAUTH2\r\n" + base64_encode("user=u@example.com\1auth=Bearer " + std::string(400, 't') + "\1\1") +
             "\r\n" + strict_envelope,
         std::nullopt},
        {"XOAUTH2 error detail answered with an empty line, then refused", TlsMode::none, "someuser@example.com",
         M::xoauth2, token,
         greeted({"AUTH XOAUTH2"})
             .reply("334 eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJodHRwczovL21haWwuZ29vZ2xlLmNvbS8ifQ==")
             .reply("535-5.7.8 Username and Password not accepted\r\n535 5.7.8 Learn more"),
         ehlo() +
             "AUTH XOAUTH2 dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJo"
             "ZG1semRHRXVZMjl0Q2cBAQ==\r\n\r\n",
         SecureCause::auth_refused},
        {"a refused login sends nothing of the message", TlsMode::none, "jan", M::plain, password,
         greeted({"AUTH PLAIN"}).reply("535 5.7.8 Authentication credentials invalid"),
         ehlo() + "AUTH PLAIN AGphbgB0YWpuZSBoZXNsbw==\r\n", SecureCause::auth_refused},
        {"a challenge that is not base64 is cancelled, not answered", TlsMode::none, "jan", M::login, password,
         greeted({"AUTH LOGIN"}).reply("334 U3!?").reply("501 5.5.2 cancelled"), ehlo() + "AUTH LOGIN\r\n*\r\n",
         SecureCause::auth_refused},
        {"a server that goes on after the cancel", TlsMode::none, "jan", M::plain, password,
         greeted({"AUTH PLAIN"}).reply("334 ").reply("334 "), ehlo() + "AUTH PLAIN AGphbgB0YWpuZSBoZXNsbw==\r\n*\r\n",
         SecureCause::auth_refused},
        {"EHLO refused: no fall-back to HELO", TlsMode::none, "jan", M::automatic, password,
         Conversation().say("220 mx").reply("502 5.5.1 command not implemented"), ehlo(), std::nullopt, 502},
        {"a mechanism that is no SMTP one: not even a connection", TlsMode::none, "jan", M::apop, password,
         Conversation(), "", SecureCause::configuration, 0, false, false},
    };
    for (const SmtpCase& c : cases) run(c);
}

TEST(SmtpTls, StartTlsIsMandatoryOnceConfigured)
{
    const SmtpCase cases[] = {
        {"STARTTLS hidden: fail, never on in clear text", TlsMode::starttls, "jan", M::automatic, password,
         greeted({"AUTH PLAIN LOGIN", "SIZE 1000"}), ehlo(), SecureCause::tls_not_offered},
        {"STARTTLS hidden, without a login as well", TlsMode::starttls, "", M::automatic, "",
         greeted({}), ehlo(), SecureCause::tls_not_offered},
        {"STARTTLS refused", TlsMode::starttls, "jan", M::automatic, password,
         greeted({"STARTTLS", "AUTH PLAIN"}).reply("454 4.7.0 TLS not available due to temporary reason"),
         ehlo() + "STARTTLS\r\n", SecureCause::tls_refused},
        {"bytes after the 220 of STARTTLS are an injection", TlsMode::starttls, "jan", M::plain, password,
         greeted({"STARTTLS", "AUTH PLAIN"}).reply("220 2.0.0 Ready to start TLS\r\n250-injected\r\n250 AUTH PLAIN"),
         ehlo() + "STARTTLS\r\n", SecureCause::tls_injection},
        {"a handshake that fails after the 220", TlsMode::starttls, "jan", M::plain, password,
         greeted({"STARTTLS", "AUTH PLAIN"}).reply("220 2.0.0 Ready to start TLS").close(),
         ehlo() + "STARTTLS\r\n", SecureCause::tls_handshake, 0, true},
        {"implicit TLS to a plain server: nothing in clear text", TlsMode::implicit, "jan", M::plain, password,
         greeted({"AUTH PLAIN"}), "", SecureCause::tls_handshake, 0, true},
    };
    for (const SmtpCase& c : cases) run(c);
}

}  // namespace
}  // namespace zanpost
