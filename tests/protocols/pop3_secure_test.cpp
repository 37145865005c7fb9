// POP3 with TLS and logins other than USER and PASS against scripted servers: each case is
// the server's side, the exact bytes the client must send and how the login ends. Hidden or
// refused STLS, injected bytes, refused logins and servers with nothing usable must end
// before any secret crosses the wire, and no trace may show a secret or a login exchange.

#include "protocols/pop3.h"

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
const char* const stamped_greeting = "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>";

std::string capabilities(std::initializer_list<const char*> lines)
{
    std::string reply = "+OK Capability list follows";
    for (const char* line : lines) reply += std::string("\r\n") + line;
    return reply + "\r\n.";
}

// The greeting and the answer to CAPA.
Conversation capa(std::initializer_list<const char*> lines, const char* greeting = "+OK Dovecot ready.")
{
    return Conversation().say(greeting).reply(capabilities(lines));
}

// The answer to the login's last step, the listing of one message and the goodbye.
Conversation listed(Conversation c, const char* login_accepted = "+OK Logged in.")
{
    return c.reply(login_accepted).reply("+OK 1 messages:\r\n1 120\r\n.").reply("+OK bye");
}

const std::string after_login = "LIST\r\nQUIT\r\n";

struct Pop3Case {
    const char* what;
    TlsMode tls;
    SaslMechanism mechanism;
    std::string user;
    std::string secret;
    Conversation server;
    std::string sent;                  // every byte the client must send, in order
    std::optional<SecureCause> cause;  // none: logged in and listed (or refused_code)
    int refused_code = 0;              // an EProtocolError with this number
    // The client goes on to a TLS handshake after `sent`: the bytes that follow are the
    // backend's, and none of them may be a command or a secret.
    bool handshake_follows = false;
};

// What the trace must show for the command lines of `sent`: secrets and the login's
// lines masked. `exchange` gets the lines that must appear in no trace.
std::vector<std::string> traced_commands(const std::string& sent, std::vector<std::string>& exchange)
{
    std::vector<std::string> traced;
    bool in_login = false;
    std::size_t at = 0;
    while (at < sent.size()) {
        const std::size_t end = sent.find("\r\n", at);
        const std::string line = sent.substr(at, end - at);
        at = end + 2;
        if (in_login && line != "LIST" && line != "QUIT") {
            traced.push_back(line == "*" ? "*" : "*****");
            if (!line.empty() && line != "*") exchange.push_back(line);
            continue;
        }
        in_login = line.starts_with("AUTH ");
        if (line.starts_with("PASS ")) {
            traced.push_back("PASS *****");
        } else if (line.starts_with("APOP ")) {
            const std::size_t digest = line.rfind(' ') + 1;
            exchange.push_back(line.substr(digest));
            traced.push_back(line.substr(0, digest) + "*****");
        } else {
            traced.push_back(line);
        }
    }
    return traced;
}

void run(const Pop3Case& c)
{
    SCOPED_TRACE(c.what);
    ScriptedServer server(c.server);
    TraceLog log;
    std::optional<SecureCause> cause;
    std::string failure;
    int refused_code = 0;
    std::size_t listed_messages = 0;
    {
        T_Pop3 client;
        client.OnTrace = log.proc();
        client.Hostname = "127.0.0.1";
        client.Port = server.port();
        client.Timeout = 3;
        client.Tls = c.tls;
        client.Mechanism = c.mechanism;
        client.UserName = c.user;
        client.Password = c.secret;
        try {
            client.Login();
            listed_messages = client.Messages.size();
        } catch (const ESecureError& e) {
            cause = e.Cause;
            failure = e.message();
            // Whatever failed to be secured or logged in, the connection is gone with it,
            // without a word more to the server.
            EXPECT_FALSE(client.Connected);
            EXPECT_EQ(client.Socket, platform::invalid_socket);
            EXPECT_TRUE(client.Messages.empty());
        } catch (const EProtocolError& e) {
            refused_code = e.ReplyNumber;
            failure = e.message();
        }
        client.Logout();
    }

    EXPECT_EQ(cause, c.cause) << failure;
    EXPECT_EQ(refused_code, c.refused_code) << failure;
    if (!c.cause && c.refused_code == 0) {
        EXPECT_EQ(listed_messages, 1u);
    }
    const std::string& transcript = server.transcript();
    if (c.handshake_follows) {
        ASSERT_TRUE(transcript.starts_with(c.sent)) << transcript;
        const std::string handshake = transcript.substr(c.sent.size());
        for (const char* command : {"CAPA", "USER", "PASS", "APOP", "AUTH", "LIST"})
            EXPECT_THAT(handshake, Not(HasSubstr(command)));
        EXPECT_THAT(handshake, Not(HasSubstr(c.secret)));
    } else {
        EXPECT_EQ(transcript, c.sent);
    }

    std::vector<std::string> exchange;
    EXPECT_EQ(log.at(trace_sent), traced_commands(c.sent, exchange));
    for (const std::string& received : log.at(trace_received)) {
        if (received.starts_with("+") && !received.starts_with("+OK")) {
            EXPECT_EQ(received, "+ *****");
        }
    }
    for (const auto& [text, level] : log.entries) {
        EXPECT_THAT(text, Not(HasSubstr(c.secret)));
        for (const std::string& line : exchange) EXPECT_THAT(text, Not(HasSubstr(line)));
    }
    EXPECT_THAT(failure, Not(HasSubstr(c.secret)));
}

