#include "protocols/pop3.h"

#include "protocols/mailbox.h"

#include "support/scripted_server.h"
#include "support/trace_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zanpost {
namespace {

using testing::Conversation;
using testing::ScriptedServer;
using testing::TraceLog;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

void aim(T_Pop3& client, const ScriptedServer& server)
{
    client.Hostname = "127.0.0.1";
    client.Port = server.port();
    client.UserName = "jan";
    client.Password = "tajne heslo";
}

void read_headers(T_Pop3& client, const ScriptedServer& server)
{
    aim(client, server);
    client.Login();
    client.GetHeaders();
}

// Greeting, USER, PASS and LIST accepted; `listing` holds the listing lines, CR LF apart.
Conversation logged_in(const std::string& listing)
{
    return Conversation().say("+OK POP3 ready").reply("+OK user").reply("+OK pass").reply(
        "+OK listing follows\r\n" + listing + (listing.empty() ? "." : "\r\n."));
}

const std::string login_sent = "USER jan\r\nPASS tajne heslo\r\nLIST\r\n";

// Logged in, and GetHeaders' "UIDL" refused as by a server without it.
Conversation without_uidl(const std::string& listing) { return logged_in(listing).reply("-ERR no UIDL"); }

std::vector<std::pair<int, int>> listed(const T_Pop3& client)
{
    std::vector<std::pair<int, int>> numbers;
    for (const t_reply& m : client.Messages) numbers.emplace_back(m.number, m.size);
    return numbers;
}

TEST(Pop3Login, LogsInListsAndSaysGoodbye)
{
    ScriptedServer server(logged_in("1 120\r\n2 3000").reply("+OK bye"));
    T_Pop3 client;
    TraceLog log;
    client.OnTrace = log.proc();
    aim(client, server);
    client.Login();

    EXPECT_TRUE(client.Connected);
    EXPECT_EQ(listed(client), (std::vector<std::pair<int, int>>{{1, 120}, {2, 3000}}));
    client.Lines = {"kept"};
    client.Logout();

    EXPECT_EQ(server.transcript(), login_sent + "QUIT\r\n");
    EXPECT_FALSE(client.Connected);
    EXPECT_TRUE(client.Messages.empty());
    EXPECT_THAT(client.Lines, ElementsAre("kept"));
    // The password is sent, but only a mask of it is traced; listing lines are not traced.
    EXPECT_THAT(log.at(trace_sent), ElementsAre("USER jan", "PASS *****", "LIST", "QUIT"));
    EXPECT_THAT(log.at(trace_received),
                ElementsAre("+OK POP3 ready", "+OK user", "+OK pass", "+OK listing follows", "+OK bye"));
    for (const auto& [text, level] : log.entries) EXPECT_THAT(text, ::testing::Not(HasSubstr("tajne")));
}

TEST(Pop3Login, ListingLinesMayCarryMoreThanNumberAndSize)
{
    ScriptedServer server(logged_in("1 120 extra\r\n2 abc\r\n3 45 x y\r\n4").reply("+OK bye"));
    T_Pop3 client;
    aim(client, server);
    client.Login();
    EXPECT_EQ(listed(client), (std::vector<std::pair<int, int>>{{1, 120}, {2, 0}, {3, 45}, {4, 0}}));
}

TEST(Pop3Login, ListingLineWithoutANumberFailsButLeavesTheDialogueInStep)
{
    ScriptedServer server(logged_in("1 120\r\nx 5").reply("+OK bye"));
    T_Pop3 client;
    aim(client, server);
    try {
        client.Login();
        FAIL() << "a listing line without a number must raise";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.message(), "'x' is not a valid integer value");
    }
    EXPECT_TRUE(client.Messages.empty());
    client.Logout();
    EXPECT_EQ(server.transcript(), login_sent + "QUIT\r\n");
}

TEST(Pop3Login, LoginTwiceSaysGoodbyeToTheFirstSession)
{
    ScriptedServer server({logged_in("1 10\r\n2 20").reply("+OK bye"), logged_in("1 10").reply("+OK bye")});
    T_Pop3 client;
    aim(client, server);
    client.Login();
    client.Login();
    EXPECT_EQ(listed(client), (std::vector<std::pair<int, int>>{{1, 10}}));
    client.Logout();

    EXPECT_EQ(server.connections(), 2u);
    EXPECT_EQ(server.transcript(0), login_sent + "QUIT\r\n");
    EXPECT_EQ(server.transcript(1), login_sent + "QUIT\r\n");
}

