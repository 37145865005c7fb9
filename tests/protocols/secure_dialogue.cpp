#include "secure_dialogue.h"

#include "net/ip_misc.h"
#include "protocols/pop3.h"
#include "protocols/smtp.h"
#include "support/trace_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace zanpost::testing {

using ::testing::HasSubstr;
using ::testing::Not;

std::string ehlo() { return "EHLO " + local_host_name() + "\r\n"; }
std::string helo() { return "HELO " + local_host_name() + "\r\n"; }

std::string extensions(std::initializer_list<const char*> lines)
{
    std::string reply = "250";
    reply += lines.size() == 0 ? " " : "-";
    reply += "mx.example.cz greets you";
    std::size_t left = lines.size();
    for (const char* line : lines) reply += std::string("\r\n250") + (--left == 0 ? " " : "-") + line;
    return reply;
}

Conversation greeted(std::initializer_list<const char*> offered)
{
    return Conversation().say("220 mx.example.cz ESMTP").reply(extensions(offered));
}

Conversation delivered(Conversation c)
{
    return c.reply("250 sender ok").reply("250 recipient ok").reply("354 go ahead").await_data().say("250 queued");
}

const std::string envelope =
    "MAIL FROM: <jan@example.cz>\r\nRCPT TO: <eva@example.cz>\r\nDATA\r\nSubject: test\r\n\r\nbody\r\n.\r\n";
const std::string strict_envelope =
    "MAIL FROM:<jan@example.cz>\r\nRCPT TO:<eva@example.cz>\r\nDATA\r\nSubject: test\r\n\r\nbody\r\n.\r\n";


// What the trace must show for the command lines of `sent`: a login's lines masked.
static std::vector<std::string> smtp_traced_commands(const std::string& sent, std::vector<std::string>& exchange)
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

// The client sent exactly `sent`; or, where a handshake follows it, that and then only the
// handshake: no command of the dialogue and not the secret in clear text.
void expect_transcript(const std::string& transcript, const std::string& sent, bool handshake_follows,
                       std::initializer_list<const char*> commands, const std::string& secret)
{
    if (!handshake_follows) {
        EXPECT_EQ(transcript, sent);
        return;
    }
    ASSERT_TRUE(transcript.starts_with(sent)) << transcript;
    const std::string handshake = transcript.substr(sent.size());
    for (const char* command : commands) EXPECT_THAT(handshake, Not(HasSubstr(command)));
    if (!secret.empty()) {
        EXPECT_THAT(handshake, Not(HasSubstr(secret)));
    }
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
        aim_at(client, server, c, log);
        client.MailFrom = "jan@example.cz";
        client.MailTo = {"eva@example.cz"};
        client.MailData = {"Subject: test", "", "body"};
        try {
            client.Action();
            EXPECT_EQ(client.TlsActive(), c.tls != TlsMode::none);
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
    expect_transcript(server.transcript(), c.sent, c.handshake_follows, {"EHLO", "AUTH", "MAIL FROM", "RCPT", "DATA"},
                      c.secret);
    EXPECT_EQ(server.connections(), c.connects ? 1u : 0u);

    std::vector<std::string> exchange;
    EXPECT_EQ(log.at(trace_sent), smtp_traced_commands(c.sent, exchange));
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

const char* const stamped_greeting = "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>";

std::string capabilities(std::initializer_list<const char*> lines)
{
    std::string reply = "+OK Capability list follows";
    for (const char* line : lines) reply += std::string("\r\n") + line;
    return reply + "\r\n.";
}

Conversation capa(std::initializer_list<const char*> lines, const char* greeting)
{
    return Conversation().say(greeting).reply(capabilities(lines));
}

Conversation listed(Conversation c, const char* login_accepted)
{
    return c.reply(login_accepted).reply("+OK 1 messages:\r\n1 120\r\n.").reply("+OK bye");
}

const std::string after_login = "LIST\r\nQUIT\r\n";


// What the trace must show for the command lines of `sent`: secrets and the login's
// lines masked. `exchange` gets the lines that must appear in no trace.
static std::vector<std::string> pop3_traced_commands(const std::string& sent, std::vector<std::string>& exchange)
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
        aim_at(client, server, c, log);
        try {
            client.Login();
            listed_messages = client.Messages.size();
            EXPECT_EQ(client.TlsActive(), c.tls != TlsMode::none);
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
    expect_transcript(server.transcript(), c.sent, c.handshake_follows, {"CAPA", "USER", "PASS", "APOP", "AUTH", "LIST"},
                      c.secret);

    std::vector<std::string> exchange;
    EXPECT_EQ(log.at(trace_sent), pop3_traced_commands(c.sent, exchange));
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

}  // namespace zanpost::testing