using M = SaslMechanism;

TEST(Pop3SecureLogin, MechanismsExchangesAndRefusals)
{
    const std::string xoauth2_token =
        "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZMjl0Q2cB"
        "AQ==";
    const Pop3Case cases[] = {
        {"USER and PASS without TLS: today's dialogue and today's refusal", TlsMode::none, M::user, "jan", password,
         Conversation().say("+OK ready").reply("+OK").reply("-ERR [AUTH] Authentication failed.").reply("+OK bye"),
         "USER jan\r\nPASS tajne heslo\r\nQUIT\r\n", std::nullopt, 500},
        {"APOP with RFC 1939's example", TlsMode::none, M::apop, "mrose", "tanstaaf",
         listed(Conversation().say(stamped_greeting), "+OK mrose's maildrop has 1 message"),
         "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n" + after_login, std::nullopt},
        {"APOP needs the greeting's stamp", TlsMode::none, M::apop, "mrose", "tanstaaf",
         Conversation().say("+OK POP3 ready"), "", SecureCause::auth_no_mechanism},
        {"APOP refused", TlsMode::none, M::apop, "mrose", "tanstaaf",
         Conversation().say(stamped_greeting).reply("-ERR permission denied"),
         "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n", SecureCause::auth_refused},
        {"automatic without TLS takes CRAM-MD5 (RFC 2195's exchange)", TlsMode::none, M::automatic, "tim",
         "tanstaaftanstaaf",
         listed(capa({"TOP", "USER", "SASL PLAIN CRAM-MD5"}, stamped_greeting)
                    .reply("+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+")),
         "CAPA\r\nAUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n" + after_login, std::nullopt},
        {"automatic without TLS and CRAM-MD5 takes APOP", TlsMode::none, M::automatic, "mrose", "tanstaaf",
         listed(capa({"USER", "SASL PLAIN LOGIN"}, stamped_greeting)),
         "CAPA\r\nAPOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n" + after_login, std::nullopt},
        {"automatic without TLS never sends a clear-text password", TlsMode::none, M::automatic, "jan", password,
         capa({"USER", "SASL PLAIN LOGIN"}), "CAPA\r\n", SecureCause::auth_no_mechanism},
        {"automatic and a server without CAPA or stamp", TlsMode::none, M::automatic, "jan", password,
         Conversation().say("+OK ready").reply("-ERR unknown command"), "CAPA\r\n", SecureCause::auth_no_mechanism},
        {"PLAIN in two steps", TlsMode::none, M::plain, "jan", password,
         listed(capa({"SASL PLAIN"}).reply("+ ")), "CAPA\r\nAUTH PLAIN\r\nAGphbgB0YWpuZSBoZXNsbw==\r\n" + after_login,
         std::nullopt},
        {"PLAIN refused", TlsMode::none, M::plain, "jan", password,
         capa({"SASL PLAIN"}).reply("+").reply("-ERR [AUTH] Authentication failed."),
         "CAPA\r\nAUTH PLAIN\r\nAGphbgB0YWpuZSBoZXNsbw==\r\n", SecureCause::auth_refused},
        {"LOGIN answers the prompts in order", TlsMode::none, M::login, "jan", password,
         listed(capa({"SASL LOGIN"}).reply("+ VXNlcm5hbWU6").reply("+ UGFzc3dvcmQ6")),
         "CAPA\r\nAUTH LOGIN\r\namFu\r\ndGFqbmUgaGVzbG8=\r\n" + after_login, std::nullopt},
        {"a third LOGIN prompt is cancelled", TlsMode::none, M::login, "jan", password,
         capa({"SASL LOGIN"}).reply("+ VXNlcm5hbWU6").reply("+ UGFzc3dvcmQ6").reply("+ ").reply("-ERR cancelled"),
         "CAPA\r\nAUTH LOGIN\r\namFu\r\ndGFqbmUgaGVzbG8=\r\n*\r\n", SecureCause::auth_refused},
        {"XOAUTH2: the command, then the token after the +", TlsMode::none, M::xoauth2, "someuser@example.com", token,
         listed(capa({"USER", "SASL PLAIN XOAUTH2"}).reply("+ ")),
         "CAPA\r\nAUTH XOAUTH2\r\n" + xoauth2_token + "\r\n" + after_login, std::nullopt},
        {"XOAUTH2 error detail answered with an empty line, then refused", TlsMode::none, M::xoauth2,
         "someuser@example.com", token,
         capa({"SASL XOAUTH2"})
             .reply("+ ")
             .reply("+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJodHRwczovL21haWwuZ29vZ2xlLmNvbS8ifQ==")
             .reply("-ERR Authentication failure: unknown user name or bad password."),
         "CAPA\r\nAUTH XOAUTH2\r\n" + xoauth2_token + "\r\n\r\n", SecureCause::auth_refused},
        {"a named mechanism CAPA does not list", TlsMode::none, M::cram_md5, "jan", password,
         capa({"USER", "SASL PLAIN LOGIN"}), "CAPA\r\n", SecureCause::auth_no_mechanism},
        {"a meaningless answer during the login drops the connection", TlsMode::none, M::plain, "jan", password,
         capa({"SASL PLAIN"}).reply("+ ").reply("OK"), "CAPA\r\nAUTH PLAIN\r\nAGphbgB0YWpuZSBoZXNsbw==\r\n",
         std::nullopt, 999},
    };
    for (const Pop3Case& c : cases) run(c);
}

