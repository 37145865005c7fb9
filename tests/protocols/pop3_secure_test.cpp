// POP3 with TLS and logins other than USER and PASS against scripted servers: each case is
// the server's side, the exact bytes the client must send and how the login ends. Hidden or
// refused STLS, injected bytes, refused logins and servers with nothing usable must end
// before any secret crosses the wire, and no trace may show a secret or a login exchange.

#include "protocols/pop3.h"

#include "secure_dialogue.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zanpost {
namespace {

using namespace zanpost::testing;
const std::string password = "tajne heslo";
const std::string token = "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg";
using M = SaslMechanism;

TEST(Pop3SecureLogin, MechanismsExchangesAndRefusals)
{
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
         "CAPA\r\nAUTH XOAUTH2\r\n" + xoauth2_login + "\r\n" + after_login, std::nullopt},
        {"XOAUTH2 error detail answered with an empty line, then refused", TlsMode::none, M::xoauth2,
         "someuser@example.com", token,
         capa({"SASL XOAUTH2"})
             .reply("+ ")
             .reply("+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJodHRwczovL21haWwuZ29vZ2xlLmNvbS8ifQ==")
             .reply("-ERR Authentication failure: unknown user name or bad password."),
         "CAPA\r\nAUTH XOAUTH2\r\n" + xoauth2_login + "\r\n\r\n", SecureCause::auth_refused},
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
