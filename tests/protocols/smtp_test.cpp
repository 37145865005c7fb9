#include "protocols/smtp.h"

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

void aim(T_SMTP& client, const ScriptedServer& server)
{
    client.Hostname = "127.0.0.1";
    client.Port = server.port();
}

void fill(T_SMTP& client)
{
    client.MailFrom = "jan@example.cz";
    client.MailTo = {"eva@example.cz"};
    client.MailData = {"Subject: test", "", "body"};
}

std::string helo() { return "HELO " + local_host_name() + "\r\n"; }

// Greeting, HELO and MAIL FROM accepted, one recipient accepted.
Conversation up_to_data() { return Conversation().say("220 mx ESMTP").reply("250 hello").reply("250 ok").reply("250 ok"); }

const char* const envelope_of_fill = "MAIL FROM: <jan@example.cz>\r\nRCPT TO: <eva@example.cz>\r\n";

TEST(SmtpDialogue, DeliversToEveryAcceptedRecipientAndNotesTheRefusedOnes)
{
    ScriptedServer server(Conversation()
                              .say("220 mx ESMTP")
                              .reply("250 hello")
                              .reply("250 sender ok")
                              .reply("250 eva ok")
                              .reply("550 no such user")
                              .reply("451 try later")
                              .reply("250 ota ok")
                              .reply("354 go ahead")
                              .await_data()
                              .say("250 queued as 12"));
    T_SMTP client;
    aim(client, server);
    client.MailFrom = "jan@example.cz";
    client.MailTo = {"eva@example.cz", "petr@example.cz", "olga@example.cz", "ota@example.cz"};
    client.MailData = {"Subject: test", "", "body", ".", "..", ".5 kg"};
    const StringList data = client.MailData;
    std::vector<SmtpEvent> told;
    client.OnEvent = [&told](SmtpEvent event) { told.push_back(event); };

    client.Action();
    EXPECT_TRUE(client.Connected);  // Action leaves closing to its caller
    client.Logout();

    EXPECT_EQ(server.transcript(), helo() +
                                       "MAIL FROM: <jan@example.cz>\r\n"
                                       "RCPT TO: <eva@example.cz>\r\n"
                                       "RCPT TO: <petr@example.cz>\r\n"
                                       "RCPT TO: <olga@example.cz>\r\n"
                                       "RCPT TO: <ota@example.cz>\r\n"
                                       "DATA\r\n"
                                       "Subject: test\r\n\r\nbody\r\n..\r\n...\r\n..5 kg\r\n.\r\n");
    EXPECT_THAT(client.RefusedRecipients, ElementsAre("petr@example.cz", "olga@example.cz"));
    EXPECT_THAT(told, ElementsAre(SmtpEvent::recipient_accepted, SmtpEvent::recipient_refused,
                                  SmtpEvent::recipient_refused, SmtpEvent::recipient_accepted,
                                  SmtpEvent::message_accepted));
    EXPECT_EQ(client.ReplyCode, 250);
    EXPECT_EQ(client.ReplyText, "queued as 12");
    EXPECT_EQ(client.HeloName, local_host_name());
    EXPECT_TRUE(client.MailData == data);
}

TEST(SmtpDialogue, CommandsAndRepliesAreTracedButMessageLinesAreNot)
{
    ScriptedServer server(up_to_data().reply("354 go").await_data().say("250 done"));
    T_SMTP client;
    TraceLog log;
    client.OnTrace = log.proc();
    aim(client, server);
    fill(client);
    client.Action();
    client.Logout();

    EXPECT_THAT(log.at(trace_sent), ElementsAre("HELO " + local_host_name(), "MAIL FROM: <jan@example.cz>",
                                                "RCPT TO: <eva@example.cz>", "DATA"));
    EXPECT_THAT(log.at(trace_received),
                ElementsAre("220 mx ESMTP", "250 hello", "250 ok", "250 ok", "354 go", "250 done"));
    EXPECT_EQ(server.transcript(), helo() + envelope_of_fill + "DATA\r\nSubject: test\r\n\r\nbody\r\n.\r\n");
}

TEST(SmtpDialogue, MultiLineRepliesAreReadToTheirLastLineAndKeepTheFirst)
{
    ScriptedServer server(Conversation()
                              .say("220-mx ESMTP\r\n220 welcome")
                              .reply("250-first\r\n250-second\r\n250 last")
                              .reply("250 ok")
                              .reply("250 ok")
                              .reply("354 go")
                              .await_data()
                              .say("250-queued\r\n250 as 7"));
    T_SMTP client;
    TraceLog log;
    client.OnTrace = log.proc();
    aim(client, server);
    fill(client);
    client.Action();
    client.Logout();

    EXPECT_EQ(client.ReplyCode, 250);
    EXPECT_EQ(client.ReplyText, "queued");
    EXPECT_THAT(log.at(trace_received), ElementsAre("220-mx ESMTP", "220 welcome", "250-first", "250-second",
                                                    "250 last", "250 ok", "250 ok", "354 go", "250-queued", "250 as 7"));
    EXPECT_EQ(server.transcript(), helo() + envelope_of_fill + "DATA\r\nSubject: test\r\n\r\nbody\r\n.\r\n");
}

