// The dialogues after a successful handshake: what the clients do over TLS, against the
// same scripted servers. This executable brings its own tls_start in place of the
// platform's (the linker then never takes the platform's from its library): a session that
// passes the bytes through unchanged, so the server's script goes on in plain text where a
// real server would speak through TLS. The handshake itself and the certificate checks are
// the platform's tests; here only the protocol around them counts.

#include "protocols/pop3.h"
#include "protocols/smtp.h"

#include "platform/tls.h"
#include "secure_dialogue.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace zanpost::platform {

namespace {

class PassThroughSession : public TlsSession {
public:
    explicit PassThroughSession(SocketHandle socket) : socket_(socket)
    {
        peer_.version = "TLSv1.3";
        peer_.cipher = "PASS_THROUGH_FOR_TESTS";
    }
    IoResult send(const char* data, std::size_t length) override { return socket_send(socket_, data, length); }
    IoResult receive(char* buffer, std::size_t size) override { return socket_receive(socket_, buffer, size); }
    void shutdown() noexcept override {}
    const TlsPeerInfo& peer() const override { return peer_; }

private:
    SocketHandle socket_;
    TlsPeerInfo peer_;
};

}  // namespace

TlsStartResult tls_start(SocketHandle socket, const TlsOptions&)
{
    TlsStartResult result;
    result.session = std::make_unique<PassThroughSession>(socket);
    return result;
}

}  // namespace zanpost::platform

namespace zanpost {
namespace {

using namespace zanpost::testing;
using M = SaslMechanism;

TEST(SmtpOverTls, TheOfferIsAskedAgainAndTheLoginMayUseThePassword)
{
    const SmtpCase cases[] = {
        {"after STARTTLS EHLO again, and automatic takes PLAIN", TlsMode::starttls, "jan", M::automatic, password,
         delivered(greeted({"STARTTLS", "AUTH CRAM-MD5"})
                       .reply("220 2.0.0 Ready to start TLS")
                       .reply(extensions({"AUTH PLAIN LOGIN CRAM-MD5"}))
                       .reply("235 2.7.0 ok")),
         ehlo() + "STARTTLS\r\n" + ehlo() + "AUTH PLAIN " + plain_login + "\r\n" + strict_envelope, std::nullopt},
        {"what was offered before the handshake counts for nothing", TlsMode::starttls, "jan", M::automatic, password,
         greeted({"STARTTLS", "AUTH PLAIN LOGIN"}).reply("220 go ahead").reply(extensions({"SIZE 1000"})),
         ehlo() + "STARTTLS\r\n" + ehlo(), SecureCause::auth_no_mechanism},
        {"STARTTLS without a login", TlsMode::starttls, "", M::automatic, "",
         delivered(greeted({"STARTTLS"}).reply("220 go ahead").reply(extensions({"PIPELINING"}))),
         ehlo() + "STARTTLS\r\n" + ehlo() + strict_envelope, std::nullopt},
        {"implicit TLS: LOGIN before CRAM-MD5, and no STARTTLS even when offered", TlsMode::implicit, "jan",
         M::automatic, password,
         delivered(greeted({"STARTTLS", "AUTH CRAM-MD5 LOGIN"})
                       .reply("334 VXNlcm5hbWU6")
                       .reply("334 UGFzc3dvcmQ6")
                       .reply("235 ok")),
         ehlo() + "AUTH LOGIN\r\namFu\r\ndGFqbmUgaGVzbG8=\r\n" + strict_envelope, std::nullopt},
        {"implicit TLS without a login still greets with EHLO", TlsMode::implicit, "", M::automatic, "",
         delivered(greeted({})), ehlo() + strict_envelope, std::nullopt},
    };
    for (const SmtpCase& c : cases) run(c);
}

TEST(Pop3OverTls, TheCapabilitiesAreAskedAgainAndUserAndPassAreAllowed)
{
    const Pop3Case cases[] = {
        {"STLS, CAPA again, then USER and PASS", TlsMode::starttls, M::user, "jan", password,
         listed(capa({"STLS", "USER"}).reply("+OK Begin TLS negotiation now.").reply(capabilities({"USER"})).reply("+OK")),
         "CAPA\r\nSTLS\r\nCAPA\r\nUSER jan\r\nPASS tajne heslo\r\n" + after_login, std::nullopt},
        {"SASL PLAIN offered before the handshake only: USER and PASS", TlsMode::starttls, M::automatic, "jan",
         password,
         listed(capa({"STLS", "SASL PLAIN"}).reply("+OK Begin").reply(capabilities({"USER", "SASL LOGIN"})).reply("+OK")),
         "CAPA\r\nSTLS\r\nCAPA\r\nUSER jan\r\nPASS tajne heslo\r\n" + after_login, std::nullopt},
        {"implicit TLS and automatic: SASL PLAIN when listed", TlsMode::implicit, M::automatic, "jan", password,
         listed(capa({"USER", "SASL LOGIN PLAIN"}).reply("+ ")),
         "CAPA\r\nAUTH PLAIN\r\n" + plain_login + "\r\n" + after_login, std::nullopt},
        {"implicit TLS, USER and PASS refused: a refused login, not today's refusal", TlsMode::implicit, M::user,
         "jan", password,
         Conversation().say("+OK ready").reply("+OK").reply("-ERR [AUTH] Authentication failed."),
         "USER jan\r\nPASS tajne heslo\r\n", SecureCause::auth_refused},
        {"APOP after STLS with the stamp of the greeting", TlsMode::starttls, M::apop, "mrose", "tanstaaf",
         listed(capa({"STLS"}, stamped_greeting).reply("+OK Begin").reply(capabilities({"TOP"}))),
         "CAPA\r\nSTLS\r\nCAPA\r\nAPOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n" + after_login, std::nullopt},
    };
    for (const Pop3Case& c : cases) run(c);
}

}  // namespace
}  // namespace zanpost
