#pragma once
// The IMAP login tables: each case is a scripted server's side, the exact bytes the client
// must send and how the login ends. A login that succeeds is followed by LOGOUT. Whatever
// the case, no trace and no failure shows the secret or a line of the login exchange.

#include "protocols/imap.h"
#include "secure_dialogue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zanpost::testing {

// The greeting, with the capabilities in its response code.
inline Conversation imap_greeting(const std::string& capabilities)
{
    return Conversation().say("* OK [CAPABILITY " + capabilities + "] ready");
}

// The answer to the login, telling the capabilities of the logged-in user.
inline const char* const imap_logged_in = "A0001 OK [CAPABILITY IMAP4rev1 MOVE] Logged in";

// tim / tanstaaftanstaaf answering RFC 2195's challenge.
inline const std::string imap_cram_response = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw";

inline std::string imap_bye(int tag)
{
    return "* BYE Logging out\r\nA000" + std::to_string(tag) + " OK Logout completed.";
}

// Its cause none: logged in, then logged out.
using ImapLoginCase = LoginCase;

inline void run(const ImapLoginCase& c)
{
    SCOPED_TRACE(c.what);
    ScriptedServer server(c.server);
    TraceLog log;
    std::optional<SecureCause> cause;
    std::string failure;
    {
        T_Imap client;
        aim_at(client, server, c, log);
        try {
            client.Login();
            EXPECT_EQ(client.TlsActive(), c.tls != TlsMode::none);
            client.Logout();
        } catch (const ESecureError& e) {
            cause = e.Cause;
            failure = e.message();
            EXPECT_FALSE(client.Connected);
        }
    }
    EXPECT_EQ(cause, c.cause) << failure;
    EXPECT_EQ(server.transcript(), c.sent);

    // Every line sent is traced once; none shows a secret or a message of a login exchange.
    std::size_t lines = 0;
    for (std::size_t at = c.sent.find("\r\n"); at != std::string::npos; at = c.sent.find("\r\n", at + 2)) ++lines;
    EXPECT_EQ(log.at(trace_sent).size(), lines);
    const bool exchange = c.sent.find(" AUTHENTICATE ") != std::string::npos;
    for (const auto& [text, level] : log.entries) {
        for (const std::string& secret : {c.secret, plain_login, xoauth2_login, imap_cram_response})
            EXPECT_THAT(text, ::testing::Not(::testing::HasSubstr(secret)));
        if (exchange && level == trace_received && text.starts_with('+')) {
            EXPECT_EQ(text, "+ *****");
        }
    }
    EXPECT_THAT(failure, ::testing::Not(::testing::HasSubstr(c.secret)));
}

}  // namespace zanpost::testing
