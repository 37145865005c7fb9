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

// A message on the server under its unique id.
struct Held {
    std::string id;
    Message message;
};
using Mailbox = std::vector<Held>;

const Message first = multipart_message("ZAN_POST prvni", {base64_part("soubor A", "attachment; filename=\"a.dat\""),
                                                            Part{{"Content-Type: text/plain"}, {"text A"}}});
const Message second = multipart_message("ZAN_POST druha", {base64_part("soubor B", "attachment; filename=\"b.dat\""),
                                                             Part{{"Content-Type: text/plain"}, {"text B"}}});
const Message third = multipart_message("ZAN_POST treti", {base64_part("soubor C", "attachment; filename=\"c.dat\""),
                                                            Part{{"Content-Type: text/plain"}, {"text C"}}});
const Message fourth = multipart_message("ZAN_POST ctvrta", {base64_part("soubor D", "attachment; filename=\"d.dat\""),
                                                             Part{{"Content-Type: text/plain"}, {"text D"}}});
const Message private_mail = plain_message("obed", {"v poledne"});

const Held a{"id-a", first}, b{"id-b", second}, c{"id-c", third}, d{"id-d", fourth}, p{"id-p", private_mail};

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

struct LedgerCase {
    const char* name;
    std::vector<LedgerRun> runs;
    std::string ledger_before{};  // written before the first run; empty: none
    const char* logged = "";    // what the run log says of it
    const char* evidence = "";  // [POP3] Evidence under work/; empty: the default
};

std::string size_of(const Message& message)
{
    std::size_t size = 0;
    for (const auto& line : message) size += line.size() + 2;
    return std::to_string(size);
}