TEST(Pop3Login, DestructionSaysGoodbyeAndSwallowsARefusal)
{
    ScriptedServer polite(logged_in("").reply("+OK bye"));
    ScriptedServer grumpy(logged_in("").reply("-ERR not now"));
    for (ScriptedServer* server : {&polite, &grumpy}) {
        T_Pop3 client;
        aim(client, *server);
        client.Login();
    }
    EXPECT_EQ(polite.transcript(), login_sent + "QUIT\r\n");
    EXPECT_EQ(grumpy.transcript(), login_sent + "QUIT\r\n");
}

TEST(Pop3Status, PositiveNegativeAndMeaninglessStatusLines)
{
    {
        // "+OKAY" is positive; "-ERR" with a reason is a refusal that keeps the dialogue going.
        ScriptedServer server(
            Conversation().say("+OKAY hello").reply("+OK").reply("-ERR [AUTH] wrong password").reply("+OK bye"));
        T_Pop3 client;
        aim(client, server);
        try {
            client.Login();
            FAIL() << "a refused password must raise";
        } catch (const EProtocolError& e) {
            EXPECT_EQ(e.Protocol, "POP3");
            EXPECT_EQ(e.ReplyNumber, 500);
            EXPECT_EQ(e.message(), "-ERR [AUTH] wrong password");
        }
        EXPECT_TRUE(client.Connected);
        client.Logout();
        EXPECT_EQ(server.transcript(), "USER jan\r\nPASS tajne heslo\r\nQUIT\r\n");
    }
    {
        // A status line that is neither: the connection is out of step and is dropped.
        ScriptedServer server(Conversation().say("+OK hello").reply("OK"));
        T_Pop3 client;
        aim(client, server);
        try {
            client.Login();
            FAIL() << "a meaningless status line must raise";
        } catch (const EProtocolError& e) {
            EXPECT_EQ(e.ReplyNumber, 999);
            EXPECT_EQ(e.message(), "OK");
        }
        EXPECT_FALSE(client.Connected);
        EXPECT_EQ(client.Socket, platform::invalid_socket);
        EXPECT_EQ(server.transcript(), "USER jan\r\n");
    }
}

TEST(Pop3Headers, OneSummaryEntryPerMessageInListingOrder)
{
    ScriptedServer server(without_uidl("1 100\r\n2 200\r\n3 300")
                              .reply("+OK\r\nFrom: C\r\nSubject: S3\r\n\r\nbody of C\r\n.")
                              .reply("+OK\r\nFrom:Jan\r\nX-Mailer: y\r\n\r\nSubject: of the body, not the message\r\n.")
                              .reply("+OK\r\nReturn-Path: <a@x>\r\nFrom: A\r\nSubject: S1\r\nFrom: A2\r\n\r\n.")
                              .reply("+OK bye"));
    T_Pop3 client;
    read_headers(client, server);

    EXPECT_THAT(client.Lines, ElementsAre("A2\x07S1", "an", "C\x07S3"));
    EXPECT_EQ(summary_of(client.Messages[1]).from_text, "an");
    EXPECT_EQ(summary_of(client.Messages[2]).subject_text, "S3");
    client.Logout();
    EXPECT_EQ(server.transcript(), login_sent + "UIDL\r\nTOP 3 1\r\nTOP 2 1\r\nTOP 1 1\r\nQUIT\r\n");
}

TEST(Pop3Headers, SenderAloneWhenThereIsNoSubject)
{
    ScriptedServer server(without_uidl("1 100\r\n2 100")
                              .reply("+OK\r\nSubject: \r\n\r\n.")
                              .reply("+OK\r\nFrom: B\r\n\r\n..dotted body\r\n.")
                              .reply("+OK bye"));
    T_Pop3 client;
    read_headers(client, server);
    EXPECT_THAT(client.Lines, ElementsAre("B", ""));
}

