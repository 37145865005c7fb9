// Both jobs against servers that break the dialogue at every step: the connection dropped,
// a server that stops answering, answers that are garbage, empty, not numbers or 10 MB
// long. Each case checks the boxes, the exit code, that the run ends soon, and that
// nothing is lost: a message not stored whole stays on the server (no DELE), no file is
// left half-written, an old output file stays as it was.

#include "app/jobs_test_harness.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace zanpost::jobs_test {
namespace {

using namespace std::string_literals;

const std::string ten_mb(10 * 1024 * 1024, 'x');

// ---- GET ---------------------------------------------------------------------------

const Message first = multipart_message("ZAN_POST prvni", {base64_part("soubor A", "attachment; filename=\"a.dat\""),
                                                            Part{{"Content-Type: text/plain"}, {"text A"}}});
const Message second = multipart_message("ZAN_POST druha", {base64_part("soubor B", "attachment; filename=\"b.dat\""),
                                                             Part{{"Content-Type: text/plain"}, {"text B"}}});
const std::vector<Message> mailbox{first, second};

class ReceiveFaultTest : public JobTest {
protected:
    void SetUp() override
    {
        JobTest::SetUp();
        if (IsSkipped()) return;
        write_file(telo_get_, "z minula\r\n");
    }

    // A run that could not get into the mailbox: one box, nothing fetched or written.
    void expect_mailbox_untouched(const Outcome& r, ScriptedServer& server)
    {
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, pop3_not_connected);
        EXPECT_EQ(r.out, notice);
        EXPECT_LT(r.seconds, 8.0);
        EXPECT_EQ(server.transcript().find("RETR"), std::string::npos) << server.transcript();
        EXPECT_EQ(server.transcript().find("DELE"), std::string::npos) << server.transcript();
        EXPECT_EQ(read(telo_get_), "z minula\r\n");
        EXPECT_FALSE(exists(in_cesta("a.dat")));
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
};

struct LoginFault {
    const char* step;
    Conversation server;
    std::string sent;  // what the program must have sent before it gave up
};

std::vector<LoginFault> login_faults()
{
    const std::string listing = listing_answer(mailbox);
    auto greeted = [] { return Conversation().say("+OK POP3 ready"); };
    return {
        {"dropped before the greeting", Conversation().close(), ""},
        {"dropped after USER", greeted().await_line().close(), "USER u\r\n"},
        {"dropped after PASS", greeted().reply("+OK").await_line().close(), "USER u\r\nPASS p\r\n"},
        {"dropped after LIST", greeted().reply("+OK").reply("+OK").await_line().close(), "USER u\r\nPASS p\r\nLIST\r\n"},
        {"dropped in the listing", greeted().reply("+OK").reply("+OK").reply("+OK 2 messages\r\n1 120").close(),
         "USER u\r\nPASS p\r\nLIST\r\n"},
        {"dropped after UIDL", greeted().reply("+OK").reply("+OK").reply(listing).await_line().close(),
         "USER u\r\nPASS p\r\nLIST\r\nUIDL\r\n"},
        {"dropped after TOP",
         greeted().reply("+OK").reply("+OK").reply(listing).reply(uidl_answer(2)).await_line().close(),
         "USER u\r\nPASS p\r\nLIST\r\nUIDL\r\nTOP 2 1\r\n"},
        {"dropped in a TOP answer",
         greeted().reply("+OK").reply("+OK").reply(listing).reply(uidl_answer(2)).await_line().say_raw(
             "+OK\r\nFrom: x\r\nSubj").close(),
         "USER u\r\nPASS p\r\nLIST\r\nUIDL\r\nTOP 2 1\r\n"},
        {"silent from the start", Conversation(), ""},
        {"silent after PASS", greeted().reply("+OK"), "USER u\r\nPASS p\r\n"},
        {"silent in the listing", greeted().reply("+OK").reply("+OK").reply("+OK 2 messages\r\n1 120"),
         "USER u\r\nPASS p\r\nLIST\r\n"},
        {"garbage greeting", Conversation().say("garbage"), ""},
        {"empty greeting", Conversation().say(""), ""},
        {"10 MB greeting that is no status", Conversation().say(ten_mb), ""},
        {"10 MB line without an end", Conversation().say_raw(ten_mb).close(), ""},
        // A status line beyond 64 KiB is no answer, even when it starts like one.
        {"10 MB refusal", greeted().reply("+OK").reply("-ERR " + ten_mb), "USER u\r\nPASS p\r\n"},
        // A clean "-ERR", or a listing read to its end, leaves the dialogue in step: the
        // program says goodbye.
        {"greeting refused", Conversation().say("-ERR busy"), "QUIT\r\n"},
        {"password refused", greeted().reply("+OK").reply("-ERR invalid login"), "USER u\r\nPASS p\r\nQUIT\r\n"},
        {"listing that is not numbers", greeted().reply("+OK").reply("+OK").reply("+OK\r\nabc 120\r\n."),
         "USER u\r\nPASS p\r\nLIST\r\nQUIT\r\n"},
        {"listing line without a size", greeted().reply("+OK").reply("+OK").reply("+OK\r\n1\r\nx\r\n."),
         "USER u\r\nPASS p\r\nLIST\r\nQUIT\r\n"},
        {"UIDL answered with garbage", greeted().reply("+OK").reply("+OK").reply(listing).reply("what?"),
         "USER u\r\nPASS p\r\nLIST\r\nUIDL\r\n"},
        {"TOP answered with garbage",
         greeted().reply("+OK").reply("+OK").reply(listing).reply(uidl_answer(2)).reply("what?"),
         "USER u\r\nPASS p\r\nLIST\r\nUIDL\r\nTOP 2 1\r\n"},
    };
}

class LoginFaultTest : public ReceiveFaultTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(LoginFaultTest, ShowsTheConnectBoxAndFetchesNothing)
{
    set("Mail", "Timeout", "1");
    LoginFault fault = login_faults()[GetParam()];
    SCOPED_TRACE(fault.step);
    ScriptedServer server(std::move(fault.server), pop3_port);
    const Outcome r = run("GET");
    expect_mailbox_untouched(r, server);
    // Nothing after a drop or a garbled answer: no command on a connection out of step.
    EXPECT_EQ(server.transcript(), fault.sent);
}

INSTANTIATE_TEST_SUITE_P(Steps, LoginFaultTest, ::testing::Range<std::size_t>(0, login_faults().size()));

// The connection that follows a broken one: a fresh login without TOP, message 2 shown
// by its unique id to be the one listed before, then retrieved, deleted and the session
// closed.
const std::string relogin_fetching_second_sent = "USER u\r\nPASS p\r\nLIST\r\nUIDL 2\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n";

Conversation relogin_fetching_second()
{
    return Conversation()
        .say("+OK again")
        .reply("+OK")
        .reply("+OK")
        .reply(listing_answer(mailbox))
        .reply("+OK 2 " + unique_id(2))
        .reply(retr_answer(second))
        .reply("+OK")
        .reply("+OK bye");
}

TEST_F(ReceiveFaultTest, MessageCutOffIsNotStoredAndTheNextIsFetchedOverANewConnection)
{
    std::string partial = retr_answer(first);
    partial.resize(partial.size() / 2);
    ScriptedServer server({pop3_login(mailbox).await_line().say_raw(partial).close(),
                           relogin_fetching_second()},
                          pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, message_not_fetched);
    EXPECT_EQ(r.out, notice);
    EXPECT_EQ(server.transcript(0), login_transcript(2) + "RETR 1\r\n");
    EXPECT_EQ(server.transcript(1), relogin_fetching_second_sent);
    EXPECT_FALSE(exists(in_cesta("a.dat")));
    EXPECT_EQ(read(in_cesta("b.dat")), "soubor B");
    EXPECT_EQ(read(telo_get_), " druha\r\ntext B\r\n");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(ReceiveFaultTest, BrokenConnectionFailsEachLaterMessageOnce)
{
    // The new connection for the second message is refused at once as well.
    ScriptedServer server({pop3_login(mailbox).await_line().say_raw("+OK\r\nFrom: x\r\n").close(), Conversation().close()},
                          pop3_port);
    combined_output_ = true;
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    // One box per message, then the notice.
    EXPECT_EQ(r.out, message_not_fetched + message_not_fetched + notice);
    EXPECT_EQ(server.transcript(0), login_transcript(2) + "RETR 1\r\n");
    EXPECT_EQ(server.transcript(1), "");
    EXPECT_EQ(read(telo_get_), "z minula\r\n");
    EXPECT_FALSE(exists(in_cesta("a.dat")));
    EXPECT_FALSE(exists(in_cesta("b.dat")));
}

TEST_F(ReceiveFaultTest, SilenceInTheMiddleOfAMessageEndsWithinTheTimeout)
{
    set("Mail", "Timeout", "1");
    std::string partial = retr_answer(first);
    partial.resize(partial.size() - 40);
    const Message only = first;
    ScriptedServer server(pop3_login({only}).await_line().say_raw(partial), pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, message_not_fetched);
    EXPECT_EQ(r.out, notice);
    EXPECT_LT(r.seconds, 5.0);
    EXPECT_EQ(server.transcript(), login_transcript(1) + "RETR 1\r\n");
    EXPECT_EQ(read(telo_get_), "z minula\r\n");
    EXPECT_FALSE(exists(in_cesta("a.dat")));
}

TEST_F(ReceiveFaultTest, RefusedRetrieveSkipsOnlyThatMessage)
{
    ScriptedServer server(
        pop3_login(mailbox).reply("-ERR no such message").reply(retr_answer(second)).reply("+OK").reply("+OK"),
        pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.err, message_not_fetched);
    EXPECT_EQ(r.out, notice);
    EXPECT_EQ(server.transcript(), login_transcript(2) + "RETR 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
    EXPECT_EQ(read(telo_get_), " druha\r\ntext B\r\n");
}

TEST_F(ReceiveFaultTest, GarbledRetrieveAnswerIsNotTrustedFurther)
{
    // "hello" answers something else than RETR: the connection is out of step and is
    // dropped; the next message gets a connection of its own.
    ScriptedServer server({pop3_login(mailbox).reply("hello"),
                           relogin_fetching_second()},
                          pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.err, message_not_fetched);
    EXPECT_EQ(server.transcript(0), login_transcript(2) + "RETR 1\r\n");
    EXPECT_EQ(server.transcript(1), relogin_fetching_second_sent);
    EXPECT_EQ(read(telo_get_), " druha\r\ntext B\r\n");
}

TEST_F(ReceiveFaultTest, DroppedDeleteLeavesTheMessageForTheNextRun)
{
    // The deletion is never confirmed (the server forgets it without QUIT), so the message
    // comes again; its files were stored whole, and without a ledger its text waits for the
    // run that deletes it, so that Tabulix reads it once: the earlier output file stays as
    // it was. (With one, see jobs_test_ledger.cpp.)
    without_ledger();
    ScriptedServer server(pop3_login({first}).reply(retr_answer(first)).await_line().close(), pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, message_not_fetched);
    EXPECT_EQ(r.out, notice);
    EXPECT_EQ(server.transcript(), login_transcript(1) + "RETR 1\r\nDELE 1\r\n");
    EXPECT_EQ(read(in_cesta("a.dat")), "soubor A");
    EXPECT_EQ(read(telo_get_), "z minula\r\n");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(ReceiveFaultTest, RefusedDeleteKeepsItsTextOutOfTheLaterOutput)
{
    without_ledger();
    ScriptedServer server(pop3_login(mailbox)
                              .reply(retr_answer(first))
                              .reply("-ERR cannot delete")
                              .reply(retr_answer(second))
                              .reply("+OK")
                              .reply("+OK"),
                          pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.err, message_not_fetched);
    EXPECT_EQ(server.transcript(), login_transcript(2) + "RETR 1\r\nDELE 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
    // The first message stays on the server and brings its text again next time.
    EXPECT_EQ(read(telo_get_), " druha\r\ntext B\r\n");
}

TEST_F(ReceiveFaultTest, DroppedOrRefusedQuitIsReported)
{
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "QUIT refused" : "dropped after QUIT");
        // Each a first run: the ledger of the one before would have the message deleted
        // unfetched.
        std::filesystem::remove(ledger_path());
        Conversation c = pop3_login({first}).reply(retr_answer(first)).reply("+OK");
        if (refused)
            c.reply("-ERR");
        else
            c.await_line().close();
        ScriptedServer server(std::move(c), pop3_port);
        const Outcome r = run("GET");
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, pop3_not_connected);
        EXPECT_EQ(r.out, notice);
        // A refused goodbye is said once more when the connection is closed.
        const std::string sent = login_transcript(1) + "RETR 1\r\nDELE 1\r\nQUIT\r\n";
        EXPECT_EQ(server.transcript(), refused ? sent + "QUIT\r\n" : sent);
        EXPECT_EQ(read(in_cesta("a.dat")), "soubor A");
        EXPECT_EQ(read(telo_get_), " prvni\r\ntext A\r\n");
    }
}

TEST_F(ReceiveFaultTest, LongPositiveStatusLinesAreAccepted)
{
    // Far beyond the 512 octets the protocol allows, and still within the reader's bound.
    const std::string long_ok = "+OK " + std::string(60 * 1024, 'x');
    ScriptedServer server(Conversation()
                              .say(long_ok)
                              .reply("+OK")
                              .reply("+OK")
                              .reply(listing_answer({first}))
                              .reply(uidl_answer(1))
                              .reply(top_answer(first))
                              .reply(retr_answer(first))
                              .reply(long_ok)
                              .reply("+OK"),
                          pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(server.transcript(), login_transcript(1) + "RETR 1\r\nDELE 1\r\nQUIT\r\n");
    EXPECT_EQ(read(telo_get_), " prvni\r\ntext A\r\n");
}

TEST_F(ReceiveFaultTest, AnEndlessStatusLineBreaksTheConnectionBeforeAnythingIsSent)
{
    ScriptedServer server(Conversation().say("+OK " + ten_mb).reply("+OK"), pop3_port);
    const Outcome r = run("GET");
    expect_mailbox_untouched(r, server);
    EXPECT_EQ(server.transcript(), "");
}

// ---- SEND --------------------------------------------------------------------------

class SendFaultTest : public JobTest {
protected:
    void SetUp() override
    {
        JobTest::SetUp();
        if (IsSkipped()) return;
        set("Mail", "Telo", work_ + "telo.txt");
        write_file(work_ + "telo.txt", body_);
        set("Soubory", "Soubory", "data.dat");
        write_file(in_cesta("data.dat"), data_);
    }

    // Sending failed: one box, then the notice; the body and the file are as they were.
    void expect_failed(const Outcome& r)
    {
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, smtp_failed);
        EXPECT_EQ(r.out, notice);
        EXPECT_LT(r.seconds, 8.0);
        EXPECT_EQ(read(work_ + "telo.txt"), body_);
        EXPECT_EQ(read(in_cesta("data.dat")), data_);
    }

    static std::string envelope(int recipients = 1)
    {
        std::string sent = helo_line() + "MAIL FROM: <ucetni@firma.example>\r\n";
        for (int k = 0; k < recipients; ++k) sent += "RCPT TO: <centrala@firma.example>\r\n";
        return sent;
    }

    std::string body_ = "Dobry den,\r\n.tecka\r\n=\r\n";
    std::string data_ = "binarni\x00\x01\xFF data"s;
};

Conversation greeted_smtp() { return Conversation().say("220 ready"); }

// The connection the job opens before sending, which it closes without a word.
Conversation first_connection() { return Conversation(); }

TEST_F(SendFaultTest, WholeDialogueSendsTheMessageOnce)
{
    ScriptedServer server({first_connection(), greeted_smtp()
                                                   .reply("250 hello")
                                                   .reply("250 sender ok")
                                                   .reply("250 recipient ok")
                                                   .reply("354 go on")
                                                   .await_data()
                                                   .say("250 queued")},
                          smtp_port);
    const Outcome r = run("SEND");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, notice);
    EXPECT_EQ(server.connections(), 2u);
    EXPECT_EQ(server.transcript(0), "");
    const std::string& sent = server.transcript(1);
    EXPECT_TRUE(sent.starts_with(envelope() + "DATA\r\n")) << sent.substr(0, 300);
    EXPECT_TRUE(sent.ends_with("\r\n.\r\n"));
    // The file travels in base64, the body's dot line stuffed.
    EXPECT_NE(sent.find(base64(data_)), std::string::npos);
    EXPECT_NE(sent.find("\r\n..tecka\r\n"), std::string::npos);
}

TEST_F(SendFaultTest, FirstConnectionDroppedAtOnceDoesNotMatter)
{
    ScriptedServer server({Conversation().close(), greeted_smtp()
                                                       .reply("250 hello")
                                                       .reply("250 sender ok")
                                                       .reply("250 recipient ok")
                                                       .reply("354 go on")
                                                       .await_data()
                                                       .say("250 queued")},
                          smtp_port);
    const Outcome r = run("SEND");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, notice);
    EXPECT_TRUE(server.transcript(1).ends_with("\r\n.\r\n"));
}

