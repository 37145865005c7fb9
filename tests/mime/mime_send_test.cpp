#include "mime/mime.h"

#include "message/mail.h"
#include "net/errors.h"
#include "protocols/smtp.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace zanpost {
namespace {

using ::testing::ElementsAre;
using testing::Conversation;
using testing::ScriptedServer;
using testing::TempDir;

Conversation delivery(const std::string& verdict)
{
    return Conversation()
        .say("220 mx ready")
        .reply("250 hello")
        .reply("250 sender ok")
        .reply("250 recipient ok")
        .reply("354 go ahead")
        .await_data()
        .say(verdict);
}

// The message lines as the server received them, dot-stuffing undone.
StringList received_message(const std::string& transcript)
{
    const StringList lines = split_lines(transcript);
    auto first = std::find(lines.begin(), lines.end(), "DATA");
    StringList message;
    if (first == lines.end()) return message;
    for (auto it = first + 1; it != lines.end() && *it != "."; ++it)
        message.push_back(!it->empty() && it->front() == '.' ? it->substr(1) : *it);
    return message;
}

class SendThroughSmtp : public ::testing::Test {
protected:
    TempDir dir;
    T_SMTP smtp;
    T_Mail mail;
    T_Mime mime;
    std::string bytes;

    SendThroughSmtp()
    {
        smtp.Hostname = "127.0.0.1";
        smtp.Timeout = 5;
        mail.SMTP = &smtp;
        mail.From = "jan@example.cz";
        mail.Recipients = StringList{"eva@example.cz"};
        mail.Subject = "ZAN_POST";
        mime.Mail = &mail;
        for (int i = 0; i < 5000; ++i) bytes += static_cast<char>((i * 31) ^ (i >> 3));
        const std::string path = dir.file("export.dat");
        testing::write_file(path, bytes);
        mime.AttachFile(path);
    }
};

TEST_F(SendThroughSmtp, TheReceivedMessageSplitsBackIntoTheFileAndTheText)
{
    const StringList body{".5 kg", ".", "Cena =3D 10 K\x8D"};
    mail.Body = body;
    ScriptedServer server(delivery("250 queued"));
    smtp.Port = server.port();

    mime.SendMail();
    smtp.Logout();

    T_Mime parser;
    parser.ParseMessage(received_message(server.transcript()));
    EXPECT_TRUE(parser.HasPreamble());
    ASSERT_EQ(parser.AttachmentCount(), 3);
    EXPECT_EQ(parser.Attachments[1].Disposition, "attachment; filename=\"export.dat\"");
    EXPECT_EQ(parser.Attachments[1].Data.bytes(), bytes);
    EXPECT_THAT(parser.Attachments[2].Text, ElementsAre(".5 kg", ".", "Cena =3D 10 K\x8D", ""));

    EXPECT_EQ(mail.Body, body);
    EXPECT_EQ(mime.AttachmentCount(), 1);
    EXPECT_TRUE(mail.MessageLines.empty());
}

TEST_F(SendThroughSmtp, ARefusedMessageLeavesTheMessageAsItWas)
{
    for (const bool encode_while_sending : {false, true}) {
        SCOPED_TRACE(encode_while_sending ? "encoded while sending" : "built beforehand");
        mail.Body = StringList{"text"};
        mime.EncodeWhileSending = encode_while_sending;
        ScriptedServer server(delivery("552 too big"));
        smtp.Port = server.port();

        EXPECT_THROW(mime.SendMail(), EProtocolError);
        smtp.Logout();

        const StringList sent = received_message(server.transcript());
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back(), "--" + mime.Boundary + "--");
        EXPECT_THAT(mail.Body, ElementsAre("text"));
        EXPECT_THAT(mail.Header, ::testing::IsEmpty());
        EXPECT_FALSE(mail.MoreBody);
        EXPECT_TRUE(mail.MessageLines.empty());
        EXPECT_EQ(mime.AttachmentCount(), 1);
    }
}

// One message with a file and a body through a fresh client, as the server received it, with
// the parts that differ from send to send (boundary, Message-ID, date) neutralised.
StringList send_once(const std::string& path, bool encode_while_sending, StringList& body_after)
{
    T_SMTP smtp;
    T_Mail mail;
    T_Mime mime;
    smtp.Hostname = "127.0.0.1";
    smtp.Timeout = 5;
    mail.SMTP = &smtp;
    mail.From = "jan@example.cz";
    mail.Recipients = StringList{"eva@example.cz"};
    mail.Body = StringList{".5 kg", "Cena = 10 K\x8D"};
    mime.Mail = &mail;
    mime.EncodeWhileSending = encode_while_sending;
    mime.AttachFile(path);
    ScriptedServer server(delivery("250 queued"));
    smtp.Port = server.port();

    mime.SendMail();
    smtp.Logout();
    body_after = mail.Body;
    EXPECT_FALSE(mail.MoreBody);

    StringList lines = received_message(server.transcript());
    for (auto& line : lines) {
        if (line.starts_with("Message-ID: ") || line.starts_with("Date: ")) line.resize(line.find(' '));
        for (auto p = line.find(mime.Boundary); p != std::string::npos; p = line.find(mime.Boundary))
            line.replace(p, mime.Boundary.size(), "BOUNDARY");
    }
    return lines;
}

TEST(EncodeWhileSending, SendsTheSameLinesAsABodyBuiltBeforehand)
{
    TempDir dir;
    // Enough base64 lines for several batches and several platform sends.
    std::string bytes;
    for (int i = 0; i < 150000; ++i) bytes += static_cast<char>((i * 131) ^ (i >> 5));
    const std::string path = dir.file("large.dat");
    testing::write_file(path, bytes);

    StringList body_held, body_streamed;
    const StringList held = send_once(path, false, body_held);
    const StringList streamed = send_once(path, true, body_streamed);

    EXPECT_GT(held.size(), 3000u);
    EXPECT_TRUE(held == streamed);
    EXPECT_EQ(body_streamed, body_held);
    EXPECT_THAT(body_streamed, ElementsAre(".5 kg", "Cena = 10 K\x8D"));

    T_Mime parser;
    parser.ParseMessage(streamed);
    ASSERT_EQ(parser.AttachmentCount(), 3);
    EXPECT_EQ(parser.Attachments[1].Data.bytes(), bytes);
}

}  // namespace
}  // namespace zanpost