TEST(SmtpDialogue, GreetingIsNotExaminedAndAnEmptySenderGivesEmptyBrackets)
{
    ScriptedServer server(Conversation().say("554 no service").reply("250 hello").reply("250 ok").reply("250 ok").reply(
        "354 go").await_data().say("250 ok"));
    T_SMTP client;
    aim(client, server);
    fill(client);
    client.MailFrom.clear();
    client.Action();
    client.Logout();

    EXPECT_EQ(server.transcript(),
              helo() + "MAIL FROM: <>\r\nRCPT TO: <eva@example.cz>\r\nDATA\r\nSubject: test\r\n\r\nbody\r\n.\r\n");
}

TEST(SmtpDialogue, WithoutRecipientsTheServerJudgesTheMessage)
{
    // T_Mail hands over an envelope without a recipient when no line held an address; the
    // server's refusal of DATA is what tells the user.
    ScriptedServer server(Conversation().say("220 mx").reply("250 hello").reply("250 ok").reply(
        "554 no valid recipients"));
    T_SMTP client;
    aim(client, server);
    fill(client);
    client.MailTo.clear();
    try {
        client.Action();
        FAIL() << "a refused DATA must raise";
    } catch (const EProtocolError& e) {
        EXPECT_EQ(e.ReplyNumber, 554);
    }
    client.Logout();
    EXPECT_EQ(server.transcript(), helo() + "MAIL FROM: <jan@example.cz>\r\nDATA\r\n");
}

TEST(SmtpDialogue, NothingToSendMeansNoConnectionAtAll)
{
    // With no host name any attempt to connect would raise.
    T_SMTP client;
    fill(client);
    client.MailData.clear();
    EXPECT_NO_THROW(client.Action());
    EXPECT_FALSE(client.Connected);
    fill(client);
    EXPECT_THROW(client.Action(), ETcpIpError);
}

TEST(SmtpDialogue, EveryActionOpensItsOwnConnection)
{
    auto delivery = [](const char* rcpt_answer) {
        return Conversation().say("220 mx").reply("250 hello").reply("250 ok").reply(rcpt_answer).reply("354 go").await_data().say(
            "250 ok");
    };
    ScriptedServer server({Conversation(), delivery("550 unknown"), delivery("250 ok")});
    T_SMTP client;
    aim(client, server);
    fill(client);
    client.Login();  // the send job connects before the message is composed
    client.Action();
    EXPECT_THAT(client.RefusedRecipients, ElementsAre("eva@example.cz"));
    client.Action();
    EXPECT_TRUE(client.RefusedRecipients.empty());
    client.Logout();

    EXPECT_EQ(server.connections(), 3u);
    EXPECT_EQ(server.transcript(0), "");
    EXPECT_EQ(server.transcript(1), server.transcript(2));
}

TEST(SmtpRefusals, RefusedHeloOrSenderStopsTheDialogue)
{
    ScriptedServer helo_refused(Conversation().say("220 mx").reply("501 bad helo"));
    ScriptedServer sender_refused(Conversation().say("220 mx").reply("250 hello").reply("553 sender rejected"));
    const struct {
        ScriptedServer& server;
        int code;
        const char* text;
        std::string sent;
    } cases[] = {{helo_refused, 501, "bad helo", helo()},
                 {sender_refused, 553, "sender rejected", helo() + "MAIL FROM: <jan@example.cz>\r\n"}};
    for (const auto& c : cases) {
        T_SMTP client;
        aim(client, c.server);
        fill(client);
        try {
            client.Action();
            ADD_FAILURE() << "a refusal must raise";
        } catch (const EProtocolError& e) {
            EXPECT_EQ(e.kind(), "EProtocolError");
            EXPECT_EQ(e.Protocol, "SMTP");
            EXPECT_EQ(e.ReplyNumber, c.code);
            EXPECT_EQ(e.message(), c.text);
        }
        EXPECT_TRUE(client.Connected);  // closed by the caller, as after a success
        client.Logout();
        EXPECT_EQ(c.server.transcript(), c.sent);
    }
}