TEST(Pop3Headers, RefusedTopGivesTheMessageNumberAndTheRestGoesOn)
{
    ScriptedServer server(without_uidl("1 100\r\n2 200\r\n3 300")
                              .reply("+OK\r\nFrom: C\r\n.")
                              .reply("-ERR no such message")
                              .reply("+OK\r\nFrom: A\r\nSubject: S1\r\n.")
                              .reply("+OK bye"));
    T_Pop3 client;
    read_headers(client, server);
    EXPECT_THAT(client.Lines, ElementsAre("A\x07S1", "2", "C"));
}

TEST(Pop3Headers, AnyOtherFailureOfTopPropagatesAndLeavesNoSummary)
{
    const Conversation failing[] = {
        without_uidl("1 100\r\n2 200").reply("+OK\r\nFrom: B\r\n.").reply("maybe"),         // neither +OK nor -ERR
        without_uidl("1 100\r\n2 200").reply("+OK\r\nFrom: B\r\n.").reply("+OK\r\nFrom: A").close(),  // cut short
        without_uidl("1 100\r\n2 200").reply("+OK\r\nFrom: B\r\n.").await_line().close(),    // no answer
    };
    for (std::size_t i = 0; i < std::size(failing); ++i) {
        ScriptedServer server(failing[i]);
        T_Pop3 client;
        aim(client, server);
        client.Login();
        client.Lines = {"earlier"};
        EXPECT_THROW(client.GetHeaders(), ETcpIpError) << "case " << i;
        EXPECT_TRUE(client.Lines.empty()) << "case " << i;
        EXPECT_FALSE(client.Connected) << "case " << i;
        EXPECT_EQ(server.transcript(), login_sent + "UIDL\r\nTOP 2 1\r\nTOP 1 1\r\n") << "case " << i;
    }
}

TEST(Pop3Headers, TheSummaryReadsTheWholeHeaderAndNothingElse)
{
    // TOP n 1 gives the header, its empty line and the first body line.
    struct Case {
        const char* top;
        const char* entry;
    };
    const Case cases[] = {
        // A private message whose text starts like a courier's sender.
        {"+OK\r\nFrom: Jana <j@x.cz>\r\nSubject: obed\r\n\r\nFrom: ZAN_POST robot <r@x.cz>\r\n.", "Jana <j@x.cz>\x07obed"},
        // A courier message whose text starts with a subject line of its own.
        {"+OK\r\nFrom: R <r@x.cz>\r\nSubject: ZAN_POST obraty\r\n\r\nSubject: hello\r\n.", "R <r@x.cz>\x07ZAN_POST obraty"},
        {"+OK\r\nSubject: ZAN_POST\r\n\r\nFrom: body\r\n.", "\x07ZAN_POST"},
        {"+OK\r\nFrom: A\r\n\r\nSubject: ZAN_POST\r\n.", "A"},
        // Folded fields are joined, the blank or tab that starts a continuation kept.
        {"+OK\r\nSubject: =?UTF-8?Q?ZAN=5FPOST?=\r\n =?UTF-8?Q?_obraty?=\r\nFrom: A\r\n\tB <b@x.cz>\r\n\r\nx\r\n.",
         "A\tB <b@x.cz>\x07=?UTF-8?Q?ZAN=5FPOST?= =?UTF-8?Q?_obraty?="},
        // Only the folded field continues; another field's fold adds nothing to it.
        {"+OK\r\nSubject: ZAN_POST\r\nX-Other: a\r\n b\r\n\r\n.", "\x07ZAN_POST"},
        // Field names in any letter case.
        {"+OK\r\nFROM: A\r\nsubject: ZAN_POST\r\n\r\n.", "A\x07ZAN_POST"},
    };
    for (const Case& c : cases) {
        ScriptedServer server(without_uidl("1 100").reply(c.top).reply("+OK bye"));
        T_Pop3 client;
        aim(client, server);
        client.Login();
        client.GetHeaders();
        EXPECT_THAT(client.Lines, ElementsAre(c.entry)) << c.top;
        client.Logout();
    }
}

