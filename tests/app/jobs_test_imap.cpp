// GET over IMAP ([Mail] Prijem=IMAP) against scripted servers, run after run: the marked
// messages of the folder arrive once with their files and text and are taken out only after
// that, by UID, as the server allows; the ledger keeps the position, so only new mail costs,
// and what was stored but not taken out when the connection broke is taken out unfetched.
// Between runs the test takes Telo_Get and the files away, as Tabulix does, so whatever a
// run stores a second time shows.

#include "app/jobs_test_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace zanpost::jobs_test {
namespace {

constexpr std::uint16_t imap_port = 143;

const std::string imap_not_connected = error_box(imap_text);
const std::string imap_not_fetched =
    error_box("Nepoda\u0159ilo se z\u00edskat do\u0161lou zpr\u00e1vu ze serveru p\u0159\u00edchoz\u00ed po\u0161ty (IMAP).");

const Message first = office_message("prvni", 'a');
// A folded subject: the marker's text goes on in the next line.
const Message second{"From: Pobocka <pobocka@firma.example>", "Subject: zan_post", "  druha", "", "text B", ".tecka"};
const Message private_mail = plain_message("obed", {"v poledne"});

// A message of the folder under its UID, and what storing it hands over.
struct Held {
    std::uint32_t uid;
    Message message;
    std::string text;  // appended to Telo_Get
    std::string file;  // stored in Cesta; empty: none
};
const Held p{3, private_mail, "", ""}, a{5, first, " prvni\r\ntext A\r\n", "a.dat"},
    b{9, second, "  druha\r\ntext B\r\n.tecka\r\n", ""};

std::string wire(const Message& message)
{
    std::string bytes;
    for (const std::string& line : message) bytes += line + "\r\n";
    return bytes;
}

std::string literal(const std::string& bytes) { return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes; }

// One command of the client and the server's answer: untagged lines, then the tagged status.
// Without a status the server closes the connection after the untagged lines.
struct Exchange {
    std::string command;
    std::string untagged;
    std::string status = "OK done";
};
using Session = std::vector<Exchange>;

std::string tag(std::size_t number)
{
    const std::string digits = std::to_string(number);
    return "A" + std::string(4 - digits.size(), '0') + digits;
}

Conversation server_side(const Session& session)
{
    Conversation c;
    c.say("* OK [CAPABILITY IMAP4rev1] ready");
    for (std::size_t k = 0; k < session.size(); ++k) {
        const Exchange& e = session[k];
        std::string answer = e.untagged;
        if (!e.status.empty()) answer += (answer.empty() ? "" : "\r\n") + tag(k + 1) + " " + e.status;
        if (answer.empty())
            c.await_line();
        else
            c.reply(answer);
        if (e.status.empty()) c.close();
    }
    return c;
}

std::string client_side(const Session& session)
{
    std::string sent;
    for (std::size_t k = 0; k < session.size(); ++k) sent += tag(k + 1) + " " + session[k].command + "\r\n";
    return sent;
}

Exchange login(const std::string& capabilities)
{
    return {"LOGIN \"u\" \"p\"", "", "OK [CAPABILITY IMAP4rev1 " + capabilities + "] Logged in"};
}

Exchange select(std::uint32_t validity, std::uint32_t next)
{
    return {"SELECT \"INBOX\"",
            "* 3 EXISTS\r\n* OK [UIDVALIDITY " + std::to_string(validity) + "] UIDs valid\r\n* OK [UIDNEXT " +
                std::to_string(next) + "] next",
            "OK [READ-WRITE] Select completed"};
}

// The header pass from `from`, each header a literal; `between` goes after the first answer.
Exchange headers(std::uint32_t from, const std::vector<Held>& messages, const std::string& between = "")
{
    Exchange e{"UID FETCH " + std::to_string(from) + ":* (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])",
               ""};
    for (std::size_t k = 0; k < messages.size(); ++k) {
        std::string fields;
        bool field = false;
        for (const std::string& line : messages[k].message) {
            if (line.empty()) break;
            if (line.front() != ' ' && line.front() != '\t')
                field = line.starts_with("From:") || line.starts_with("Subject:");
            if (field) fields += line + "\r\n";
        }
        if (!e.untagged.empty()) e.untagged += "\r\n";
        e.untagged += "* " + std::to_string(k + 1) + " FETCH (UID " + std::to_string(messages[k].uid) + " RFC822.SIZE " +
                      std::to_string(wire(messages[k].message).size()) + " BODY[HEADER.FIELDS (FROM SUBJECT)] " +
                      literal(fields + "\r\n") + ")";
        if (k == 0 && !between.empty()) e.untagged += "\r\n" + between;
    }
    return e;
}

// The whole message, with `around` before and after its answer.
Exchange body(const Held& held, const std::string& around = "")
{
    const std::string bytes = wire(held.message);
    std::string answer = "* 2 FETCH (UID " + std::to_string(held.uid) + " RFC822.SIZE " + std::to_string(bytes.size()) +
                         " BODY[] " + literal(bytes) + ")";
    if (!around.empty()) answer = around + "\r\n" + answer + "\r\n" + around;
    return {"UID FETCH " + std::to_string(held.uid) + " (UID RFC822.SIZE BODY.PEEK[])", answer};
}

Exchange logout() { return {"LOGOUT", "* BYE Logging out", "OK Logout completed"}; }
Exchange flagged(const std::string& uids, const std::string& status = "OK done")
{
    return {"UID STORE " + uids + " +FLAGS.SILENT (\\Deleted)", "", status};
}
Exchange expunged(const std::string& uids, const std::string& untagged = "") { return {"UID EXPUNGE " + uids, untagged}; }

struct ImapRun {
    std::vector<Session> sessions;  // one per connection
    std::vector<Held> stored;       // their texts in Telo_Get, their files in Cesta
    std::string err;
    std::vector<std::string> logged;  // in the run log
    std::string position;             // the ledger's position line afterwards
};

struct ImapCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> keys;  // of [IMAP]
    std::vector<ImapRun> runs;
};

