// The IMAP client against scripted servers: logins and their refusals, the header pass and
// the fetch with literals and untagged answers in between, broken and hostile answers, and
// how messages leave the folder on servers with and without MOVE and UIDPLUS.

#include "protocols/imap.h"
#include "protocols/utf7.h"

#include "imap_dialogue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zanpost {
namespace {

using namespace zanpost::testing;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using M = SaslMechanism;

std::string literal(std::string_view bytes)
{
    return "{" + std::to_string(bytes.size()) + "}\r\n" + std::string(bytes);
}

TEST(ImapFolderNames, ModifiedUtf7BothWays)
{
    const std::pair<const char*, const char*> names[] = {
        {"INBOX", "INBOX"},
        {"Tom & Jerry", "Tom &- Jerry"},
        {"P\xF8ijat\xE9", "P&AVk-ijat&AOk-"},
        {"\x80 & \xD8", "&IKw- &- &AVg-"},
        {"\xF8\x9E\xE8", "&AVkBfgEN-"},  // three characters fill whole digits
        {"\x8Duk\x7F", "&AWQ-uk&AH8-"},  // a control character is encoded too
    };
    for (const auto& [cp1250, utf7] : names) {
        EXPECT_EQ(imap_utf7_encode(cp1250), utf7);
        EXPECT_EQ(imap_utf7_decode(utf7), cp1250);
    }
    // RFC 3501's example: characters CP1250 cannot hold, one from beyond 16 bits.
    EXPECT_EQ(imap_utf7_decode("~peter/mail/&U,BTFw-/&ZeVnLIqe-"), "~peter/mail/__/___");
    EXPECT_EQ(imap_utf7_decode("&2D3eAA-"), "_");
    for (const char* broken : {"&AOk", "&AO-", "&AOl-", "caf\xE9", "&A?k-"})
        EXPECT_EQ(imap_utf7_decode(broken), std::nullopt) << broken;
}

TEST(ImapLogin, MechanismsExchangesAndRefusals)
{
    const std::string cram_challenge = "+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
    const std::string logout = "A0002 LOGOUT\r\n";
    const ImapLoginCase cases[] = {
        {"LOGIN with quoted strings; the capabilities of the greeting and of the login's answer", TlsMode::none,
         M::login, "jan", password, imap_greeting("IMAP4rev1").reply(imap_logged_in).reply(imap_bye(2)),
         "A0001 LOGIN \"jan\" \"tajne heslo\"\r\n" + logout, std::nullopt},
        {"capabilities asked for where the greeting and the login tell none", TlsMode::none, M::login, "jan", password,
         Conversation()
             .say("* OK ready")
             .reply("* CAPABILITY IMAP4rev1\r\nA0001 OK")
             .reply("A0002 OK Logged in")
             .reply("* CAPABILITY IMAP4rev1 UIDPLUS\r\nA0003 OK")
             .reply(imap_bye(4)),
         "A0001 CAPABILITY\r\nA0002 LOGIN \"jan\" \"tajne heslo\"\r\nA0003 CAPABILITY\r\nA0004 LOGOUT\r\n",
         std::nullopt},
        {"an 8-bit password goes as a literal after the go-ahead", TlsMode::none, M::login, "jan", "heslo\xE8\"",
         imap_greeting("IMAP4rev1").reply("+ go ahead").reply(imap_logged_in).reply(imap_bye(2)),
         "A0001 LOGIN \"jan\" {7}\r\nheslo\xE8\"\r\n" + logout, std::nullopt},
        {"with LITERAL+ it follows at once", TlsMode::none, M::login, "jan", "heslo\xE8",
         imap_greeting("IMAP4rev1 LITERAL+").await_line().reply(imap_logged_in).reply(imap_bye(2)),
         "A0001 LOGIN \"jan\" {6+}\r\nheslo\xE8\r\n" + logout, std::nullopt},
        {"LOGIN refused", TlsMode::none, M::login, "jan", password,
         imap_greeting("IMAP4rev1").reply("A0001 NO [AUTHENTICATIONFAILED] Authentication failed."),
         "A0001 LOGIN \"jan\" \"tajne heslo\"\r\n", SecureCause::auth_refused},
        {"LOGINDISABLED: nothing of the password is sent", TlsMode::none, M::login, "jan", password,
         imap_greeting("IMAP4rev1 LOGINDISABLED AUTH=PLAIN"), "", SecureCause::auth_no_mechanism},
        {"PLAIN with SASL-IR goes with the command", TlsMode::none, M::plain, "jan", password,
         imap_greeting("IMAP4rev1 SASL-IR AUTH=PLAIN").reply(imap_logged_in).reply(imap_bye(2)),
         "A0001 AUTHENTICATE PLAIN " + plain_login + "\r\n" + logout, std::nullopt},
        {"PLAIN without SASL-IR waits for the empty challenge", TlsMode::none, M::plain, "jan", password,
         imap_greeting("IMAP4rev1 AUTH=PLAIN").reply("+ ").reply(imap_logged_in).reply(imap_bye(2)),
         "A0001 AUTHENTICATE PLAIN\r\n" + plain_login + "\r\n" + logout, std::nullopt},
        {"automatic without TLS takes CRAM-MD5 (RFC 2195's exchange)", TlsMode::none, M::automatic, "tim",
         "tanstaaftanstaaf",
         imap_greeting("IMAP4rev1 AUTH=PLAIN AUTH=CRAM-MD5")
             .reply(cram_challenge)
             .reply(imap_logged_in)
             .reply(imap_bye(2)),
         "A0001 AUTHENTICATE CRAM-MD5\r\n" + imap_cram_response + "\r\n" + logout, std::nullopt},
        {"automatic without TLS never sends a clear-text password", TlsMode::none, M::automatic, "jan", password,
         imap_greeting("IMAP4rev1 AUTH=PLAIN"), "", SecureCause::auth_no_mechanism},
        {"XOAUTH2's error detail is answered with an empty line, then refused", TlsMode::none, M::xoauth2,
         "someuser@example.com", token,
         imap_greeting("IMAP4rev1 SASL-IR AUTH=XOAUTH2")
             .reply("+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIn0=")
             .reply("A0001 NO [AUTHENTICATIONFAILED] Invalid credentials (Failure)"),
         "A0001 AUTHENTICATE XOAUTH2 " + xoauth2_login + "\r\n\r\n", SecureCause::auth_refused},
        {"a named mechanism the server does not list", TlsMode::none, M::cram_md5, "jan", password,
         imap_greeting("IMAP4rev1 AUTH=PLAIN"), "", SecureCause::auth_no_mechanism},
        {"STARTTLS not offered: never on in clear text", TlsMode::starttls, M::login, "jan", password,
         imap_greeting("IMAP4rev1 AUTH=PLAIN"), "", SecureCause::tls_not_offered},
        {"a greeting as logged in leaves no place for STARTTLS", TlsMode::starttls, M::login, "jan", password,
         Conversation().say("* PREAUTH [CAPABILITY IMAP4rev1 STARTTLS] welcome"), "", SecureCause::tls_not_offered},
        {"STARTTLS refused", TlsMode::starttls, M::login, "jan", password,
         imap_greeting("IMAP4rev1 STARTTLS").reply("A0001 NO not now"), "A0001 STARTTLS\r\n", SecureCause::tls_refused},
        {"bytes after the go-ahead of STARTTLS are an injection", TlsMode::starttls, M::login, "jan", password,
         imap_greeting("IMAP4rev1 STARTTLS").reply("A0001 OK Begin TLS negotiation now\r\n* OK [CAPABILITY IMAP4rev1]"),
         "A0001 STARTTLS\r\n", SecureCause::tls_injection},
    };
    for (const ImapLoginCase& c : cases) run(c);
}

// Logged in with the capabilities given, the inbox selected: 3 messages, UIDs below 12.
Conversation selected(const std::string& capabilities)
{
    return imap_greeting("IMAP4rev1")
        .reply("A0001 OK [CAPABILITY IMAP4rev1 " + capabilities + "] Logged in")
        .reply("* FLAGS (\\Answered \\Deleted \\Seen)\r\n* 3 EXISTS\r\n* 0 RECENT\r\n"
               "* OK [UIDVALIDITY 3857529045] UIDs valid\r\n* OK [UIDNEXT 12] Predicted next UID\r\n"
               "A0002 OK [READ-WRITE] Select completed.");
}

const std::string selected_sent = "A0001 LOGIN \"jan\" \"tajne heslo\"\r\nA0002 SELECT \"INBOX\"\r\n";

ImapFolder open(T_Imap& client, ScriptedServer& server, TraceLog* log = nullptr)
{
    if (log != nullptr) client.OnTrace = log->proc();
    client.Hostname = "127.0.0.1";
    client.Port = server.port();
    client.Timeout = 3;
    client.UserName = "jan";
    client.Password = password;
    client.Login();
    return client.Select("INBOX");
}

TEST(ImapHeaders, LiteralsQuotedStringsAndUntaggedAnswersInAnyOrder)
{
    const std::string header = "From: jan@example.cz\r\nSubject: ZAN_POST obraty\r\n  za leden\r\n\r\n";
    ScriptedServer server(
        selected("")
            .reply("* 1 FETCH (UID 4 RFC822.SIZE 120 FLAGS (\\Seen) BODY[HEADER.FIELDS (FROM SUBJECT)] " +
                   literal(header) + ")\r\n* 4 EXISTS\r\n* 2 FETCH (FLAGS (\\Seen))\r\n* 2 EXPUNGE\r\n"
                   "* 2 FETCH (BODY[HEADER.FIELDS (\"FROM\" \"SUBJECT\")] \"From: eva@example.cz\" UID 9 "
                   "RFC822.SIZE 300)\r\n* 3 FETCH (UID 3 RFC822.SIZE 10 BODY[HEADER.FIELDS (FROM SUBJECT)] NIL)\r\n"
                   "A0003 OK Fetch completed.")
            .reply(imap_bye(4)));
    T_Imap client;
    TraceLog log;
    const ImapFolder folder = open(client, server, &log);
    EXPECT_EQ(folder.uid_validity, 3857529045u);
    EXPECT_EQ(folder.uid_next, 12u);
    EXPECT_EQ(folder.exists, 3u);
    EXPECT_FALSE(folder.read_only);

    std::vector<std::string> seen;
    const auto each = [&seen](ImapSummary& m) {
        seen.push_back(std::to_string(m.uid) + " " + std::to_string(m.size) + " " + m.from_text + "|" + m.subject_text);
    };
    client.Headers(4, each);
    // UID 3 is what "4:*" gives when nothing is new; the flags alone are no message.
    EXPECT_THAT(seen, ElementsAre("4 120 jan@example.cz|ZAN_POST obraty  za leden", "9 300 eva@example.cz|"));
    // Nothing is asked at or above the next UID.
    client.Headers(12, each);
    client.Logout();
    EXPECT_EQ(server.transcript(),
              selected_sent + "A0003 UID FETCH 4:* (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n"
                              "A0004 LOGOUT\r\n");
    EXPECT_THAT(log.at(trace_sent), ::testing::Contains("A0001 LOGIN \"jan\" *****"));
    for (const auto& [text, level] : log.entries) EXPECT_THAT(text, ::testing::Not(HasSubstr("obraty")));
}

TEST(ImapFetch, TheLiteralGoesToTheSinkInLinesAndItsSizeIsChecked)
{
    enum class End { fetched, gone, garbled, lost };
    struct Case {
        const char* what;
        std::string answer;  // to the UID FETCH
        std::uint64_t size;  // known from the header pass
        std::vector<std::string> lines;
        End end;
    };
    const Case cases[] = {
        {"a literal in lines, the last one without its line end",
         "* 1 FETCH (UID 4 RFC822.SIZE 39 BODY[] " + literal("Subject: x\r\n\r\nline one\r\n\rline two") +
             ")\r\nA0003 OK",
         0, {"Subject: x", "", "line one", "\rline two"}, End::fetched},
        {"untagged answers around and after the literal, the UID after it",
         "* 5 EXISTS\r\n* 1 FETCH (RFC822.SIZE 6 BODY[] " + literal("a\r\nb\r\n") +
             " UID 4 FLAGS (\\Recent))\r\n* 2 EXPUNGE\r\n* 3 FETCH (UID 8 FLAGS (\\Seen))\r\nA0003 OK",
         0, {"a", "b"}, End::fetched},
        {"the size of the header pass where the answer tells none",
         "* 1 FETCH (UID 4 BODY[] {3}\r\nabc)\r\nA0003 OK", 3, {"abc"}, End::fetched},
        {"a UID after the body that is another's", "* 1 FETCH (BODY[] {3}\r\nabc UID 5)\r\nA0003 OK", 3, {"abc"},
         End::garbled},
        {"another message's body is not this one", "* 1 FETCH (UID 5 BODY[] {3}\r\nabc)\r\nA0003 OK", 3, {},
         End::gone},
        {"the folder no longer holds it", "A0003 OK", 3, {}, End::gone},
        {"a literal bigger than announced is refused unread", "* 1 FETCH (UID 4 RFC822.SIZE 10 BODY[] {200000}", 10,
         {}, End::garbled},
        {"no size known before the literal", "* 1 FETCH (UID 4 BODY[] {3}\r\nabc)\r\nA0003 OK", 0, {}, End::garbled},
        {"BYE in the middle", "* BYE Server shutting down", 3, {}, End::lost},
        {"the connection ends inside the literal", "* 1 FETCH (UID 4 BODY[] {100}\r\npartial\r\nline", 100,
         {"partial", "line"}, End::lost},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Conversation server_side = selected("").reply(c.answer);
        ScriptedServer server(c.end == End::lost ? server_side.close() : server_side.reply(imap_bye(4)));
        T_Imap client;
        open(client, server);
        std::vector<std::string> lines;
        End end = End::fetched;
        std::string failure;
        try {
            if (!client.Fetch(4, c.size, [&lines](std::string& line) { lines.push_back(std::move(line)); }))
                end = End::gone;
        } catch (const EProtocolError& e) {
            EXPECT_EQ(e.ReplyNumber, T_Imap::garbled);
            end = End::garbled;
        } catch (const ETcpIpError& e) {
            end = End::lost;
            failure = e.message();
        }
        EXPECT_EQ(end, c.end);
        // At once, and saying why: not as a connection that merely went quiet.
        if (end == End::lost) {
            EXPECT_THAT(failure, ::testing::AnyOf(HasSubstr("* BYE"), HasSubstr("middle of an answer")));
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(client.Connected, end == End::fetched || end == End::gone);
        client.Logout();
        EXPECT_THAT(server.transcript(), HasSubstr("A0003 UID FETCH 4 (UID RFC822.SIZE BODY.PEEK[])\r\n"));
    }
}

TEST(ImapRemove, MoveOrDeleteByUidOnlyAsTheServerAllows)
{
    struct Case {
        const char* what;
        std::string capabilities;
        std::string move_to;
        std::vector<std::string> replies;
        std::string sent;
        ImapRemoval removal;
        int refused = 0;
    };
    const Case cases[] = {
        {"MOVE into the folder, the UIDs as ranges", "MOVE UIDPLUS", "Zpracov\xE1no",
         {"* OK [COPYUID 38 4:5,9 1:3]\r\n* 1 EXPUNGE\r\n* 1 EXPUNGE\r\n* 1 EXPUNGE\r\nA0003 OK Move completed."},
         "A0003 UID MOVE 4:5,9 \"Zpracov&AOE-no\"\r\n", ImapRemoval::removed},
        {"deleting with UIDPLUS expunges exactly these", "MOVE UIDPLUS", "", {"A0003 OK", "* 1 EXPUNGE\r\nA0004 OK"},
         "A0003 UID STORE 4:5,9 +FLAGS.SILENT (\\Deleted)\r\nA0004 UID EXPUNGE 4:5,9\r\n", ImapRemoval::removed},
        {"neither MOVE nor UIDPLUS: copied and flagged, the expunge is the server's", "", "Hotovo",
         {"A0003 OK", "A0004 OK"},
         "A0003 UID COPY 4:5,9 \"Hotovo\"\r\nA0004 UID STORE 4:5,9 +FLAGS.SILENT (\\Deleted)\r\n",
         ImapRemoval::flagged},
        {"Gmail: deleting moves into the folder marked \\Trash",
         "X-GM-EXT-1 MOVE UIDPLUS SPECIAL-USE LIST-EXTENDED", "",
         {"* LIST (\\HasNoChildren \\All) \"/\" \"[Gmail]/All Mail\"\r\n* LIST (\\HasNoChildren \\Trash) \"/\" " +
              literal("[Gmail]/Ko&AWE-") + "\r\nA0003 OK",
          "A0004 OK"},
         "A0003 LIST (SPECIAL-USE) \"\" \"*\"\r\nA0004 UID MOVE 4:5,9 \"[Gmail]/Ko&AWE-\"\r\n", ImapRemoval::removed},
        {"a folder that could be created is, once", "", "Nikde",
         {"A0003 NO [TRYCREATE] Mailbox doesn't exist.", "A0004 OK", "A0005 NO [TRYCREATE] Still not."},
         "A0003 UID COPY 4:5,9 \"Nikde\"\r\nA0004 CREATE \"Nikde\"\r\nA0005 UID COPY 4:5,9 \"Nikde\"\r\n",
         ImapRemoval::removed, T_Imap::refused},
        {"a refused move keeps the dialogue in step", "MOVE", "Nikde", {"A0003 NO [OVERQUOTA] Quota exceeded."},
         "A0003 UID MOVE 4:5,9 \"Nikde\"\r\n", ImapRemoval::removed, T_Imap::refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Conversation server_side = selected(c.capabilities);
        for (const std::string& reply : c.replies) server_side.reply(reply);
        const int logout = 3 + int(c.replies.size());
        ScriptedServer server(server_side.reply(imap_bye(logout)));
        T_Imap client;
        open(client, server);
        int refused = 0;
        try {
            EXPECT_EQ(client.Remove({9, 4, 5, 4}, c.move_to), c.removal);
        } catch (const EProtocolError& e) {
            refused = e.ReplyNumber;
        }
        EXPECT_EQ(refused, c.refused);
        client.Logout();
        EXPECT_EQ(server.transcript(), selected_sent + c.sent + "A000" + std::to_string(logout) + " LOGOUT\r\n");
    }
}

}  // namespace
}  // namespace zanpost
