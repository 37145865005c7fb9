// What a run must keep whatever the mailbox or the INI holds: a message is deleted only
// when it is the one the run looked at and everything of it was stored; the output file and
// the program's own files change only as they should; SEND tells of every recipient it could
// not reach.

#include "app/jobs_test_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

namespace zanpost::jobs_test {
namespace {

using namespace std::string_literals;

const Message first = multipart_message("ZAN_POST prvni", {base64_part("soubor A", "attachment; filename=\"a.dat\""),
                                                            Part{{"Content-Type: text/plain"}, {"text A"}}});
const Message second = multipart_message("ZAN_POST druha", {base64_part("soubor B", "attachment; filename=\"b.dat\""),
                                                             Part{{"Content-Type: text/plain"}, {"text B"}}});

class KeptTest : public JobTest {
protected:
    void SetUp() override
    {
        JobTest::SetUp();
        if (IsSkipped()) return;
        write_file(telo_get_, "z minula\r\n");
    }
};

// ---- GET: the summary is the header's ----------------------------------------------

TEST_F(KeptTest, TheFirstBodyLineNeverMarksOrHidesAMessage)
{
    // A private message whose text starts like a courier's sender, and a courier message
    // whose text starts with a subject of its own.
    const Message private_one = plain_message("obed", {"From: ZAN_POST robot <r@x.cz>", "soukrome"});
    const Message courier = plain_message("ZAN_POST obraty", {"Subject: hello", "data"});
    ScriptedServer server(pop3_login({private_one, courier}).reply(retr_answer(courier)).reply("+OK").reply("+OK"),
                          pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(server.transcript(), login_transcript(2) + "RETR 2\r\nDELE 2\r\nQUIT\r\n");
    EXPECT_EQ(read(telo_get_), " obraty\r\nSubject: hello\r\ndata\r\n");
}

// ---- GET: numbers after a broken connection ----------------------------------------

struct Renumbered {
    const char* what;
    bool uidl;              // the server has UIDL
    std::string identity;   // the second session's answer that tells what message 2 now is
    bool same;              // it is still the message listed before
};

void PrintTo(const Renumbered& c, std::ostream* os) { *os << c.what; }

class RenumberedTest : public KeptTest, public ::testing::WithParamInterface<Renumbered> {};

TEST_P(RenumberedTest, AMessageIsFetchedAndDeletedOnlyWhenItIsStillTheOneListed)
{
    const Renumbered& c = GetParam();
    std::string cut = retr_answer(first);
    cut.resize(cut.size() / 2);
    // The first session breaks in the middle of message 1; meanwhile another client
    // deleted message 1, so what is now number 2 may be another message.
    Conversation session1 = Conversation().say("+OK").reply("+OK").reply("+OK").reply(listing_answer({first, second}));
    session1.reply(c.uidl ? uidl_answer(2) : "-ERR no UIDL");
    session1.reply(top_answer(second)).reply(top_answer(first)).await_line().say_raw(cut).close();
    Conversation session2 = Conversation().say("+OK").reply("+OK").reply("+OK").reply(listing_answer({first, second}));
    session2.reply(c.identity);
    if (c.same) session2.reply(retr_answer(second)).reply("+OK");
    session2.reply("+OK bye");
    ScriptedServer server({std::move(session1), std::move(session2)}, pop3_port);
    combined_output_ = true;
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    const std::string check = c.uidl ? "UIDL 2\r\n" : "TOP 2 1\r\n";
    const std::string relogin = "USER u\r\nPASS p\r\nLIST\r\n" + check;
    if (c.same) {
        EXPECT_EQ(r.out, message_not_fetched + notice);
        EXPECT_EQ(server.transcript(1), relogin + "RETR 2\r\nDELE 2\r\nQUIT\r\n");
        EXPECT_EQ(read(in_cesta("b.dat")), "soubor B");
        EXPECT_EQ(read(telo_get_), " druha\r\ntext B\r\n");
    } else {
        // Left for the next run, with a box: nothing retrieved, nothing deleted, nothing
        // written.
        EXPECT_EQ(r.out, message_not_fetched + message_not_fetched + notice);
        EXPECT_EQ(server.transcript(1), relogin + "QUIT\r\n");
        EXPECT_FALSE(exists(in_cesta("b.dat")));
        EXPECT_EQ(read(telo_get_), "z minula\r\n");
    }
    EXPECT_FALSE(exists(in_cesta("a.dat")));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, RenumberedTest,
    ::testing::Values(Renumbered{"same uid", true, "+OK 2 " + unique_id(2), true},
                      Renumbered{"other uid", true, "+OK 2 jina-zprava", false},
                      Renumbered{"uid gone", true, "-ERR no such message", false},
                      Renumbered{"same summary", false, top_answer(second), true},
                      Renumbered{"other summary", false,
                                 top_answer(plain_message("soukrome", {"ahoj"}, {}, "Jana <j@x.cz>")), false}),
    [](const ::testing::TestParamInfo<Renumbered>& info) { return "case" + std::to_string(info.index); });

// ---- GET: the output file ----------------------------------------------------------

TEST_F(KeptTest, AnOutputFileNamingTheProgramsOwnFilesIsRefusedBeforeAnythingIsFetched)
{
    set("Mail", "Telo", work_ + "telo.txt");
    write_file(work_ + "telo.txt", "telo k odeslani\r\n");
    for (const std::string& own : {home_ + "Zan_Post.ini", home_ + "ZAN_POST.INI", exe_, work_ + "telo.txt",
                                   work_ + "a/../telo.txt"}) {
        SCOPED_TRACE(own);
        set("Mail", "Telo_Get", own);
        ScriptedServer server(pop3_login({first, second}).reply("+OK bye"), pop3_port);
        write_ini();
        const Snapshot before = tree();
        const Outcome r = run("GET");
        EXPECT_EQ(r.exit_code, 0);
        // One box for the run, however many messages wait.
        EXPECT_EQ(r.err, output_not_saved);
        EXPECT_EQ(r.out, notice);
        EXPECT_EQ(server.transcript(), login_transcript(2) + "QUIT\r\n");
        EXPECT_EQ(changed(before, tree()), std::vector<std::string>{});
    }
}

struct Unstored {
    const char* what;
    Message message;
    std::string reply;  // to RETR
};

void PrintTo(const Unstored& c, std::ostream* os) { *os << c.what; }

class UnstoredTest : public KeptTest, public ::testing::WithParamInterface<Unstored> {};

TEST_P(UnstoredTest, AFailedMessageAloneLeavesTheOutputFileAsItWas)
{
    const Unstored& c = GetParam();
    ScriptedServer server(pop3_login({c.message}).reply(c.reply).reply("+OK bye"), pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(server.transcript(), login_transcript(1) + "RETR 1\r\nQUIT\r\n");
    EXPECT_EQ(read(telo_get_), "z minula\r\n");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

std::vector<Unstored> unstored()
{
    const Message refused_name = multipart_message(
        "ZAN_POST", {base64_part("x", "attachment; filename=\"CON\""), Part{{"Content-Type: text/plain"}, {"t"}}});
    const Message unnamed_binary = multipart_message("ZAN_POST", {base64_part("\x01\x02", "")});
    return {{"refused name", refused_name, retr_answer(refused_name)},
            {"unnamed binary part", unnamed_binary, retr_answer(unnamed_binary)},
            {"retrieve refused", first, "-ERR busy"}};
}

INSTANTIATE_TEST_SUITE_P(Failures, UnstoredTest, ::testing::ValuesIn(unstored()),
                         [](const ::testing::TestParamInfo<Unstored>& info) {
                             return "case" + std::to_string(info.index);
                         });

TEST_F(KeptTest, TrailingDotsAndBlanksAreDroppedBeforeTheChecks)
{
    set("Soubory", "Cesta", home_);
    const std::string ini = home_ + "Zan_Post.ini";
    const Message bad = multipart_message("ZAN_POST 1", {base64_part("zly", "attachment; filename=\"Zan_Post.ini.\"")});
    const Message good = multipart_message("ZAN_POST 2", {base64_part("dobry", "attachment; filename=\"x.dbf \""),
                                                          base64_part("dalsi", "attachment; filename=\"y.csv. .\"")});
    ScriptedServer server(
        pop3_login({bad, good}).reply(retr_answer(bad)).reply(retr_answer(good)).reply("+OK").reply("+OK"), pop3_port);
    write_ini();
    const std::string ini_before = read(ini);
    const Outcome r = run("GET");
    EXPECT_EQ(r.err, file_not_saved(home_ + "Zan_Post.ini."));
    EXPECT_EQ(server.transcript(), login_transcript(2) + "RETR 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
    EXPECT_EQ(read(ini), ini_before);
    // Stored under the names Windows would give them.
    EXPECT_EQ(read(home_ + "x.dbf"), "dobry");
    EXPECT_EQ(read(home_ + "y.csv"), "dalsi");
    EXPECT_FALSE(exists(home_ + "x.dbf "));
}

// ---- SEND --------------------------------------------------------------------------

class SendKeptTest : public JobTest {
protected:
    void SetUp() override
    {
        JobTest::SetUp();
        if (IsSkipped()) return;
        write_file(in_cesta("data.dat"), "data");
    }
};

Conversation whole_dialogue(int recipients)
{
    Conversation c = Conversation().say("220 ready").reply("250 hello").reply("250 sender ok");
    for (int k = 0; k < recipients; ++k) c.reply("250 recipient ok");
    return c.reply("354 go on").await_data().say("250 queued");
}

TEST_F(SendKeptTest, ARecipientPieceWithoutAnAddressIsReportedAfterTheOthersGotTheMessage)
{
    struct Case {
        const char* adresat;
        int delivered;     // RCPT TO lines
        bool box;          // the SMTP failure box
    };
    const Case cases[] = {
        {"centrala@firma.example,Ucetni Brno", 1, true},
        {"Ucetni Brno,centrala@firma.example", 1, true},
        {"centrala@firma.example, ,", 1, false},
        {"centrala@firma.example,Jana <jana@firma.example>", 2, false},
    };
    combined_output_ = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.adresat);
        set("Mail", "Adresat", c.adresat);
        ScriptedServer server({Conversation(), whole_dialogue(c.delivered)}, smtp_port);
        const Outcome r = run("SEND");
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, (c.box ? smtp_failed : "") + notice);
        const std::string& sent = server.transcript(1);
        std::size_t rcpt = 0;
        for (auto p = sent.find("RCPT TO:"); p != std::string::npos; p = sent.find("RCPT TO:", p + 1)) ++rcpt;
        EXPECT_EQ(rcpt, std::size_t(c.delivered));
        EXPECT_TRUE(sent.ends_with("\r\n.\r\n"));
        // A message without files declares its Czech text.
        EXPECT_NE(sent.find("MIME-Version: 1.0\r\nContent-Type: text/plain; charset=windows-1250\r\n"
                            "Content-Transfer-Encoding: 8bit\r\n\r\n"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace zanpost::jobs_test
