#include "message/mail.h"

#include "net/errors.h"
#include "protocols/smtp.h"
#include "rtl/string_list.h"
#include "support/scripted_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>

namespace zanpost {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Conversation;
using testing::ScriptedServer;

// The server's side of one accepted delivery to `recipients` addresses, ending with `verdict`.
Conversation delivery(int recipients, const std::string& verdict = "250 queued")
{
    Conversation c;
    c.say("220 mx ready").reply("250 hello").reply("250 sender ok");
    for (int i = 0; i < recipients; ++i) c.reply("250 recipient ok");
    c.reply("354 go ahead").await_data().say(verdict);
    return c;
}

struct Sent {
    StringList commands;  // the dialogue lines before the message
    StringList data;      // the message lines between DATA and the end-of-data line
};

Sent split_transcript(const std::string& transcript)
{
    Sent sent;
    const StringList lines = split_lines(transcript);
    auto data = std::find(lines.begin(), lines.end(), "DATA");
    sent.commands.assign(lines.begin(), data);
    if (data != lines.end()) {
        auto end = std::find(data + 1, lines.end(), ".");
        sent.data.assign(data + 1, end);
    }
    return sent;
}

StringList header_block(const StringList& data)
{
    return StringList(data.begin(), std::find(data.begin(), data.end(), std::string()));
}

class Delivery : public ::testing::Test {
protected:
    T_SMTP smtp;
    T_Mail mail;

    Delivery()
    {
        smtp.Hostname = "127.0.0.1";
        smtp.Timeout = 5;
        mail.SMTP = &smtp;
        mail.From = "Jan Novak <jan@example.cz>";
        mail.Subject = "ZAN_POST vypis";
        mail.Body = StringList{"Dobry den,", "", "vypis v priloze."};
    }