TEST(Pop3Tls, StlsIsMandatoryOnceConfigured)
{
    const Pop3Case cases[] = {
        {"STLS hidden: fail, never on in clear text", TlsMode::starttls, M::user, "jan", password,
         capa({"TOP", "USER", "SASL PLAIN"}), "CAPA\r\n", SecureCause::tls_not_offered},
        {"no CAPA at all: no STLS either", TlsMode::starttls, M::user, "jan", password,
         Conversation().say("+OK ready").reply("-ERR unknown command"), "CAPA\r\n", SecureCause::tls_not_offered},
        {"STLS refused", TlsMode::starttls, M::automatic, "jan", password,
         capa({"STLS", "USER"}).reply("-ERR TLS not available"), "CAPA\r\nSTLS\r\n", SecureCause::tls_refused},
        {"bytes after the +OK of STLS are an injection", TlsMode::starttls, M::user, "jan", password,
         capa({"STLS", "USER"}).reply("+OK Begin TLS negotiation now.\r\n+OK injected"), "CAPA\r\nSTLS\r\n",
         SecureCause::tls_injection},
        {"a handshake that fails after the +OK", TlsMode::starttls, M::user, "jan", password,
         capa({"STLS", "USER"}).reply("+OK Begin TLS negotiation now.").close(), "CAPA\r\nSTLS\r\n",
         SecureCause::tls_handshake, 0, true},
        {"implicit TLS to a plain server: nothing in clear text", TlsMode::implicit, M::user, "jan", password,
         Conversation().say("+OK ready").await_line(), "", SecureCause::tls_handshake, 0, true},
    };
    for (const Pop3Case& c : cases) run(c);
}

}  // namespace
}  // namespace zanpost
