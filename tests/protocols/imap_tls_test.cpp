// The IMAP logins over TLS, through the pass-through session of tls_dialogue_test.cpp: what
// the server offered before STARTTLS counts for nothing, and over TLS the password may go.

#include "imap_dialogue.h"

#include <gtest/gtest.h>

#include <optional>

namespace zanpost {
namespace {

using namespace zanpost::testing;
using M = SaslMechanism;

TEST(ImapOverTls, TheCapabilitiesAreAskedAgainAndThePasswordMayGo)
{
    const ImapLoginCase cases[] = {
        {"STARTTLS, CAPABILITY again, then LOGIN that was disabled in clear text", TlsMode::starttls, M::login, "jan",
         password,
         imap_greeting("IMAP4rev1 STARTTLS LOGINDISABLED")
             .reply("A0001 OK Begin TLS negotiation now.")
             .reply("* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\nA0002 OK")
             .reply("A0003 OK [CAPABILITY IMAP4rev1 MOVE] Logged in")
             .reply(imap_bye(4)),
         "A0001 STARTTLS\r\nA0002 CAPABILITY\r\nA0003 LOGIN \"jan\" \"tajne heslo\"\r\nA0004 LOGOUT\r\n", std::nullopt},
        {"what was offered before the handshake counts for nothing", TlsMode::starttls, M::automatic, "jan", password,
         imap_greeting("IMAP4rev1 STARTTLS AUTH=PLAIN")
             .reply("A0001 OK go")
             .reply("* CAPABILITY IMAP4rev1 LOGINDISABLED\r\nA0002 OK"),
         "A0001 STARTTLS\r\nA0002 CAPABILITY\r\n", SecureCause::auth_no_mechanism},
        {"implicit TLS and automatic: PLAIN when listed", TlsMode::implicit, M::automatic, "jan", password,
         imap_greeting("IMAP4rev1 SASL-IR AUTH=PLAIN").reply(imap_logged_in).reply(imap_bye(2)),
         "A0001 AUTHENTICATE PLAIN " + plain_login + "\r\nA0002 LOGOUT\r\n", std::nullopt},
        {"implicit TLS and automatic: else the LOGIN command", TlsMode::implicit, M::automatic, "jan", password,
         imap_greeting("IMAP4rev1 AUTH=CRAM-MD5").reply(imap_logged_in).reply(imap_bye(2)),
         "A0001 LOGIN \"jan\" \"tajne heslo\"\r\nA0002 LOGOUT\r\n", std::nullopt},
    };
    for (const ImapLoginCase& c : cases) run(c);
}

}  // namespace
}  // namespace zanpost