TEST(Pop3Headers, UniqueIdsAreReadWhereTheServerGivesThem)
{
    ScriptedServer server(logged_in("1 100\r\n2 200\r\n3 300")
                              .reply("+OK\r\n1 aaa\r\n2  b b \r\nnonsense\r\n3\r\n.")
                              .reply("+OK\r\nFrom: C\r\n.")
                              .reply("+OK\r\nFrom: B\r\n.")
                              .reply("+OK\r\nFrom: A\r\n.")
                              .reply("+OK bye"));
    T_Pop3 client;
    read_headers(client, server);
    EXPECT_EQ(client.Messages[0].uid, "aaa");
    EXPECT_EQ(client.Messages[1].uid, "b b");
    EXPECT_EQ(client.Messages[2].uid, "");
    EXPECT_THAT(client.Lines, ElementsAre("A", "B", "C"));
    client.Logout();
    EXPECT_EQ(server.transcript(), login_sent + "UIDL\r\nTOP 3 1\r\nTOP 2 1\r\nTOP 1 1\r\nQUIT\r\n");
}

TEST(Pop3Headers, ASummaryNotKeptGoesAtOnceWhereAUniqueIdStandsInForIt)
{
    ScriptedServer server(logged_in("1 100\r\n2 200\r\n3 300")
                              .reply("+OK\r\n1 u1\r\n2 u2\r\n.")
                              .reply("+OK\r\nFrom: C\r\n.")
                              .reply("+OK\r\nFrom: B\r\nSubject: ZAN_POST\r\n.")
                              .reply("+OK\r\nFrom: A\r\n.")
                              .reply("+OK bye"));
    T_Pop3 client;
    aim(client, server);
    client.Login();
    client.GetUniqueIds();
    std::vector<std::size_t> asked;
    client.GetSummaries([](std::size_t) { return true; },
                        [&](std::size_t i) {
                            asked.push_back(i);
                            return summary_of(client.Messages[i]).subject_text == "ZAN_POST";
                        });
    // Asked as each answer is read; message 3 has no id, so its summary stays regardless.
    EXPECT_THAT(asked, ElementsAre(1, 0));
    std::vector<std::string> entries;
    for (const t_reply& m : client.Messages) entries.push_back(summary_entry(m));
    EXPECT_THAT(entries, ElementsAre("", "B\x07ZAN_POST", "C"));
    EXPECT_TRUE(client.Messages[0].summarized);
    EXPECT_EQ(client.Messages[0].summary, nullptr);
    client.Logout();
}

// After the session of GetHeaders broke, a new session must not take message 2 for the one
// GetHeaders saw unless the server shows it is.
struct Renumbered {
    const char* what;
    const char* uidl;           // the answer to the first session's UIDL
    Conversation second;        // after the second login
    bool retrieved;             // message 2 came and was deleted
    const char* second_sent;    // after the second login's LIST
};

std::vector<Renumbered> renumbered_cases()
{
    const std::string top2 = "+OK\r\nFrom: B\r\nSubject: ZAN_POST 2\r\n\r\nbody\r\n.";
    const std::string listing = "1 100\r\n2 200";
    return {
        {"same unique id", "+OK\r\n1 u1\r\n2 u2\r\n.",
         logged_in(listing).reply("+OK 2 u2").reply("+OK\r\nzprava 2\r\n.").reply("+OK deleted").reply("+OK bye"),
         true, "UIDL 2\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n"},
        {"another unique id under the number", "+OK\r\n1 u1\r\n2 u2\r\n.",
         logged_in(listing).reply("+OK 2 u3").reply("+OK bye"), false, "UIDL 2\r\nQUIT\r\n"},
        {"the number is gone", "+OK\r\n1 u1\r\n2 u2\r\n.",
         logged_in(listing).reply("-ERR no such message").reply("+OK bye"), false, "UIDL 2\r\nQUIT\r\n"},
        {"answer for another number", "+OK\r\n1 u1\r\n2 u2\r\n.",
         logged_in(listing).reply("+OK 1 u2").reply("+OK bye"), false, "UIDL 2\r\nQUIT\r\n"},
        {"no UIDL, same size and summary", "-ERR no UIDL",
         logged_in(listing).reply(top2).reply("+OK\r\nzprava 2\r\n.").reply("+OK deleted").reply("+OK bye"), true,
         "TOP 2 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n"},
        {"no UIDL, another subject", "-ERR no UIDL",
         logged_in(listing).reply("+OK\r\nFrom: B\r\nSubject: soukrome\r\n\r\n.").reply("+OK bye"), false,
         "TOP 2 1\r\nQUIT\r\n"},
        {"no UIDL, another size", "-ERR no UIDL", logged_in("1 100\r\n2 201").reply("+OK bye"), false, "QUIT\r\n"},
        {"no UIDL, TOP refused", "-ERR no UIDL", logged_in(listing).reply("-ERR").reply("+OK bye"), false,
         "TOP 2 1\r\nQUIT\r\n"},
        {"the number is no longer listed", "+OK\r\n1 u1\r\n2 u2\r\n.", logged_in("1 100").reply("+OK bye"), false,
         "QUIT\r\n"},
    };
}