// The commands of a whole dialogue, in order; a fault after the n-th leaves the first n.
std::vector<std::string> dialogue_commands()
{
    return {helo_line(), "MAIL FROM: <ucetni@firma.example>\r\n", "RCPT TO: <centrala@firma.example>\r\n",
            "DATA\r\n"};
}

struct SendFault {
    const char* step;
    Conversation server;
    std::size_t commands;       // how many commands of the dialogue were sent
    bool message_sent = false;  // whether the message lines and "." followed them
};

Conversation to_data()
{
    return greeted_smtp().reply("250 hello").reply("250 sender ok").reply("250 recipient ok").reply("354 go on");
}

std::vector<SendFault> send_faults()
{
    return {
        {"dropped before the greeting", Conversation().close(), 0},
        {"dropped after HELO", greeted_smtp().await_line().close(), 1},
        {"dropped after MAIL FROM", greeted_smtp().reply("250 hello").await_line().close(), 2},
        {"dropped after RCPT TO", greeted_smtp().reply("250 hello").reply("250 ok").await_line().close(), 3},
        {"dropped after DATA", greeted_smtp().reply("250 hello").reply("250 ok").reply("250 ok").await_line().close(), 4},
        {"dropped after the end of data", to_data().await_data().close(), 4, true},
        {"silent from the start", Conversation(), 0},
        {"silent after HELO", greeted_smtp().await_line(), 1},
        {"silent after the end of data", to_data().await_data(), 4, true},
        {"garbage greeting", Conversation().say("garbage"), 0},
        {"empty greeting", Conversation().say(""), 0},
        {"10 MB greeting that is no reply", Conversation().say(ten_mb), 0},
        {"10 MB line without an end", Conversation().say_raw(ten_mb).close(), 0},
        {"HELO answered with no number", greeted_smtp().reply("abc hello"), 1},
        {"MAIL FROM answered with an empty line", greeted_smtp().reply("250 hello").reply(""), 2},
        {"multi-line answer cut off", greeted_smtp().await_line().say("250-first").close(), 1},
        {"HELO refused", greeted_smtp().reply("554 no"), 1},
        {"sender refused", greeted_smtp().reply("250 hello").reply("550 not you"), 2},
        {"DATA refused", greeted_smtp().reply("250 hello").reply("250 ok").reply("250 ok").reply("554 no data"), 4},
        {"DATA answered without 354", greeted_smtp().reply("250 hello").reply("250 ok").reply("250 ok").reply("250 ok"),
         4},
        {"message refused after its end", to_data().await_data().say("554 rejected"), 4, true},
    };
}

