// GET with its ledger, over runs: a message seen unmarked is not asked for again, a message
// stored is never stored again - also when the answer to QUIT was lost (the server deleted)
// or the connection broke before it (the server did not) - and a ledger that cannot serve
// leaves the run as GET always was. Between runs the test takes Telo_Get and the files away,
// as Tabulix does, so whatever a run stores a second time shows.

#include "app/jobs_test_harness.h"
#include "app/mail_ledger.h"
#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <functional>
#include <thread>

namespace zanpost::jobs_test {
namespace {

// A message on the server under its unique id, and what storing it hands over.
struct Held {
    std::string id;
    Message message;
    std::string text;  // appended to Telo_Get
    std::string file;  // stored in Cesta
};
using Mailbox = std::vector<Held>;

const Held a{"id-a", office_message("prvni", 'a'), " prvni\r\ntext A\r\n", "a.dat"},
    b{"id-b", office_message("druha", 'b'), " druha\r\ntext B\r\n", "b.dat"},
    c{"id-c", office_message("treti", 'c'), " treti\r\ntext C\r\n", "c.dat"},
    d{"id-d", office_message("ctvrta", 'd'), " ctvrta\r\ntext D\r\n", "d.dat"},
    p{"id-p", plain_message("obed", {"v poledne"}), "", ""};

// Greeting, USER, PASS, LIST and UIDL answered for the mailbox.
Conversation logged_in(const Mailbox& box)
{
    std::vector<Message> messages;
    std::string ids = "+OK";
    for (std::size_t k = 0; k < box.size(); ++k) {
        messages.push_back(box[k].message);
        ids += "\r\n" + std::to_string(k + 1) + " " + box[k].id;
    }
    Conversation conversation;
    conversation.say("+OK POP3 ready").reply("+OK").reply("+OK logged in").reply(listing_answer(messages));
    if (!box.empty()) conversation.reply(ids + "\r\n.");
    return conversation;
}

const std::string login_sent = "USER u\r\nPASS p\r\nLIST\r\nUIDL\r\n";

struct LedgerRun {
    std::function<std::vector<Conversation>()> server;
    std::vector<std::string> sent;  // per connection
    std::string text;               // Telo_Get afterwards; empty: not written
    std::vector<std::string> files;  // stored in Cesta
    std::string err{};
    bool output_fails = false;       // Telo_Get is a directory: the texts cannot be written
};

// A run that asks for the summaries of the messages at `topped` (from 1, in that order), stores
// the one at `stored` and has its QUIT answered - or, `quit_lost`, the connection closed on it.
LedgerRun stores(const Mailbox& box, const std::vector<std::size_t>& topped, std::size_t stored, bool quit_lost = false)
{
    const Held& held = box[stored - 1];
    std::string sent = login_sent;
    for (std::size_t t : topped) sent += "TOP " + std::to_string(t) + " 1\r\n";
    sent += "RETR " + std::to_string(stored) + "\r\nDELE " + std::to_string(stored) + "\r\nQUIT\r\n";
    return {[=] {
                Conversation server = logged_in(box);
                for (std::size_t t : topped) server.reply(top_answer(box[t - 1].message));
                server.reply(retr_answer(held.message)).reply("+OK");
                if (quit_lost)
                    server.await_line().close();
                else
                    server.reply("+OK bye");
                return std::vector{server};
            },
            {sent},
            held.text,
            {held.file},
            quit_lost ? pop3_not_connected : ""};
}

struct LedgerCase {
    const char* name;
    std::vector<LedgerRun> runs;
    std::string ledger_before{};  // written before the first run; empty: none
    const char* logged = "";    // what the run log says of it
    const char* evidence = "";  // [POP3] Evidence under work/; empty: the default
};

std::vector<LedgerCase> ledger_cases()
{
    return {
        {"a message seen unmarked is not asked for again",
         {stores({p, a}, {2, 1}, 2), stores({p, b}, {2}, 2)}},
        {"an id given again to a message of another size is a new message",
         {{[] { return std::vector{logged_in({p}).reply(top_answer(p.message)).reply("+OK bye")}; },
           {login_sent + "TOP 1 1\r\nQUIT\r\n"},
           "",
           {}},
          stores({{p.id, a.message, a.text, a.file}}, {1}, 1)}},
        {"the answer to QUIT lost, the server deleted: nothing comes twice",
         {stores({a, p}, {2, 1}, 1, true),
          // Nothing new: the floor of a run, no TOP at all.
          {[] { return std::vector{logged_in({p}).reply("+OK bye")}; }, {login_sent + "QUIT\r\n"}, "", {}}}},
        {"the connection broken before QUIT, the server kept it: deleted unfetched next run",
         {{[] { return std::vector{logged_in({a, b}).reply(top_answer(b.message)).reply(top_answer(a.message))
                                       .reply(retr_answer(a.message)).reply("+OK").await_line().close()}; },
           {login_sent + "TOP 2 1\r\nTOP 1 1\r\nRETR 1\r\nDELE 1\r\nRETR 2\r\n"},
           a.text,
           {a.file},
           message_not_fetched},
          {[] { return std::vector{logged_in({a, b}).reply(top_answer(b.message)).reply("+OK")
                                       .reply(retr_answer(b.message)).reply("+OK").reply("+OK bye")}; },
           {login_sent + "TOP 2 1\r\nDELE 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n"},
           b.text,
           {b.file}},
          {[] { return std::vector{logged_in({}).reply("+OK bye")}; }, {"USER u\r\nPASS p\r\nLIST\r\nQUIT\r\n"}, "", {}}}},
        {"broken in the middle of a run: the session after it deletes again what was stored",
         {{[] {
               // Four summaries are worth asking for PIPELINING; this server knows no CAPA.
               return std::vector{logged_in({a, b, c, d}).reply("-ERR unknown command").reply(top_answer(d.message))
                                      .reply(top_answer(c.message)).reply(top_answer(b.message))
                                      .reply(top_answer(a.message)).reply(retr_answer(a.message)).reply("+OK")
                                      .await_line().close(),
                                  Conversation().say("+OK again").reply("+OK").reply("+OK").reply(
                                      listing_answer({a.message, b.message, c.message, d.message}))
                                      .reply("+OK 3 id-c").reply(retr_answer(c.message)).reply("+OK")
                                      .reply("+OK 4 id-d").reply(retr_answer(d.message)).reply("+OK")
                                      .reply("+OK 1 id-a").reply("+OK").reply("+OK bye")};
           },
           {login_sent + "CAPA\r\nTOP 4 1\r\nTOP 3 1\r\nTOP 2 1\r\nTOP 1 1\r\nRETR 1\r\nDELE 1\r\nRETR 2\r\n",
            "USER u\r\nPASS p\r\nLIST\r\nUIDL 3\r\nRETR 3\r\nDELE 3\r\nUIDL 4\r\nRETR 4\r\nDELE 4\r\nUIDL 1\r\nDELE 1\r\n"
            "QUIT\r\n"},
           a.text + c.text + d.text,
           {a.file, c.file, d.file},
           message_not_fetched},
          stores({b}, {1}, 1)}},
        {"the texts not written: no QUIT, and the message not recorded as stored, so it comes again",
         {{[] { return std::vector{logged_in({a}).reply(top_answer(a.message)).reply(retr_answer(a.message)).reply("+OK")}; },
           {login_sent + "TOP 1 1\r\nRETR 1\r\nDELE 1\r\n"},
           "",
           {a.file},
           output_not_saved,
           true},
          stores({a}, {1}, 1)}},
        // Without a ledger to say it was stored, a message the server did not delete comes
        // again on the second run, as it always did; the private one is known by then.
        {"a damaged ledger: this run as without one, the next one with a new ledger",
         {stores({a, p}, {2, 1}, 1, true), stores({a, p}, {1}, 1)},
         "ZanPost ledger 1\r\nmailbox 127.0.0.1 110 u\r\nS 12 garbage\r\n",
         "is damaged"},
        {"the ledger of another mailbox is not trusted",
         {stores({p, a}, {2, 1}, 2)},
         "ZanPost ledger 1\r\nmailbox 127.0.0.1 110 jiny\r\nS " + std::to_string(size_of(a.message)) + " 2026-12-07 id-a\r\nU " +
             std::to_string(size_of(p.message)) + " - id-p\r\n",
         "is of another mailbox"},
        {"a ledger that cannot be written: the run as without one",
         {{[] { return std::vector{logged_in({a, b}).reply(top_answer(b.message)).reply(top_answer(a.message))
                                       .reply(retr_answer(a.message)).reply("+OK").await_line().close()}; },
           {login_sent + "TOP 2 1\r\nTOP 1 1\r\nRETR 1\r\nDELE 1\r\nRETR 2\r\n"},
           // The text is taken back, to come with the message next time.
           "",
           {a.file},
           message_not_fetched}},
         "",
         "No lock beside the ledger",
         "missing/Zan_Post.uidl"},
    };
}

class LedgerTest : public JobTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(LedgerTest, EveryMessageIsStoredOnceAndOnlyNewMailCosts)
{
    const LedgerCase lc = ledger_cases()[GetParam()];
    SCOPED_TRACE(lc.name);
    const std::string log = work_ + "zanpost.log";
    set("Mail", "Protokol", log);
    if (!lc.ledger_before.empty()) write_file(ledger_path(), lc.ledger_before);
    if (*lc.evidence != '\0') set("POP3", "Evidence", work_ + lc.evidence);
    for (std::size_t k = 0; k < lc.runs.size(); ++k) {
        SCOPED_TRACE("run " + std::to_string(k + 1));
        const LedgerRun& step = lc.runs[k];
        const std::string output = work_ + "vystup";
        std::filesystem::create_directories(output + "/y");
        set("Mail", "Telo_Get", step.output_fails ? output : telo_get_);
        ScriptedServer server(step.server(), pop3_port);
        const Outcome r = run("GET");
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, step.err);
        for (std::size_t s = 0; s < step.sent.size(); ++s) EXPECT_EQ(server.transcript(s), step.sent[s]) << s;
        const auto [text, files] = take_handed_over();
        EXPECT_EQ(text, step.text);
        EXPECT_EQ(files, step.files);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        // Whatever the run met, the ledger it leaves serves the next.
        if (exists(ledger_path()) && *lc.evidence == '\0') {
            EXPECT_EQ(MailLedger(ledger_path(), "127.0.0.1 110 u").Load(), MailLedger::Loaded::loaded);
        }
    }
    // The run log tells why a ledger was set aside, and only then speaks of it.
    const std::string logged = read(log);
    if (*lc.logged != '\0')
        EXPECT_NE(logged.find(lc.logged), std::string::npos) << logged;
    else
        EXPECT_EQ(logged.find("Ledger"), std::string::npos) << logged;
}

INSTANTIATE_TEST_SUITE_P(Runs, LedgerTest, ::testing::Range<std::size_t>(0, ledger_cases().size()));

// ---- two GETs of one mailbox ----------------------------------------------------------

class LockTest : public JobTest {
protected:
    std::string lock_path() const { return ledger_path() + ".lock"; }
};

TEST_F(LockTest, ASecondGetWaitsForTheFirstAndRunsOnTheLedgerItLeft)
{
    set("Mail", "Timeout", "4");
    // The first GET, as far as the second can tell: it holds the lock, leaves a ledger
    // that knows the private message, and ends.
    auto first_run = platform::FileLock::acquire(lock_path(), 1);
    ASSERT_TRUE(first_run);
    std::thread first_get([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        write_file(ledger_path(), "ZanPost ledger 1\r\nmailbox 127.0.0.1 110 u\r\nU " + std::to_string(size_of(p.message)) + " - id-p\r\n");
        first_run.reset();
    });
    const LedgerRun expected = stores({p, a}, {2}, 2);
    ScriptedServer server(expected.server(), pop3_port);
    const Outcome r = run("GET");
    first_get.join();
    EXPECT_EQ(r.err, "");
    EXPECT_GE(r.seconds, 1.1);
    EXPECT_EQ(server.transcript(), expected.sent[0]);
    EXPECT_EQ(read(telo_get_), a.text);
}

}  // namespace
}  // namespace zanpost::jobs_test