TEST(Pop3Renumbered, ANewSessionTouchesOnlyTheMessageGetHeadersSaw)
{
    for (Renumbered& c : renumbered_cases()) {
        SCOPED_TRACE(c.what);
        ScriptedServer server({logged_in("1 100\r\n2 200")
                                   .reply(c.uidl)
                                   .reply("+OK\r\nFrom: B\r\nSubject: ZAN_POST 2\r\n\r\nbody\r\n.")
                                   .reply("+OK\r\nFrom: A\r\nSubject: ZAN_POST 1\r\n\r\n.")
                                   .await_line()
                                   .close(),
                               std::move(c.second)});
        T_Pop3 client;
        aim(client, server);
        client.Login();
        client.GetHeaders();
        EXPECT_THROW(client.Retrieve(1), ETcpIpError);
        bool retrieved = false;
        try {
            client.Retrieve(2);
            EXPECT_THAT(client.Lines, ElementsAre("zprava 2"));
            client.Delete(2);
            retrieved = true;
        } catch (const EProtocolError& e) {
            // Refused without breaking the dialogue: the session goes on.
            EXPECT_EQ(e.ReplyNumber, 500);
            EXPECT_TRUE(client.Lines.empty());
        }
        client.Logout();
        EXPECT_EQ(retrieved, c.retrieved);
        EXPECT_EQ(server.transcript(1), login_sent + c.second_sent);
    }
}

TEST(Pop3Renumbered, TheSessionOfGetHeadersAndAClientWithoutItAreNotChecked)
{
    // Within one session numbers stay; without GetHeaders nothing is known to compare.
    ScriptedServer server({logged_in("1 100").reply("+OK\r\n1 u1\r\n.").reply("+OK\r\nFrom: A\r\n.").reply(
                               "+OK\r\nx\r\n.").reply("+OK").reply("+OK bye"),
                           logged_in("1 100").reply("+OK\r\ny\r\n.").reply("+OK bye")});
    T_Pop3 client;
    read_headers(client, server);
    client.Retrieve(1);
    client.Delete(1);
    client.Logout();
    T_Pop3 fresh;
    aim(fresh, server);
    fresh.Retrieve(1);
    fresh.Logout();
    EXPECT_EQ(server.transcript(0), login_sent + "UIDL\r\nTOP 1 1\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n");
    EXPECT_EQ(server.transcript(1), login_sent + "RETR 1\r\nQUIT\r\n");
}

// ---- summaries of some messages, deletions in a row, pipelining ----------------------

std::string listing_of(std::size_t messages)
{
    std::string listing;
    for (std::size_t k = 1; k <= messages; ++k) listing += (k > 1 ? "\r\n" : "") + std::to_string(k) + " 100";
    return listing;
}

std::string uidl_of(std::size_t messages)
{
    std::string answer = "+OK";
    for (std::size_t k = 1; k <= messages; ++k) answer += "\r\n" + std::to_string(k) + " u" + std::to_string(k);
    return answer + "\r\n.";
}

std::string top_of(std::size_t k)
{
    return "+OK\r\nFrom: S" + std::to_string(k) + "\r\nSubject: ZAN_POST " + std::to_string(k) + "\r\n\r\nbody\r\n.";
}

std::string entry_of(std::size_t k) { return "S" + std::to_string(k) + "\x07ZAN_POST " + std::to_string(k); }

std::string tops_sent(std::size_t from, std::size_t to)
{
    std::string sent;
    for (std::size_t k = from; k >= to && k > 0; --k) sent += "TOP " + std::to_string(k) + " 1\r\n";
    return sent;
}