class SendFaultStepTest : public SendFaultTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(SendFaultStepTest, ShowsOneBoxThenTheNotice)
{
    set("Mail", "Timeout", "1");
    SendFault fault = send_faults()[GetParam()];
    SCOPED_TRACE(fault.step);
    ScriptedServer server({first_connection(), std::move(fault.server)}, smtp_port);
    const Outcome r = run("SEND");
    expect_failed(r);
    // No second attempt: the failure is the user's to act on.
    EXPECT_EQ(server.connections(), 2u);
    std::string commands;
    for (std::size_t k = 0; k < fault.commands; ++k) commands += dialogue_commands()[k];
    const std::string& sent = server.transcript(1);
    if (fault.message_sent) {
        EXPECT_TRUE(sent.starts_with(commands)) << sent.substr(0, 300);
        EXPECT_TRUE(sent.ends_with("\r\n.\r\n"));
    } else {
        EXPECT_EQ(sent, commands);
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, SendFaultStepTest, ::testing::Range<std::size_t>(0, send_faults().size()));

TEST_F(SendFaultTest, DroppedInTheMiddleOfTheMessageLines)
{
    // Large enough that the program is still sending when the server goes away; the lost
    // connection must end the job with its box, not kill the program.
    std::string large(4 * 1024 * 1024, '\0');
    for (std::size_t k = 0; k < large.size(); ++k) large[k] = char(k * 7919 >> 3);
    write_file(in_cesta("data.dat"), large);
    data_ = large;
    ScriptedServer server({first_connection(), to_data().await_line().await_line().await_line().close()}, smtp_port);
    const Outcome r = run("SEND");
    expect_failed(r);
    EXPECT_TRUE(server.transcript(1).starts_with(envelope() + "DATA\r\n"));
    EXPECT_FALSE(server.transcript(1).ends_with("\r\n.\r\n"));
}

TEST_F(SendFaultTest, LongAndOddGreetingsAreNotExamined)
{
    for (const std::string& greeting : {"220 " + std::string(60 * 1024, 'x'), "554 no service"s}) {
        ScriptedServer server({first_connection(), Conversation()
                                                       .say(greeting)
                                                       .reply("250 hello")
                                                       .reply("250 ok")
                                                       .reply("250 ok")
                                                       .reply("354 go on")
                                                       .await_data()
                                                       .say("250 queued")},
                              smtp_port);
        const Outcome r = run("SEND");
        EXPECT_EQ(r.err, "") << greeting.substr(0, 20);
        EXPECT_EQ(r.out, notice);
        EXPECT_TRUE(server.transcript(1).ends_with("\r\n.\r\n"));
    }
}

TEST_F(SendFaultTest, AnEndlessGreetingFailsTheJobBeforeAnythingIsSent)
{
    ScriptedServer server({first_connection(), Conversation().say("220 " + ten_mb).reply("250 hello")}, smtp_port);
    const Outcome r = run("SEND");
    EXPECT_EQ(r.err, smtp_failed);
    EXPECT_EQ(r.out, notice);
    EXPECT_EQ(server.transcript(1), "");
}

TEST_F(SendFaultTest, RefusedRecipientGetsNothingButTheOthersDoAndTheUserIsTold)
{
    set("Mail", "Adresat", "centrala@firma.example,nikdo@firma.example");
    combined_output_ = true;
    ScriptedServer server({first_connection(), greeted_smtp()
                                                   .reply("250 hello")
                                                   .reply("250 ok")
                                                   .reply("250 ok")
                                                   .reply("550 no such user")
                                                   .reply("354 go on")
                                                   .await_data()
                                                   .say("250 queued")},
                          smtp_port);
    const Outcome r = run("SEND");
    EXPECT_EQ(r.exit_code, 0);
    // The failure box first, then the notice.
    EXPECT_EQ(r.out, smtp_failed + notice);
    EXPECT_TRUE(server.transcript(1).starts_with(envelope() + "RCPT TO: <nikdo@firma.example>\r\nDATA\r\n"));
    EXPECT_TRUE(server.transcript(1).ends_with("\r\n.\r\n"));
}

}  // namespace
}  // namespace zanpost::jobs_test