std::vector<LedgerCase> ledger_cases()
{
    return {
        {"a message seen unmarked is not asked for again",
         {{[] { return std::vector{logged_in({p, a}).reply(top_answer(first)).reply(top_answer(private_mail))
                                       .reply(retr_answer(first)).reply("+OK").reply("+OK bye")}; },
           {login_sent + "TOP 2 1\r\nTOP 1 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n"},
           " prvni\r\ntext A\r\n",
           {"a.dat"}},
          {[] { return std::vector{logged_in({p, b}).reply(top_answer(second)).reply(retr_answer(second))
                                       .reply("+OK").reply("+OK bye")}; },
           {login_sent + "TOP 2 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n"},
           " druha\r\ntext B\r\n",
           {"b.dat"}},
          // Nothing new: the floor of a run, no TOP at all.
          {[] { return std::vector{logged_in({p}).reply("+OK bye")}; }, {login_sent + "QUIT\r\n"}, "", {}}}},
        {"an id given again to a message of another size is a new message",
         {{[] { return std::vector{logged_in({p}).reply(top_answer(private_mail)).reply("+OK bye")}; },
           {login_sent + "TOP 1 1\r\nQUIT\r\n"},
           "",
           {}},
          {[] { return std::vector{logged_in({{p.id, first}}).reply(top_answer(first)).reply(retr_answer(first))
                                       .reply("+OK").reply("+OK bye")}; },
           {login_sent + "TOP 1 1\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n"},
           " prvni\r\ntext A\r\n",
           {"a.dat"}}}},
        {"the answer to QUIT lost, the server deleted: nothing comes twice",
         {{[] { return std::vector{logged_in({a, p}).reply(top_answer(private_mail)).reply(top_answer(first))
                                       .reply(retr_answer(first)).reply("+OK").await_line().close()}; },
           {login_sent + "TOP 2 1\r\nTOP 1 1\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n"},
           " prvni\r\ntext A\r\n",
           {"a.dat"},
           pop3_not_connected},
          {[] { return std::vector{logged_in({p}).reply("+OK bye")}; }, {login_sent + "QUIT\r\n"}, "", {}}}},
        {"the connection broken before QUIT, the server kept it: deleted unfetched next run",
         {{[] { return std::vector{logged_in({a, b}).reply(top_answer(second)).reply(top_answer(first))
                                       .reply(retr_answer(first)).reply("+OK").await_line().close()}; },
           {login_sent + "TOP 2 1\r\nTOP 1 1\r\nRETR 1\r\nDELE 1\r\nRETR 2\r\n"},
           " prvni\r\ntext A\r\n",
           {"a.dat"},
           message_not_fetched},
          {[] { return std::vector{logged_in({a, b}).reply(top_answer(second)).reply("+OK").reply(retr_answer(second))
                                       .reply("+OK").reply("+OK bye")}; },
           {login_sent + "TOP 2 1\r\nDELE 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n"},
           " druha\r\ntext B\r\n",
           {"b.dat"}},
          {[] { return std::vector{logged_in({}).reply("+OK bye")}; }, {"USER u\r\nPASS p\r\nLIST\r\nQUIT\r\n"}, "", {}}}},
        {"broken in the middle of a run: the session after it deletes again what was stored",
         {{[] {
               // Four summaries are worth asking for PIPELINING; this server knows no CAPA.
               return std::vector{logged_in({a, b, c, d}).reply("-ERR unknown command").reply(top_answer(fourth))
                                      .reply(top_answer(third)).reply(top_answer(second)).reply(top_answer(first))
                                      .reply(retr_answer(first)).reply("+OK").await_line().close(),
                                  Conversation().say("+OK again").reply("+OK").reply("+OK").reply(
                                      listing_answer({first, second, third, fourth}))
                                      .reply("+OK 3 id-c").reply(retr_answer(third)).reply("+OK")
                                      .reply("+OK 4 id-d").reply(retr_answer(fourth)).reply("+OK")
                                      .reply("+OK 1 id-a").reply("+OK").reply("+OK bye")};
           },
           {login_sent + "CAPA\r\nTOP 4 1\r\nTOP 3 1\r\nTOP 2 1\r\nTOP 1 1\r\nRETR 1\r\nDELE 1\r\nRETR 2\r\n",
            "USER u\r\nPASS p\r\nLIST\r\nUIDL 3\r\nRETR 3\r\nDELE 3\r\nUIDL 4\r\nRETR 4\r\nDELE 4\r\nUIDL 1\r\nDELE 1\r\n"
            "QUIT\r\n"},
           " prvni\r\ntext A\r\n treti\r\ntext C\r\n ctvrta\r\ntext D\r\n",
           {"a.dat", "c.dat", "d.dat"},
           message_not_fetched},
          {[] { return std::vector{logged_in({b}).reply(top_answer(second)).reply(retr_answer(second)).reply("+OK")
                                       .reply("+OK bye")}; },
           {login_sent + "TOP 1 1\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n"},
           " druha\r\ntext B\r\n",
           {"b.dat"}}}},
        {"the texts not written: no QUIT, and the message not recorded as stored, so it comes again",
         {{[] { return std::vector{logged_in({a}).reply(top_answer(first)).reply(retr_answer(first)).reply("+OK")}; },
           {login_sent + "TOP 1 1\r\nRETR 1\r\nDELE 1\r\n"},
           "",
           {"a.dat"},
           output_not_saved,
           true},
          {[] { return std::vector{logged_in({a}).reply(top_answer(first)).reply(retr_answer(first)).reply("+OK")
                                       .reply("+OK bye")}; },
           {login_sent + "TOP 1 1\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n"},
           " prvni\r\ntext A\r\n",
           {"a.dat"}}}},
        {"a damaged ledger: this run as without one, the next one with a new ledger",
         {{[] { return std::vector{logged_in({a, p}).reply(top_answer(private_mail)).reply(top_answer(first))
                                       .reply(retr_answer(first)).reply("+OK").await_line().close()}; },
           {login_sent + "TOP 2 1\r\nTOP 1 1\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n"},
           " prvni\r\ntext A\r\n",
           {"a.dat"},
           pop3_not_connected},
          // Without a ledger to say it was stored, a message the server did not delete
          // comes again, as it always did; the private one is known by now.
          {[] { return std::vector{logged_in({a, p}).reply(top_answer(first)).reply(retr_answer(first))
                                       .reply("+OK").reply("+OK bye")}; },
           {login_sent + "TOP 1 1\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n"},
           " prvni\r\ntext A\r\n",
           {"a.dat"}}},
         "ZanPost ledger 1\r\nmailbox 127.0.0.1 110 u\r\nS 12 garbage\r\n",
         "is damaged"},
        {"the ledger of another mailbox is not trusted",
         {{[] { return std::vector{logged_in({p, a}).reply(top_answer(first)).reply(top_answer(private_mail))
                                       .reply(retr_answer(first)).reply("+OK").reply("+OK bye")}; },
           {login_sent + "TOP 2 1\r\nTOP 1 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n"},
           " prvni\r\ntext A\r\n",
           {"a.dat"}}},
         "ZanPost ledger 1\r\nmailbox 127.0.0.1 110 jiny\r\nS " + size_of(first) + " 2026-12-07 id-a\r\nU " +
             size_of(private_mail) + " - id-p\r\n",
         "is of another mailbox"},
        {"a ledger that cannot be written: the run as without one",
         {{[] { return std::vector{logged_in({a, b}).reply(top_answer(second)).reply(top_answer(first))
                                       .reply(retr_answer(first)).reply("+OK").await_line().close()}; },
           {login_sent + "TOP 2 1\r\nTOP 1 1\r\nRETR 1\r\nDELE 1\r\nRETR 2\r\n"},
           // The text is taken back, to come with the message next time.
           "",
           {"a.dat"},
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
        write_file(ledger_path(), "ZanPost ledger 1\r\nmailbox 127.0.0.1 110 u\r\nU " + size_of(private_mail) + " - id-p\r\n");
        first_run.reset();
    });
    ScriptedServer server(logged_in({p, a}).reply(top_answer(first)).reply(retr_answer(first)).reply("+OK").reply("+OK bye"),
                          pop3_port);
    const Outcome r = run("GET");
    first_get.join();
    EXPECT_EQ(r.err, "");
    EXPECT_GE(r.seconds, 1.1);
    EXPECT_EQ(server.transcript(), login_sent + "TOP 2 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
    EXPECT_EQ(read(telo_get_), " prvni\r\ntext A\r\n");
}

}  // namespace
}  // namespace zanpost::jobs_test
