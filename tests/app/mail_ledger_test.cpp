#include "app/mail_ledger.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace zanpost {
namespace {

using zanpost::testing::read_file;
using zanpost::testing::TempDir;
using zanpost::testing::write_file;

const std::string mailbox = "pop.firma.example 110 ucetni";
const std::string head = "ZanPost ledger 1\r\nmailbox " + mailbox + "\r\n";

std::vector<std::string> files_in(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    return names;
}

// What the ledger holds of a message the server lists: "new", "seen" or "stored <date>".
std::string listed(MailLedger& ledger, std::string_view id, std::int64_t size)
{
    const MailLedger::Entry* entry = ledger.Listed(id, size);
    if (entry == nullptr) return "new";
    return entry->state == MailLedger::State::seen ? "seen" : "stored " + std::to_string(entry->stored_on);
}

TEST(MailLedger, KeepsWhatARunLearntForTheNextAndForgetsMessagesGoneFromTheServer)
{
    TempDir dir;
    const std::string path = dir.file("Zan_Post.uidl");
    {
        MailLedger ledger(path, mailbox);
        EXPECT_EQ(ledger.Load(), MailLedger::Loaded::fresh);
        EXPECT_EQ(listed(ledger, "u1", 100), "new");
        // Added out of order and one id twice: the file is sorted, the last word counts.
        ledger.MarkSeen("u3", 300);
        ledger.MarkSeen("u1", 100);
        ledger.MarkStored("u2", 200, 20261207);
        ledger.MarkSeen("u2 with blanks", 5);
        ledger.MarkStored("u3", 300, 20261208);
        ledger.MarkSeen("gone", 1);
        ledger.Forget("gone");
        EXPECT_TRUE(ledger.Save());
    }
    EXPECT_EQ(read_file(path), head + "U 100 - u1\r\nS 200 2026-12-07 u2\r\nU 5 - u2 with blanks\r\nS 300 2026-12-08 u3\r\n");
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"Zan_Post.uidl"});

    MailLedger next(path, mailbox);
    ASSERT_EQ(next.Load(), MailLedger::Loaded::loaded);
    EXPECT_FALSE(next.Changed());
    EXPECT_EQ(listed(next, "u1", 100), "seen");
    EXPECT_EQ(listed(next, "u2", 200), "stored 20261207");
    EXPECT_EQ(listed(next, "u2 with blanks", 5), "seen");
    // The id came back with another size: another message, new to the ledger.
    EXPECT_EQ(listed(next, "u3", 301), "new");
    EXPECT_TRUE(next.Changed());
    // u3 as it is now is recorded anew; nothing was said of u2 with blanks but it is listed.
    next.MarkSeen("u3", 301);
    ASSERT_TRUE(next.Save());
    EXPECT_EQ(read_file(path), head + "U 100 - u1\r\nS 200 2026-12-07 u2\r\nU 5 - u2 with blanks\r\nU 301 - u3\r\n");

    // A run that lists none of them leaves an empty ledger.
    MailLedger empty(path, mailbox);
    ASSERT_EQ(empty.Load(), MailLedger::Loaded::loaded);
    ASSERT_TRUE(empty.Save());
    EXPECT_EQ(read_file(path), head);

    // A file put together by hand out of order serves all the same and is written sorted.
    write_file(path, head + "U 2 - zz\r\nS 1 2026-12-07 a\r\n");
    MailLedger by_hand(path, mailbox);
    ASSERT_EQ(by_hand.Load(), MailLedger::Loaded::loaded);
    EXPECT_EQ(listed(by_hand, "zz", 2), "seen");
    EXPECT_EQ(listed(by_hand, "a", 1), "stored 20261207");
    by_hand.MarkSeen("m", 3);
    ASSERT_TRUE(by_hand.Save());
    EXPECT_EQ(read_file(path), head + "S 1 2026-12-07 a\r\nU 3 - m\r\nU 2 - zz\r\n");
}

TEST(MailLedger, AFileThatCannotServeIsToldApartAndLeavesTheLedgerEmpty)
{
    struct Case {
        const char* what;
        std::string content;  // empty: the path is a directory
        MailLedger::Loaded loaded;
    };
    const Case cases[] = {
        {"another mailbox", "ZanPost ledger 1\r\nmailbox pop.jinde.example 110 ucetni\r\nU 1 - u1\r\n",
         MailLedger::Loaded::other_mailbox},
        {"a later format", "ZanPost ledger 2\r\nmailbox " + mailbox + "\r\nU 1 - u1\r\n", MailLedger::Loaded::corrupt},
        {"an unknown state", head + "X 1 - u1\r\n", MailLedger::Loaded::corrupt},
        {"a size that is no number", head + "U 1k - u1\r\n", MailLedger::Loaded::corrupt},
        {"a stored entry without its date", head + "S 1 - u1\r\n", MailLedger::Loaded::corrupt},
        {"no id", head + "U 1 - \r\n", MailLedger::Loaded::corrupt},
        {"cut off in a line", head + "U 1 - u1\r\nS 20", MailLedger::Loaded::corrupt},
        {"a position beyond 32 bits", head + "above 7 4294967296\r\n", MailLedger::Loaded::corrupt},
        {"a position after the entries", head + "U 1 - u1\r\nabove 7 9\r\n", MailLedger::Loaded::corrupt},
        {"a directory in its place", "", MailLedger::Loaded::unreadable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.file("Zan_Post.uidl");
        if (c.content.empty())
            std::filesystem::create_directory(path);
        else
            write_file(path, c.content);
        MailLedger ledger(path, mailbox);
        EXPECT_EQ(ledger.Load(), c.loaded);
        EXPECT_EQ(ledger.Listed("u1", 1), nullptr);
        EXPECT_FALSE(ledger.Above());
    }
}

}  // namespace
}  // namespace zanpost