const std::string end_line = " end GET: fetched ";

std::vector<ImapCase> imap_cases()
{
    return {
        {"deleted by UID, the rest unread; nothing new costs no header pass",
         {},
         {{{{login("UIDPLUS MOVE"), select(77, 10), headers(1, {p, a}), body(a), flagged("5"), expunged("5", "* 2 EXPUNGE"),
             logout()}},
           {a}, "",
           {"> A0001 LOGIN \"u\" *****\n", "< (message: ", end_line + "1, files stored 2, deleted 1, boxes 1\n"},
           "above 77 5"},
          {{{login("UIDPLUS MOVE"), select(77, 6), logout()}}, {}, "", {end_line + "0"}, "above 77 5"}}},
        {"literals, quoted strings and untagged answers anywhere; moved into Presun",
         {{"Presun", "Hotovo"}},
         {{{{login("UIDPLUS MOVE"), select(77, 12),
             headers(1, {a, b}, "* 4 EXISTS\r\n* 1 FETCH (FLAGS (\\Seen))\r\n* 3 EXPUNGE"),
             body(a, "* 4 EXISTS\r\n* 1 EXPUNGE"), body(b), {"UID MOVE 5,9 \"Hotovo\"", "* 1 EXPUNGE\r\n* 1 EXPUNGE"},
             logout()}},
           {a, b}, "",
           {end_line + "2, files stored 2, deleted 0, moved 2, boxes 1\n"},
           "above 77 9"}}},
        {"Gmail: deleting means its Trash, since an expunge there only archives",
         {},
         {{{{login("UIDPLUS MOVE X-GM-EXT-1 SPECIAL-USE LIST-EXTENDED"), select(77, 10), headers(1, {a}), body(a),
             {"LIST (SPECIAL-USE) \"\" \"*\"", "* LIST (\\HasNoChildren \\Trash) \"/\" \"[Gmail]/Trash\""},
             {"UID MOVE 5 \"[Gmail]/Trash\"", "* 1 EXPUNGE"}, logout()}},
           {a}, "",
           {end_line + "1, files stored 2, deleted 1, boxes 1\n"},
           "above 77 5"}}},
        {"neither MOVE nor UIDPLUS: copied into a Presun made on the way, flagged, and the log says so",
         {{"Presun", "Hotovo"}},
         {{{{login(""), select(77, 10), headers(1, {a}), body(a),
             {"UID COPY 5 \"Hotovo\"", "", "NO [TRYCREATE] No such folder"}, {"CREATE \"Hotovo\"", ""},
             {"UID COPY 5 \"Hotovo\"", ""}, flagged("5"), logout()}},
           {a}, "",
           {"neither MOVE nor UIDPLUS: 1 messages are only flagged",
            end_line + "1, files stored 2, deleted 0, flagged 1 (the server expunges them), boxes 1\n"},
           "above 77 5"}}},
        {"BYE during a fetch: the next message over a new connection, the first one next run",
         {},
         {{{{login("UIDPLUS"), select(77, 10), headers(1, {p, a, b}),
             {"UID FETCH 5 (UID RFC822.SIZE BODY.PEEK[])", "* BYE Server shutting down", ""}},
            {login("UIDPLUS"), select(77, 10), body(b), flagged("9"), expunged("9"), logout()}},
           {b}, imap_not_fetched, {"< * BYE Server shutting down\n"}, "above 77 4"},
          {{{login("UIDPLUS"), select(77, 10), headers(5, {a}), body(a), flagged("5"), expunged("5"), logout()}},
           {a}, "", {}, "above 77 5"}}},
        {"one refused, the next stored and broken before its removal: the first next run, the second taken out "
         "unfetched",
         {},
         {{{{login("UIDPLUS"), select(77, 10), headers(1, {a, b}),
             {"UID FETCH 5 (UID RFC822.SIZE BODY.PEEK[])", "", "NO [UNAVAILABLE] Try later"}, body(b),
             flagged("9", "")}},
           {b}, imap_not_fetched + imap_not_connected, {}, "above 77 4"},
          {{{login("UIDPLUS"), select(77, 10), headers(5, {a, b}), body(a), flagged("5,9"), expunged("5,9"), logout()}},
           {a}, "",
           {end_line + "1, files stored 2, deleted 2, boxes 1\n"},
           "above 77 9"}}},
        {"a new UIDVALIDITY: the whole folder is looked at again",
         {},
         {{{{login("UIDPLUS"), select(77, 10), headers(1, {p}), logout()}}, {}, "", {}, "above 77 3"},
          {{{login("UIDPLUS"), select(88, 10), headers(1, {p, a}), body(a), flagged("5"), expunged("5"), logout()}},
           {a}, "", {"UIDVALIDITY changed from 77 to 88"}, "above 88 5"}}},
    };
}

