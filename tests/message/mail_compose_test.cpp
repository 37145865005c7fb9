#include "message/mail.h"

#include "message/date.h"
#include "protocols/smtp.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace zanpost {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

platform::LocalDateTime second_of_january_1970()
{
    platform::LocalDateTime when;
    when.day = 2;
    when.weekday = 6;
    return when;
}

// Runs the composition with a fixed stamp.
class StampedNews : public T_MailNews {
public:
    void compose() { Compose(second_of_january_1970(), "host.example", "r4nd0m"); }
};

TEST(Compose, StandardLinesFirstThenOptionalOnesHeaderEmptyLineAndBody)
{
    StampedNews news;
    news.From = "Jan <jan@example.cz>";
    news.Sender = "office@example.cz";
    news.Subject = "ZAN_POST vypis";
    news.References = "<1@x>";
    news.ReplyTo = "reply@example.cz";
    news.Header = StringList{"X-One: 1", "X-Two: 2"};
    news.Body = StringList{"first", "", "last"};
    news.MessageLines = StringList{"To: eva@example.cz"};

    news.compose();

    EXPECT_THAT(news.MessageLines,
                ElementsAre("From: Jan <jan@example.cz>", "Message-ID: <86400.r4nd0m@host.example>",
                            "Date: " + internet_date(second_of_january_1970()), "Subject: ZAN_POST vypis",
                            "To: eva@example.cz", "Sender: office@example.cz", "References: <1@x>",
                            "Reply-To: reply@example.cz", "X-One: 1", "X-Two: 2", "", "first", "", "last"));
    EXPECT_THAT(news.Body, ElementsAre("first", "", "last"));
    EXPECT_THAT(news.Header, ElementsAre("X-One: 1", "X-Two: 2"));
}

TEST(Compose, EmptyFieldsStillGiveTheFourStandardLines)
{
    StampedNews news;
    news.compose();
    ASSERT_EQ(news.MessageLines.size(), 5u);
    EXPECT_EQ(news.MessageLines[0], "From: ");
    EXPECT_EQ(news.MessageLines[3], "Subject: ");
    EXPECT_EQ(news.MessageLines[4], "");
}

TEST(Compose, DisposableBodyIsMovedAndTheFlagResets)
{
    StampedNews news;
    news.Body = StringList{"a", "b"};
    news.BodyDisposable = true;
    news.compose();
    EXPECT_THAT(news.Body, IsEmpty());
    EXPECT_FALSE(news.BodyDisposable);
    EXPECT_EQ(news.MessageLines.back(), "b");

    news.Body = StringList{"c"};
    news.MessageLines.clear();
    news.compose();
    EXPECT_THAT(news.Body, ElementsAre("c"));
    EXPECT_EQ(news.MessageLines.back(), "c");
}

TEST(Compose, ActionStampsAFreshMessageIdEveryTime)
{
    T_MailNews first;
    T_MailNews second;
    first.Action();
    second.Action();
    const std::regex form("Message-ID: <[0-9]+\\.[0-9a-z]{10}@[^>]+>");
    ASSERT_GE(first.MessageLines.size(), 3u);
    EXPECT_TRUE(std::regex_match(first.MessageLines[1], form)) << first.MessageLines[1];
    EXPECT_TRUE(std::regex_match(second.MessageLines[1], form)) << second.MessageLines[1];
    EXPECT_NE(first.MessageLines[1], second.MessageLines[1]);
    EXPECT_TRUE(std::regex_match(first.MessageLines[2], std::regex("Date: [A-Z][a-z]{2}, [0-9]{1,2} .*")));
    EXPECT_EQ(message_id(86400, "t", "h"), "<86400.t@h>");
}

// Without what a delivery needs, Action leaves everything as it was.
TEST(MailPreconditions, NothingHappensWithoutClientRecipientOrSender)
{
    T_SMTP smtp;
    {
        T_Mail mail;
        mail.From = "a@example.cz";
        mail.Recipients = StringList{"b@example.cz"};
        mail.Action();
        EXPECT_THAT(mail.MessageLines, IsEmpty());
    }
    {
        T_Mail mail;
        mail.SMTP = &smtp;
        mail.From = "a@example.cz";
        mail.Action();
        EXPECT_THAT(mail.MessageLines, IsEmpty());
    }
    {
        T_Mail mail;
        mail.SMTP = &smtp;
        mail.Recipients = StringList{"b@example.cz"};
        mail.Action();
        EXPECT_THAT(mail.MessageLines, IsEmpty());
    }
    EXPECT_EQ(smtp.MailFrom, "");
    EXPECT_THAT(smtp.MailTo, IsEmpty());
    EXPECT_THAT(smtp.MailData, IsEmpty());
    EXPECT_FALSE(smtp.Connected);
}

}  // namespace
}  // namespace zanpost