TEST(SmtpRefusals, DataAnsweredWithAnythingButGoAheadIsARefusal)
{
    for (const char* answer : {"250 ok", "554 no valid recipients", "350 odd"}) {
        ScriptedServer server(up_to_data().reply(answer));
        T_SMTP client;
        aim(client, server);
        fill(client);
        try {
            client.Action();
            ADD_FAILURE() << answer << " must not pass for a sent message";
        } catch (const EProtocolError& e) {
            EXPECT_EQ(e.ReplyNumber, std::stoi(answer));
            EXPECT_EQ(e.message(), std::string(answer).substr(4));
        }
        client.Logout();
        EXPECT_EQ(server.transcript(), helo() + envelope_of_fill + "DATA\r\n") << answer;
    }
}

TEST(SmtpRefusals, MessageRefusedAfterItsEnd)
{
    ScriptedServer server(up_to_data().reply("354 go").await_data().say("552 message too big"));
    T_SMTP client;
    aim(client, server);
    fill(client);
    std::vector<SmtpEvent> told;
    client.OnEvent = [&told](SmtpEvent event) { told.push_back(event); };
    try {
        client.Action();
        FAIL() << "a refused message must raise";
    } catch (const EProtocolError& e) {
        EXPECT_EQ(e.ReplyNumber, 552);
        EXPECT_EQ(e.message(), "message too big");
    }
    EXPECT_THAT(told, ElementsAre(SmtpEvent::recipient_accepted));
}

TEST(SmtpRefusals, ReplyWithoutANumberIsAConversionError)
{
    ScriptedServer server(Conversation().say("220 mx").reply("abc def"));
    T_SMTP client;
    aim(client, server);
    fill(client);
    try {
        client.Action();
        FAIL() << "a reply without a code cannot be judged";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.message(), "'abc' is not a valid integer value");
    }
}

TEST(SmtpLostConnection, EveryReplyThatNeverComesRaises)
{
    const Conversation cut[] = {
        Conversation().close(),                                                  // no greeting
        Conversation().say("220 mx").close(),                                    // no HELO reply
        Conversation().say("220 mx").reply("250-first\r\n250-second").close(),  // reply cut in the middle
        Conversation().say("220 mx").reply("250 hello").reply("250 ok").reply("250 ok").reply("354 go").close(),
        up_to_data().reply("354 go").await_data().close(),                       // no verdict on the message
        up_to_data().reply("354 go").await_data().say_raw("250 queu").close(),  // verdict cut short
    };
    for (std::size_t i = 0; i < std::size(cut); ++i) {
        ScriptedServer server(cut[i]);
        T_SMTP client;
        aim(client, server);
        fill(client);
        try {
            client.Action();
            ADD_FAILURE() << "case " << i << ": a lost connection passed for a delivery";
        } catch (const EProtocolError&) {
            ADD_FAILURE() << "case " << i << ": a stale reply was taken for the server's answer";
        } catch (const ETcpIpError& e) {
            // Closed, or reset when the client was still sending: either way it names the server.
            EXPECT_THAT(e.message(), HasSubstr("127.0.0.1")) << "case " << i;
        }
        EXPECT_FALSE(client.Connected) << "case " << i;
    }
}

TEST(SmtpLostConnection, SilentServerRunsIntoTheTimeout)
{
    ScriptedServer server(Conversation().say("220 mx").reply("250 hello"));
    T_SMTP client;
    client.Timeout = 1;
    aim(client, server);
    fill(client);
    try {
        client.Action();
        FAIL() << "a silent server must not be waited for without end";
    } catch (const EProtocolError&) {
        FAIL() << "the answer to HELO was taken for the answer to MAIL FROM";
    } catch (const ETcpIpError& e) {
        EXPECT_EQ(e.message(), "No answer from 127.0.0.1 within 1 seconds");
    }
    EXPECT_FALSE(client.Connected);
    EXPECT_EQ(server.transcript(), helo() + "MAIL FROM: <jan@example.cz>\r\n");
}

TEST(SmtpData, LargeMessagesTravelInLargeSends)
{
    ScriptedServer server(up_to_data().reply("354 go").await_data().say("250 ok"));
    T_SMTP client;
    TraceLog log;
    client.OnTrace = log.proc();
    aim(client, server);
    fill(client);
    client.MailData.clear();
    std::string body;
    for (int i = 0; i < 40000; ++i) {
        client.MailData.push_back((i % 50 == 0 ? "." : "") + std::string("TWFueSBoYW5kcyBtYWtlIGxpZ2h0IHdvcmsu") +
                                  std::to_string(i));
        body += (i % 50 == 0 ? ".." : "") + std::string("TWFueSBoYW5kcyBtYWtlIGxpZ2h0IHdvcmsu") + std::to_string(i) +
                "\r\n";
    }
    client.Action();
    client.Logout();

    EXPECT_EQ(server.transcript(), helo() + envelope_of_fill + "DATA\r\n" + body + ".\r\n");
    // Four commands, then the message in blocks of about 64 KiB.
    EXPECT_LE(log.socket_events("Sent ").size(), 4 + body.size() / 0x10000 + 2);
}

}  // namespace
}  // namespace zanpost