class ImapJobTest : public JobTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ImapJobTest, MarkedMessagesArriveOnceAndLeaveTheFolderAfterwards)
{
    const ImapCase c = imap_cases()[GetParam()];
    SCOPED_TRACE(c.name);
    const std::string log = work_ + "zanpost.log";
    set("Mail", "Protokol", log);
    set("Mail", "Prijem", "imap");
    for (const auto& [key, value] : c.keys) set("IMAP", key, value);
    for (std::size_t k = 0; k < c.runs.size(); ++k) {
        SCOPED_TRACE("run " + std::to_string(k + 1));
        const ImapRun& step = c.runs[k];
        std::filesystem::remove(log);
        std::vector<Conversation> conversations;
        for (const Session& session : step.sessions) conversations.push_back(server_side(session));
        ScriptedServer server(conversations, imap_port);
        const Outcome r = run("GET");
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, step.err);
        EXPECT_EQ(r.out, notice);
        for (std::size_t s = 0; s < step.sessions.size(); ++s)
            EXPECT_EQ(server.transcript(s), client_side(step.sessions[s])) << s;
        EXPECT_EQ(server.connections(), step.sessions.size());
        std::string text;
        std::vector<std::string> files;
        for (const Held& held : step.stored) {
            text += held.text;
            if (!held.file.empty()) files.push_back(held.file);
        }
        EXPECT_EQ(take_handed_over(), std::make_pair(text, files));
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        const std::string logged = read(log);
        for (const std::string& line : step.logged) EXPECT_NE(logged.find(line), std::string::npos) << line << "\n" << logged;
        const std::string ledger = read(home_ + "Zan_Post.imap");
        EXPECT_NE(ledger.find("\r\n" + step.position + "\r\n"), std::string::npos) << ledger;
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, ImapJobTest, ::testing::Range<std::size_t>(0, imap_cases().size()));

}  // namespace
}  // namespace zanpost::jobs_test
