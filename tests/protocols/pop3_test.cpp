#include "protocols/pop3.h"

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

// Greeting, USER, PASS and LIST accepted; `listing` holds the listing lines, CR LF apart.
Conversation logged_in(const std::string& listing)
{
    return Conversation().say("+OK POP3 ready").reply("+OK user").reply("+OK pass").reply(
        "+OK listing follows\r\n" + listing + (listing.empty() ? "." : "\r\n."));
}

const std::string login_sent = "USER jan\r\nPASS tajne heslo\r\nLIST\r\n";

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
    ScriptedServer server(logged_in("1 100\r\n2 200\r\n3 300")
                              .reply("+OK\r\nFrom: C\r\nSubject: S3\r\n\r\nbody of C\r\n.")
                              .reply("+OK\r\nFrom:Jan\r\nX-Mailer: y\r\n\r\nSubject: from the body\r\n.")
                              .reply("+OK\r\nReturn-Path: <a@x>\r\nFrom: A\r\nSubject: S1\r\nFrom: A2\r\n\r\n.")
                              .reply("+OK bye"));
    T_Pop3 client;
    aim(client, server);
    client.Login();
    client.GetHeaders();

    EXPECT_THAT(client.Lines, ElementsAre("A2\x07S1", "an\x07" "from the body", "C\x07S3"));
    EXPECT_EQ(client.Messages[1].from_text, "an");
    EXPECT_EQ(client.Messages[2].subject_text, "S3");
    client.Logout();
    EXPECT_EQ(server.transcript(), login_sent + "TOP 3 1\r\nTOP 2 1\r\nTOP 1 1\r\nQUIT\r\n");
}

TEST(Pop3Headers, SenderAloneWhenThereIsNoSubject)
{
    ScriptedServer server(logged_in("1 100\r\n2 100")
                              .reply("+OK\r\nSubject: \r\n\r\n.")
                              .reply("+OK\r\nFrom: B\r\n\r\n..dotted body\r\n.")
                              .reply("+OK bye"));
    T_Pop3 client;
    aim(client, server);
    client.Login();
    client.GetHeaders();
    EXPECT_THAT(client.Lines, ElementsAre("B", ""));
}

TEST(Pop3Headers, RefusedTopGivesTheMessageNumberAndTheRestGoesOn)
{
    ScriptedServer server(logged_in("1 100\r\n2 200\r\n3 300")
                              .reply("+OK\r\nFrom: C\r\n.")
                              .reply("-ERR no such message")
                              .reply("+OK\r\nFrom: A\r\nSubject: S1\r\n.")
                              .reply("+OK bye"));
    T_Pop3 client;
    aim(client, server);
    client.Login();
    client.GetHeaders();
    EXPECT_THAT(client.Lines, ElementsAre("A\x07S1", "2", "C"));
}

TEST(Pop3Headers, AnyOtherFailureOfTopPropagatesAndLeavesNoSummary)
{
    const Conversation failing[] = {
        logged_in("1 100\r\n2 200").reply("+OK\r\nFrom: B\r\n.").reply("maybe"),         // neither +OK nor -ERR
        logged_in("1 100\r\n2 200").reply("+OK\r\nFrom: B\r\n.").reply("+OK\r\nFrom: A").close(),  // cut short
        logged_in("1 100\r\n2 200").reply("+OK\r\nFrom: B\r\n.").await_line().close(),    // no answer
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
        EXPECT_EQ(server.transcript(), login_sent + "TOP 2 1\r\nTOP 1 1\r\n") << "case " << i;
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