    Sent deliver(ScriptedServer& server)
    {
        smtp.Port = server.port();
        mail.Action();
        smtp.Logout();
        return split_transcript(server.transcript());
    }
};

TEST_F(Delivery, OneToLineOneCcLineBccOnlyInTheEnvelope)
{
    mail.Recipients = StringList{"Eva <eva@example.cz>", "", "petr@example.cz, jana@example.cz"};
    mail.CC = StringList{"cc1@example.cz", "cc2@example.cz"};
    mail.BCC = StringList{"hidden@example.cz"};
    ScriptedServer server(delivery(6));

    const Sent sent = deliver(server);

    EXPECT_THAT(sent.commands,
                ElementsAre(::testing::StartsWith("HELO "), "MAIL FROM: <jan@example.cz>", "RCPT TO: <eva@example.cz>",
                            "RCPT TO: <petr@example.cz>", "RCPT TO: <jana@example.cz>", "RCPT TO: <cc1@example.cz>",
                            "RCPT TO: <cc2@example.cz>", "RCPT TO: <hidden@example.cz>"));

    const StringList header = header_block(sent.data);
    ASSERT_EQ(header.size(), 6u);
    EXPECT_EQ(header[0], "From: Jan Novak <jan@example.cz>");
    EXPECT_TRUE(std::regex_match(header[1], std::regex("Message-ID: <[0-9]+\\.[0-9a-z]+@[^>]+>"))) << header[1];
    EXPECT_TRUE(std::regex_match(header[2], std::regex("Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9][0-9]? "
                                                       "[A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                                                       "(GMT|[-+][0-9]{4})")))
        << header[2];
    EXPECT_EQ(header[3], "Subject: ZAN_POST vypis");
    EXPECT_EQ(header[4], "To: Eva <eva@example.cz>, petr@example.cz, jana@example.cz");
    EXPECT_EQ(header[5], "CC: cc1@example.cz, cc2@example.cz");
    EXPECT_THAT(StringList(sent.data.begin() + 6, sent.data.end()),
                ElementsAre("", "Dobry den,", "", "vypis v priloze."));
    for (const auto& line : sent.data) EXPECT_EQ(line.find("hidden"), std::string::npos) << line;

    // The envelope and the message went down as arguments: neither side's fields changed.
    EXPECT_EQ(smtp.MailFrom, "");
    EXPECT_THAT(smtp.MailTo, IsEmpty());
    EXPECT_THAT(smtp.MailData, IsEmpty());
    EXPECT_THAT(mail.MessageLines, IsEmpty());
    EXPECT_THAT(mail.Body, ElementsAre("Dobry den,", "", "vypis v priloze."));
    EXPECT_THAT(mail.Recipients, ::testing::SizeIs(3));
}

TEST_F(Delivery, DisclosedRecipientsListReplacesTheToLineButNotTheCcLine)
{
    mail.Recipients = StringList{"eva@example.cz", "petr@example.cz"};
    mail.CC = StringList{"cc@example.cz"};
    mail.Disclose_Receipts = true;
    ScriptedServer server(delivery(3));

    const Sent sent = deliver(server);

    const StringList header = header_block(sent.data);
    EXPECT_EQ(std::count_if(header.begin(), header.end(), [](const std::string& l) { return l.rfind("To: ", 0) == 0; }),
              1);
    EXPECT_EQ(header[4], "To: disclosed recipients list");
    EXPECT_EQ(header[5], "CC: cc@example.cz");
    EXPECT_THAT(StringList(sent.commands.begin() + 2, sent.commands.end()),
                ElementsAre("RCPT TO: <eva@example.cz>", "RCPT TO: <petr@example.cz>", "RCPT TO: <cc@example.cz>"));
}

TEST_F(Delivery, SenderIsTheEnvelopeSenderAndFollowsTheRecipientLines)
{
    mail.Recipients = StringList{"eva@example.cz"};
    mail.CC = StringList{"", "cc@example.cz"};
    mail.Sender = "Office <office@example.cz>";
    mail.ReplyTo = "reply@example.cz";
    mail.Header = StringList{"X-Mailer: ZanPost"};
    ScriptedServer server(delivery(2));

    const Sent sent = deliver(server);

    EXPECT_EQ(sent.commands[1], "MAIL FROM: <office@example.cz>");
    const StringList header = header_block(sent.data);
    EXPECT_THAT(StringList(header.begin() + 4, header.end()),
                ElementsAre("To: eva@example.cz", "CC: cc@example.cz", "Sender: Office <office@example.cz>",
                            "Reply-To: reply@example.cz", "X-Mailer: ZanPost"));
    EXPECT_EQ(smtp.MailFrom, "");
}

TEST_F(Delivery, MailFromSetByTheCallerIsUsedAndKept)
{
    mail.Recipients = StringList{"eva@example.cz"};
    smtp.MailFrom = "bounce@example.cz";
    ScriptedServer server(delivery(1));

    const Sent sent = deliver(server);

    EXPECT_EQ(sent.commands[1], "MAIL FROM: <bounce@example.cz>");
    EXPECT_EQ(smtp.MailFrom, "bounce@example.cz");
}

TEST_F(Delivery, AnOnlyEmptyRecipientLineStillComposesAndHandsOver)
{
    mail.Recipients = StringList{""};
    mail.Body.clear();
    ScriptedServer server(delivery(0));

    const Sent sent = deliver(server);

    const StringList header = header_block(sent.data);
    ASSERT_EQ(header.size(), 5u);
    EXPECT_EQ(header[4], "To: ");
    EXPECT_EQ(sent.data.back(), "");  // an empty body ends with the header block's empty line
    EXPECT_EQ(sent.data.size(), 6u);
    EXPECT_THAT(sent.commands, ElementsAre(::testing::StartsWith("HELO "), "MAIL FROM: <jan@example.cz>"));
    EXPECT_THAT(smtp.MailTo, IsEmpty());
}

TEST_F(Delivery, AddresslessRecipientLinesAddNothingAndAnAddresslessSenderIsTheNullSender)
{
    // What the client's envelope gets from texts that are not plain addresses.
    mail.From = "Kancelar";
    mail.Recipients = StringList{"Eva Novakova", "\"Novak; Petr\" <petr@example.cz> (kancelar)"};
    mail.BCC = StringList{"a@x.cz;b@y.cz,", "skryta kopie"};
    ScriptedServer server(delivery(3));

    const Sent sent = deliver(server);

    EXPECT_THAT(StringList(sent.commands.begin() + 1, sent.commands.end()),
                ElementsAre("MAIL FROM: <>", "RCPT TO: <petr@example.cz>", "RCPT TO: <a@x.cz>", "RCPT TO: <b@y.cz>"));
    EXPECT_EQ(smtp.MailFrom, "");
}

TEST_F(Delivery, RefusedMessageRaisesTheServersAnswerAndChangesNoField)
{
    mail.Recipients = StringList{"eva@example.cz"};
    ScriptedServer server(delivery(1, "554 rejected"));
    smtp.Port = server.port();

    try {
        mail.Action();
        FAIL() << "a refused message must raise";
    } catch (const EProtocolError& e) {
        EXPECT_EQ(e.ReplyNumber, 554);
        EXPECT_EQ(e.message(), "rejected");
    }
    smtp.Logout();

    const Sent sent = split_transcript(server.transcript());
    ASSERT_FALSE(sent.data.empty());
    EXPECT_EQ(sent.data[0], "From: Jan Novak <jan@example.cz>");
    EXPECT_EQ(sent.data.back(), "vypis v priloze.");
    EXPECT_EQ(smtp.MailFrom, "");
    EXPECT_THAT(mail.MessageLines, IsEmpty());
    EXPECT_THAT(mail.Body, ElementsAre("Dobry den,", "", "vypis v priloze."));
}

}  // namespace
}  // namespace zanpost