const std::string capa_pipelining = "+OK capabilities\r\nTOP\r\nUIDL\r\nPIPELINING\r\n.";

// The bytes cut into pieces of 1 to 7 bytes, each its own send after a pause: every kind of
// place - inside "+OK", between CR and LF, inside the final "." line - is a cut somewhere.
Conversation& say_in_pieces(Conversation& c, const std::string& bytes)
{
    for (std::size_t at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece % 7 + 1)
        c.say_raw(bytes.substr(at, piece)).pause(2);
    return c;
}

TEST(Pop3Pipelined, ABatchOfCommandsGoesOutBeforeAnyAnswerAndTheAnswersAreReadInOrder)
{
    // More messages than the window: the server takes a whole window of commands before
    // it answers any, as a server that pipelines may; a client that waited for each
    // answer would never get one.
    const std::size_t window = T_Pop3::pipeline_window;
    const std::size_t total = window + 44;
    Conversation c = logged_in(listing_of(total)).reply(uidl_of(total)).reply(capa_pipelining);
    std::string first_answers;
    for (std::size_t k = 0; k < window; ++k) c.await_line();
    for (std::size_t k = total; k > total - window; --k) first_answers += top_of(k) + "\r\n";
    c.say_raw(first_answers);
    for (std::size_t k = 0; k < 44; ++k) c.await_line();
    std::string rest;
    for (std::size_t k = 44; k > 0; --k) rest += top_of(k) + "\r\n";
    c.say_raw(rest);
    // Then three deletions, one of them refused, the answers cut anywhere.
    c.await_line().await_line().await_line();
    say_in_pieces(c, "+OK\r\n-ERR locked\r\n+OK deleted\r\n").reply("+OK bye");
    ScriptedServer server(std::move(c));

    T_Pop3 client;
    client.Timeout = 5;
    read_headers(client, server);
    ASSERT_EQ(client.Lines.size(), total);
    for (std::size_t k = 1; k <= total; ++k) EXPECT_EQ(client.Lines[k - 1], entry_of(k)) << k;
    std::vector<std::pair<int, bool>> deleted;
    client.DeleteMany({7, 8, 9}, [&deleted](std::int32_t n, bool done) { deleted.emplace_back(n, done); });
    EXPECT_EQ(deleted, (std::vector<std::pair<int, bool>>{{7, true}, {8, false}, {9, true}}));
    client.Logout();
    EXPECT_EQ(server.transcript(),
              login_sent + "UIDL\r\nCAPA\r\n" + tops_sent(total, 1) + "DELE 7\r\nDELE 8\r\nDELE 9\r\nQUIT\r\n");
}

TEST(Pop3Pipelined, AnswersCutAnywhereOrSlowStillEachBelongToTheirCommand)
{
    struct Case {
        const char* what;
        bool pieces;  // the answers of a batch cut into pieces; else each slow, one at a time
    };
    for (const Case& k : {Case{"cut anywhere", true}, Case{"each answer late, within the time limit", false}}) {
        SCOPED_TRACE(k.what);
        Conversation c = logged_in(listing_of(6)).reply(uidl_of(6)).reply(capa_pipelining);
        if (k.pieces) {
            std::string answers;
            for (std::size_t n = 6; n > 0; --n) {
                c.await_line();
                // Message 4 refused, 2 with a folded subject and a dot-stuffed body line.
                answers += n == 4 ? "-ERR gone\r\n"
                           : n == 2 ? "+OK\r\nSubject: ZAN_POST\r\n 2\r\nFrom: S2\r\n\r\n..x\r\n.\r\n"
                                    : top_of(n) + "\r\n";
            }
            say_in_pieces(c, answers);
        } else {
            // Each command read as it comes and answered after most of the time limit: the
            // whole batch takes far longer than one wait may.
            for (std::size_t n = 6; n > 0; --n) {
                c.await_line().pause(600);
                c.say(n == 4 ? "-ERR gone" : n == 2 ? "+OK\r\nSubject: ZAN_POST\r\n 2\r\nFrom: S2\r\n\r\n..x\r\n." : top_of(n));
            }
        }
        c.reply("+OK bye");
        ScriptedServer server(std::move(c));
        T_Pop3 client;
        client.Timeout = 1;
        read_headers(client, server);
        EXPECT_THAT(client.Lines, ElementsAre(entry_of(1), "S2\x07ZAN_POST 2", entry_of(3), "4", entry_of(5), entry_of(6)));
        EXPECT_FALSE(client.Messages[3].summarized);
        client.Logout();
        EXPECT_EQ(server.transcript(), login_sent + "UIDL\r\nCAPA\r\n" + tops_sent(6, 1) + "QUIT\r\n");
    }
}

