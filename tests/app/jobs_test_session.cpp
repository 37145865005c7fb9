// GET's session as a whole: the output text is written once, just before QUIT commits the
// deletions, and a session that cannot write it or that breaks deletes nothing for good
// without its texts on the disk. And GET's memory stays flat whatever the size of a part.

#include "app/jobs_test_harness.h"
#include "support/sanitized.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <iostream>
#include <optional>

namespace zanpost::jobs_test {
namespace {

const Message first = office_message("prvni", 'a'), second = office_message("druha", 'b'),
              third = office_message("treti", 'c');
const std::string earlier = "z minula\r\n";

struct SessionCase {
    const char* name;
    std::vector<Message> mailbox;
    std::function<std::vector<Conversation>()> server;
    bool output_is_directory = false;  // the write of the output text fails
    std::string err;
    std::vector<std::string> sent;           // per connection, after the first one's login
    std::optional<std::string> output;       // the output file afterwards; nullopt: as it was
    std::vector<std::string> stored;         // files of Cesta afterwards
    // As GET always did, with a ledger that cannot be read; what a ledger changes is in
    // jobs_test_ledger.cpp.
    bool without_ledger = false;
};

std::vector<SessionCase> session_cases()
{
    const std::vector<Message> both{first, second};
    const std::vector<Message> all{first, second, third};
    return {
        {"the output cannot be written: no QUIT, so no deletion happens",
         {first},
         [] { return std::vector<Conversation>{pop3_login({first}).reply(retr_answer(first)).reply("+OK")}; },
         true,
         output_not_saved,
         {"RETR 1\r\nDELE 1\r\n"},
         std::nullopt,
         {"a.dat"}},
        {"without a ledger, broken after a deletion, before the write: its text waits for the run that deletes it",
         all,
         [all] {
             return std::vector<Conversation>{
                 pop3_login(all).reply(retr_answer(first)).reply("+OK").await_line().close(),
                 Conversation()
                     .say("+OK again")
                     .reply("+OK")
                     .reply("+OK")
                     .reply(listing_answer(all))
                     .reply("+OK 3 " + unique_id(3))
                     .reply(retr_answer(third))
                     .reply("+OK")
                     .reply("+OK bye")};
         },
         false,
         message_not_fetched,
         {"RETR 1\r\nDELE 1\r\nRETR 2\r\n", "USER u\r\nPASS p\r\nLIST\r\nUIDL 3\r\nRETR 3\r\nDELE 3\r\nQUIT\r\n"},
         " treti\r\ntext C\r\n",
         {"a.dat", "c.dat"},
         true},
        {"without a ledger, broken after a deletion with no session after it: the earlier output stays",
         both,
         [both] {
             return std::vector<Conversation>{pop3_login(both).reply(retr_answer(first)).reply("+OK").await_line().close()};
         },
         false,
         message_not_fetched,
         {"RETR 1\r\nDELE 1\r\nRETR 2\r\n"},
         std::nullopt,
         {"a.dat"},
         true},
        {"broken after the write, before QUIT is answered: the texts stay, since the server may have deleted",
         {first},
         [] {
             return std::vector<Conversation>{
                 pop3_login({first}).reply(retr_answer(first)).reply("+OK").await_line().close()};
         },
         false,
         pop3_not_connected,
         {"RETR 1\r\nDELE 1\r\nQUIT\r\n"},
         " prvni\r\ntext A\r\n",
         {"a.dat"}},
        {"two messages, one write: both texts in message order",
         both,
         [both] {
             return std::vector<Conversation>{pop3_login(both)
                                                  .reply(retr_answer(first))
                                                  .reply("+OK")
                                                  .reply(retr_answer(second))
                                                  .reply("+OK")
                                                  .reply("+OK")};
         },
         false,
         "",
         {"RETR 1\r\nDELE 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n"},
         " prvni\r\ntext A\r\n druha\r\ntext B\r\n",
         {"a.dat", "b.dat"}},
    };
}

class SessionTest : public JobTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(SessionTest, TextsReachTheOutputOnlyForDeletionsThatCanTakeEffect)
{
    {
        const SessionCase c = session_cases()[GetParam()];
        SCOPED_TRACE(c.name);
        if (c.without_ledger) without_ledger();
        std::string output = telo_get_;
        if (c.output_is_directory) {
            output = work_ + "vystup";
            std::filesystem::create_directories(output + "/y");
            set("Mail", "Telo_Get", output);
        } else {
            write_file(output, earlier);
        }
        ScriptedServer server(c.server(), pop3_port);
        const Outcome r = run("GET");
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, notice);
        for (std::size_t k = 0; k < c.sent.size(); ++k)
            EXPECT_EQ(server.transcript(k), (k == 0 ? login_transcript(c.mailbox.size()) : "") + c.sent[k]) << k;
        if (c.output_is_directory)
            EXPECT_TRUE(std::filesystem::is_directory(output + "/y"));
        else
            EXPECT_EQ(read(output), c.output.value_or(earlier));
        for (const char* name : {"a.dat", "b.dat", "c.dat"}) {
            const bool wanted = std::find(c.stored.begin(), c.stored.end(), name) != c.stored.end();
            EXPECT_EQ(exists(in_cesta(name)), wanted) << name;
        }
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, SessionTest, ::testing::Range<std::size_t>(0, session_cases().size()));

// ---- memory ------------------------------------------------------------------------

using testing::sanitized;

// A loose ceiling: far below the size of any of these messages, so it fails as soon as a
// part is held whole again, and far above what the program needs, so it never fails by
// chance.
constexpr long ceiling_kb = 24 * 1024;

std::string pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    std::uint32_t x = 12345;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

class MemoryTest : public JobTest, public ::testing::WithParamInterface<int> {};

TEST_P(MemoryTest, DoesNotGrowWithTheMessage)
{
    const std::size_t size = 64u << 20;
    StringList short_lines;
    for (std::size_t n = 0; n < size / 24; ++n) short_lines.push_back("radek " + std::to_string(n));
    struct Case {
        const char* name;
        Message message;
        std::string file;  // a file's name, or empty for the output text
    };
    const auto make = [&](int which) -> Case {
        switch (which) {
        case 0:
            return {"64 MiB base64 file",
                    multipart_message("ZAN_POST velky",
                                      {base64_part(pattern(size), "attachment; filename=\"velky.bin\"")}),
                    "velky.bin"};
        case 1:
            return {"a file of short text lines",
                    multipart_message("ZAN_POST radky",
                                      {Part{{"Content-Type: text/plain",
                                             "Content-Disposition: attachment; filename=\"radky.txt\""},
                                            short_lines}}),
                    "radky.txt"};
        default: return {"a body of short lines", plain_message("ZAN_POST telo", short_lines), ""};
        }
    };
    {
        const Case c = make(GetParam());
        SCOPED_TRACE(c.name);
        ScriptedServer server(pop3_login({c.message}).reply(retr_answer(c.message)).reply("+OK").reply("+OK"), pop3_port);
        const Outcome r = run("GET");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(server.transcript(), login_transcript(1) + "RETR 1\r\nDELE 1\r\nQUIT\r\n");
        std::size_t lines_bytes = 0;
        for (const auto& line : short_lines) lines_bytes += line.size() + 2;
        if (!c.file.empty()) {
            const std::string stored = read(in_cesta(c.file));
            EXPECT_EQ(stored.size(), c.file == "velky.bin" ? size : lines_bytes - 2);
            if (c.file == "velky.bin") EXPECT_TRUE(stored == pattern(size));
            else EXPECT_TRUE(stored.starts_with("radek 0\r\nradek 1\r\n") && stored.ends_with(short_lines.back()));
        } else {
            EXPECT_EQ(std::filesystem::file_size(telo_get_), std::string(" telo\r\n").size() + lines_bytes);
        }
        if (sanitized) return;
        ASSERT_GE(r.peak_kb, 0) << "no /usr/bin/time to measure the program's memory";
        EXPECT_LT(r.peak_kb, ceiling_kb);
        std::cout << c.name << ": peak " << r.peak_kb << " KB\n";
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MemoryTest, ::testing::Values(0, 1, 2));

}  // namespace
}  // namespace zanpost::jobs_test
