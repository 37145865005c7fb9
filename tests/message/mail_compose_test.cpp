#include "message/mail.h"

#include "message/date.h"
#include "protocols/smtp.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

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

// Composes with a fixed stamp.
class StampedNews : public T_MailNews {
public:
    void Send(const StringList& content_header, const MessageSource& body) override
    {
        Compose(second_of_january_1970(), "host.example", "r4nd0m", content_header, body);
    }
};

TEST(Compose, StandardLinesFirstThenOptionalOnesHeaderContentHeaderEmptyLineAndBody)
{
    StampedNews news;
    news.From = "Jan <jan@example.cz>";
    news.Sender = "office@example.cz";
    news.Subject = "ZAN_POST vypis";
    news.References = "<1@x>";
    news.ReplyTo = "reply@example.cz";
    news.Header = StringList{"X-One: 1", "X-Two: 2"};
    news.Body = StringList{"first", "", "last"};

    news.Action();
    EXPECT_THAT(news.MessageLines,
                ElementsAre("From: Jan <jan@example.cz>", "Message-ID: <86400.r4nd0m@host.example>",
                            "Date: " + internet_date(second_of_january_1970()), "Subject: ZAN_POST vypis",
                            "Sender: office@example.cz", "References: <1@x>", "Reply-To: reply@example.cz",
                            "X-One: 1", "X-Two: 2", "", "first", "", "last"));

    // A content header closes the header block; a body given in its place is sent instead of
    // Body, and nothing of the message's own fields changes.
    const StringList other{"other"};
    news.Send({"MIME-Version: 1.0"}, line_source(other));
    ASSERT_GE(news.MessageLines.size(), 3u);
    EXPECT_THAT(StringList(news.MessageLines.end() - 3, news.MessageLines.end()),
                ElementsAre("MIME-Version: 1.0", "", "other"));
    EXPECT_THAT(news.Body, ElementsAre("first", "", "last"));
    EXPECT_THAT(news.Header, ElementsAre("X-One: 1", "X-Two: 2"));
}

TEST(Compose, EmptyFieldsStillGiveTheFourStandardLines)
{
    StampedNews news;
    news.Action();
    ASSERT_EQ(news.MessageLines.size(), 5u);
    EXPECT_EQ(news.MessageLines[0], "From: ");
    EXPECT_EQ(news.MessageLines[3], "Subject: ");
    EXPECT_EQ(news.MessageLines[4], "");
}

TEST(Compose, TheBodySourceFollowsBodyWithItsLinesRunningAcrossBlocks)
{
    // Blocks end inside a line and between the CR and the LF of a line end; an unfinished
    // last line is a line too, and a second composition replaces the first.
    StampedNews news;
    news.Body = StringList{"a", ""};
    const std::vector<std::string> blocks{"b\r", "\nc", "", " d\r\n\r\ne"};
    news.MoreBody = [&blocks, next = std::size_t(0)](std::string& block) mutable {
        if (next == blocks.size()) return false;
        block = blocks[next++];
        return true;
    };
    news.Action();
    const auto blank = std::find(news.MessageLines.begin(), news.MessageLines.end(), std::string());
    EXPECT_THAT(StringList(blank + 1, news.MessageLines.end()), ElementsAre("a", "", "b", "c d", "", "e"));
    EXPECT_THAT(news.Body, ElementsAre("a", ""));

    news.MoreBody = nullptr;
    news.Action();
    EXPECT_EQ(news.MessageLines.size(), 7u);
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