TEST(Pop3Retrieve, MessageLinesLoseTheirStuffingDot)
{
    ScriptedServer server(
        logged_in("1 500").reply("+OK 500 octets\r\nSubject: x\r\n\r\n..\r\n..5 kg\r\n...\r\nend\r\n\r\n.").reply("+OK").reply("+OK bye"));
    T_Pop3 client;
    aim(client, server);
    client.Login();
    client.Retrieve(1);
    EXPECT_THAT(client.Lines, ElementsAre("Subject: x", "", ".", ".5 kg", "..", "end", ""));
    client.Delete(1);
    client.Logout();
    EXPECT_EQ(server.transcript(), login_sent + "RETR 1\r\nDELE 1\r\nQUIT\r\n");
}

TEST(Pop3Retrieve, ASinkGetsTheLinesAsTheyArriveAndLinesStaysEmpty)
{
    ScriptedServer server(logged_in("1 500").reply("+OK\r\nSubject: x\r\n\r\n..5 kg\r\nend\r\n.").reply("+OK bye"));
    T_Pop3 client;
    aim(client, server);
    client.Login();
    client.Lines = {"an earlier message"};
    StringList got;
    client.Retrieve(1, [&got](std::string& line) { got.push_back(std::move(line)); });
    EXPECT_THAT(got, ElementsAre("Subject: x", "", ".5 kg", "end"));
    EXPECT_TRUE(client.Lines.empty());
    client.Logout();
    EXPECT_EQ(server.transcript(), login_sent + "RETR 1\r\nQUIT\r\n");
}

TEST(Pop3Retrieve, NotConnectedLogsInFirst)
{
    ScriptedServer server(logged_in("1 10\r\n2 20").reply("+OK\r\nhello\r\n.").reply("+OK deleted").reply("+OK bye"));
    T_Pop3 client;
    aim(client, server);
    client.Retrieve(2);
    client.Delete(2);
    client.Logout();
    EXPECT_THAT(client.Lines, ElementsAre("hello"));
    EXPECT_EQ(server.transcript(), login_sent + "RETR 2\r\nDELE 2\r\nQUIT\r\n");
}

TEST(Pop3Retrieve, MessageCutShortIsNeverDeliveredInPart)
{
    ScriptedServer server(logged_in("1 900").reply("+OK\r\nSubject: x\r\n\r\nfirst half\r\nsecond ha").close());
    T_Pop3 client;
    aim(client, server);
    client.Login();
    client.Lines = {"an earlier message"};
    try {
        client.Retrieve(1);
        FAIL() << "half a message must not pass for a whole one";
    } catch (const ETcpIpError& e) {
        EXPECT_EQ(e.message(), "Connection to 127.0.0.1 closed by the server");
    }
    EXPECT_TRUE(client.Lines.empty());
    EXPECT_FALSE(client.Connected);
}

TEST(Pop3Retrieve, RefusalsOfRetrAndDeleRaise)
{
    ScriptedServer server(logged_in("1 10").reply("-ERR no such message").reply("-ERR already deleted").reply("+OK bye"));
    T_Pop3 client;
    aim(client, server);
    client.Login();
    try {
        client.Retrieve(7);
        FAIL();
    } catch (const EProtocolError& e) {
        EXPECT_EQ(e.ReplyNumber, 500);
        EXPECT_EQ(e.message(), "-ERR no such message");
    }
    try {
        client.Delete(7);
        FAIL();
    } catch (const EProtocolError& e) {
        EXPECT_EQ(e.message(), "-ERR already deleted");
    }
    client.Logout();
    EXPECT_EQ(server.transcript(), login_sent + "RETR 7\r\nDELE 7\r\nQUIT\r\n");
}

