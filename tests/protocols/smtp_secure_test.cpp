// SMTP with TLS and logins against scripted servers: each case is the server's side, the
// exact bytes the client must send and how the delivery ends. The cases that hide or
// refuse STARTTLS, inject bytes, refuse the login or offer nothing usable must end before
// any secret or any of the message crosses the wire, and no trace may show a secret.

#include "protocols/smtp.h"

#include "support/scripted_server.h"
#include "support/trace_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace zanpost {
namespace {

using testing::Conversation;
using testing::ScriptedServer;
using testing::TraceLog;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string password = "tajne heslo";
const std::string token = "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg";

std::string ehlo() { return "EHLO " + local_host_name() + "\r\n"; }
std::string helo() { return "HELO " + local_host_name() + "\r\n"; }

// The reply to EHLO: the server's name, then one line per extension.
std::string extensions(std::initializer_list<const char*> lines)
{
    std::string reply = "250";
    reply += lines.size() == 0 ? " " : "-";
    reply += "mx.example.cz greets you";
    std::size_t left = lines.size();
    for (const char* line : lines) reply += std::string("\r\n250") + (--left == 0 ? " " : "-") + line;
    return reply;
}

// The greeting and the answer to EHLO.
Conversation greeted(std::initializer_list<const char*> offered)
{
    return Conversation().say("220 mx.example.cz ESMTP").reply(extensions(offered));
}

// MAIL FROM, RCPT TO, DATA and the message accepted.
Conversation delivered(Conversation c)
{
    return c.reply("250 sender ok").reply("250 recipient ok").reply("354 go ahead").await_data().say("250 queued");
}

const std::string envelope =
    "MAIL FROM: <jan@example.cz>\r\nRCPT TO: <eva@example.cz>\r\nDATA\r\nSubject: test\r\n\r\nbody\r\n.\r\n";

struct SmtpCase {
    const char* what;
    TlsMode tls;
    std::string user;  // empty: no login
    SaslMechanism mechanism;
    std::string secret;
    Conversation server;
    std::string sent;  // every byte the client must send, in order
    std::optional<SecureCause> cause;  // none: the message is delivered (or refused_code)
    int refused_code = 0;              // an EProtocolError with this code
    // The client goes on to a TLS handshake after `sent`: the bytes that follow are the
    // backend's, and none of them may be a command or a secret.
    bool handshake_follows = false;
    bool connects = true;
};

// What the trace must show for the command lines of `sent`: a login's lines masked.
std::vector<std::string> traced_commands(const std::string& sent, std::vector<std::string>& exchange)
{
    std::vector<std::string> traced;
    bool in_login = false;
    std::size_t at = 0;
    while (at < sent.size()) {
        const std::size_t end = sent.find("\r\n", at);
        const std::string line = sent.substr(at, end - at);
        at = end + 2;
        if (in_login && !line.starts_with("MAIL FROM")) {
            traced.push_back(line == "*" ? "*" : "*****");
            if (!line.empty() && line != "*") exchange.push_back(line);
            continue;
        }
        in_login = false;
        if (line.starts_with("AUTH ")) {
            in_login = true;
            const std::size_t second_blank = line.find(' ', 5);
            if (second_blank != std::string::npos) {
                exchange.push_back(line.substr(second_blank + 1));
                traced.push_back(line.substr(0, second_blank) + " *****");
                continue;
            }
        }
        traced.push_back(line);
        if (line == "DATA") break;  // the message's lines are never traced
    }
    return traced;
}

void run(const SmtpCase& c)
{
    SCOPED_TRACE(c.what);
    ScriptedServer server(c.server);
    TraceLog log;
    std::optional<SecureCause> cause;
    std::string failure;
    int refused_code = 0;
    {
        T_SMTP client;
        client.OnTrace = log.proc();
        client.Hostname = "127.0.0.1";
        client.Port = server.port();
        client.Timeout = 3;
        client.Tls = c.tls;
        client.UserName = c.user;
        client.Password = c.secret;
        client.Mechanism = c.mechanism;
        client.MailFrom = "jan@example.cz";
        client.MailTo = {"eva@example.cz"};
        client.MailData = {"Subject: test", "", "body"};
        try {
            client.Action();
        } catch (const ESecureError& e) {
            cause = e.Cause;
            failure = e.message();
            // Whatever failed to be secured or logged in, the connection is gone with it.
            EXPECT_FALSE(client.Connected);
            EXPECT_EQ(client.Socket, platform::invalid_socket);
        } catch (const EProtocolError& e) {
            refused_code = e.ReplyNumber;
            failure = e.message();
        }
        client.Logout();
    }

    EXPECT_EQ(cause, c.cause) << failure;
    EXPECT_EQ(refused_code, c.refused_code) << failure;
    const std::string& transcript = server.transcript();
    if (c.handshake_follows) {
        ASSERT_TRUE(transcript.starts_with(c.sent)) << transcript;
        const std::string handshake = transcript.substr(c.sent.size());
        for (const char* command : {"EHLO", "AUTH", "MAIL FROM", "RCPT", "DATA"})
            EXPECT_THAT(handshake, Not(HasSubstr(command)));
        if (!c.secret.empty()) {
            EXPECT_THAT(handshake, Not(HasSubstr(c.secret)));
        }
    } else {
        EXPECT_EQ(transcript, c.sent);
    }
    EXPECT_EQ(server.connections(), c.connects ? 1u : 0u);

    std::vector<std::string> exchange;
    EXPECT_EQ(log.at(trace_sent), traced_commands(c.sent, exchange));
    for (const std::string& received : log.at(trace_received))
        if (received.starts_with("334")) {
            EXPECT_EQ(received, "334 *****");
        }
    if (c.secret.empty()) return;
    for (const auto& [text, level] : log.entries) {
        EXPECT_THAT(text, Not(HasSubstr(c.secret)));
        for (const std::string& line : exchange) EXPECT_THAT(text, Not(HasSubstr(line)));
    }
    EXPECT_THAT(failure, Not(HasSubstr(c.secret)));
}

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
         ehlo() + "AUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n" + envelope, std::nullopt},
        {"the older AUTH= form of the offer counts", TlsMode::none, "tim", M::automatic, "tanstaaftanstaaf",
         delivered(greeted({"AUTH=CRAM-MD5"})
                       .reply("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+")
                       .reply("235 accepted")),
         ehlo() + "AUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n" + envelope, std::nullopt},
        {"automatic without TLS never sends a clear-text password", TlsMode::none, "jan", M::automatic, password,
         greeted({"AUTH PLAIN LOGIN", "AUTH=PLAIN LOGIN"}), ehlo(), SecureCause::auth_no_mechanism},
        {"a login and no AUTH offered: nothing of the message goes", TlsMode::none, "jan", M::automatic, password,
         greeted({"SIZE 10240000", "8BITMIME"}), ehlo(), SecureCause::auth_no_mechanism},
        {"a named mechanism is used as named", TlsMode::none, "jan", M::plain, password,
         delivered(greeted({"AUTH PLAIN LOGIN"}).reply("235 2.7.0 ok")),
         ehlo() + "AUTH PLAIN AGphbgB0YWpuZSBoZXNsbw==\r\n" + envelope, std::nullopt},
        {"LOGIN answers the prompts in order", TlsMode::none, "jan", M::login, password,
         delivered(greeted({"AUTH LOGIN"}).reply("334 VXNlcm5hbWU6").reply("334 UGFzc3dvcmQ6").reply("235 ok")),
         ehlo() + "AUTH LOGIN\r\namFu\r\ndGFqbmUgaGVzbG8=\r\n" + envelope, std::nullopt},
        {"a named mechanism the server does not offer", TlsMode::none, "jan", M::cram_md5, password,
         greeted({"AUTH PLAIN LOGIN XOAUTH2"}), ehlo(), SecureCause::auth_no_mechanism},
        {"XOAUTH2 token accepted", TlsMode::none, "someuser@example.com", M::xoauth2, token,
         delivered(greeted({"AUTH LOGIN PLAIN XOAUTH2"}).reply("235 2.7.0 Accepted")),
         ehlo() +
             "AUTH XOAUTH2 dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJo"
             "ZG1semRHRXVZMjl0Q2cBAQ==\r\n" +
             envelope,
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