TEST(Pop3Retrieve, TimedOutConnectionIsNeverAskedAgain)
{
    // The late answer to RETR must not be taken for the answer to DELE: after the timeout
    // the next command goes to a fresh session.
    ScriptedServer server({logged_in("1 10").await_line(), logged_in("1 10").reply("+OK deleted").reply("+OK bye")});
    T_Pop3 client;
    client.Timeout = 1;
    aim(client, server);
    client.Login();
    try {
        client.Retrieve(1);
        FAIL() << "a silent server must not be waited for without end";
    } catch (const ETcpIpError& e) {
        EXPECT_EQ(e.message(), "No answer from 127.0.0.1 within 1 seconds");
    }
    EXPECT_FALSE(client.Connected);
    client.Delete(1);
    client.Logout();
    EXPECT_EQ(server.transcript(0), login_sent + "RETR 1\r\n");
    EXPECT_EQ(server.transcript(1), login_sent + "DELE 1\r\nQUIT\r\n");
}

TEST(Pop3Mailbox, TellsRetrAnsweredAndDeletionsAsTheServerAnswersThem)
{
    using E = MailboxEvent;
    MailboxMessage first;
    first.key = 1;
    const auto skip = [](std::string&) {};
    const struct {
        const char* what;
        Conversation server;
        std::function<void(Pop3Mailbox&)> steps;
        std::vector<std::pair<MailboxEvent, std::size_t>> told;
    } cases[] = {
        {"refusals tell nothing; an answered QUIT makes the marks hold",
         without_uidl("1 10\r\n2 20").reply("-ERR no").reply("+OK\r\n.").reply("+OK").reply("-ERR locked").reply("+OK bye"),
         [&](Pop3Mailbox& m) {
             EXPECT_THROW(m.Fetch(first, skip), EProtocolError);
             m.Fetch(first, skip);
             m.RemoveMany({1, 2});
             m.Finish();
         },
         {{E::fetched, 1}, {E::marked, 1}, {E::committed, 1}}},
        {"DELE, then QUIT unanswered", without_uidl("1 10").reply("+OK").await_line().close(),
         [&](Pop3Mailbox& m) { m.Remove(first); EXPECT_THROW(m.Finish(), ETcpIpError); }, {{E::marked, 1}}},
        {"a message cut short counts from its answer; no session is left to QUIT",
         without_uidl("1 10").reply("+OK\r\nhalf").close(),
         [&](Pop3Mailbox& m) { EXPECT_THROW(m.Fetch(first, skip), ETcpIpError); m.Finish(); }, {{E::fetched, 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server(c.server);
        Pop3Mailbox mailbox;
        aim(mailbox.client, server);
        std::vector<std::pair<MailboxEvent, std::size_t>> told;
        mailbox.OnEvent = [&told](MailboxEvent event, std::size_t count) { told.emplace_back(event, count); };
        mailbox.Open();
        c.steps(mailbox);
        EXPECT_EQ(told, c.told);
    }
}

TEST(Pop3LostConnection, EveryStatusLineAndListingThatNeverComesRaises)
{
    const Conversation cut[] = {
        Conversation().close(),
        Conversation().say("+OK hello").reply("+OK").close(),
        Conversation().say("+OK hello").reply("+OK").reply("+OK").reply("+OK list\r\n1 10").close(),
    };
    for (std::size_t i = 0; i < std::size(cut); ++i) {
        ScriptedServer server(cut[i]);
        T_Pop3 client;
        aim(client, server);
        EXPECT_THROW(client.Login(), ETcpIpError) << "case " << i;
        EXPECT_TRUE(client.Messages.empty()) << "case " << i;
        EXPECT_FALSE(client.Connected) << "case " << i;
    }
}

TEST(Pop3Action, RetrievesTheFirstMessage)
{
    ScriptedServer server(logged_in("1 10\r\n2 20").reply("+OK\r\nfirst message\r\n.").reply("+OK bye"));
    T_Pop3 client;
    aim(client, server);
    client.Action();
    EXPECT_THAT(client.Lines, ElementsAre("first message"));
    EXPECT_FALSE(client.Connected);
    EXPECT_EQ(server.transcript(), login_sent + "RETR 1\r\nQUIT\r\n");
}

}  // namespace
}  // namespace zanpost
