// SEND reads its files and body while the message goes out: every file is opened before
// the first connection, what happens to a file after that cannot make a cut-short file
// pass for whole, and the program's memory does not grow with the files or the body.

#include "app/jobs_test_harness.h"
#include "support/sanitized.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>
#include <unistd.h>

namespace zanpost::jobs_test {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

using testing::sanitized;

Conversation accepted_message()
{
    return Conversation()
        .say("220 ready")
        .reply("250 hello")
        .reply("250 sender ok")
        .reply("250 recipient ok")
        .reply("354 go on")
        .await_data()
        .say("250 queued");
}

// True once some process holds the file open; false after `seconds` without.
bool held_open(const std::string& path, double seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        std::error_code error;
        for (const auto& process : fs::directory_iterator("/proc", error)) {
            std::error_code inner;
            for (const auto& fd : fs::directory_iterator(process.path() / "fd", inner)) {
                std::error_code link_error;
                if (fs::read_symlink(fd.path(), link_error).string() == path) return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The file's bytes from `offset` (a multiple of 45) to its end as the program sends them:
// lines of 60 base64 characters.
std::string base64_lines_from(const std::string& data, std::size_t offset)
{
    std::string lines;
    for (std::size_t k = offset; k < data.size(); k += 45) lines += base64(data.substr(k, 45)) + "\r\n";
    return lines;
}

class SendStreamTest : public JobTest {
protected:
    void SetUp() override
    {
        JobTest::SetUp();
        if (IsSkipped()) return;
        set("Mail", "Telo", work_ + "telo.txt");
        write_file(work_ + "telo.txt", "Dobry den,\r\n.tecka\r\n");
    }
};

TEST_F(SendStreamTest, AFileChangedAfterItsOpeningGoesWholeOrNotAtAll)
{
    std::string data(2 * 1024 * 1024, '\0');
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = char(k * 7919 >> 5);
    struct Case {
        const char* what;
        void (*change)(const std::string& path);
        bool sent;  // the message went out whole; else the send failed before its end
    };
    const Case cases[] = {
        {"removed", [](const std::string& path) { fs::remove(path); }, true},
        {"made unreadable", [](const std::string& path) { fs::permissions(path, fs::perms::none); }, true},
        {"cut short", [](const std::string& path) { fs::resize_file(path, 1000); }, false},
    };
    set("Soubory", "Soubory", "data.dat");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = in_cesta("data.dat");
        write_file(path, data);
        // The server holds the program before its greeting while the file is changed.
        ScriptedServer server({Conversation(), Conversation().pause(1500).say("220 ready")
                                                   .reply("250 hello")
                                                   .reply("250 sender ok")
                                                   .reply("250 recipient ok")
                                                   .reply("354 go on")
                                                   .await_data()
                                                   .say("250 queued")},
                              smtp_port);
        std::thread changer([&] {
            if (held_open(path, 5)) c.change(path);
        });
        const Outcome r = run("SEND");
        changer.join();
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, notice);
        const std::string& sent = server.transcript(1);
        EXPECT_TRUE(sent.starts_with(helo_line())) << sent.substr(0, 100);
        if (c.sent) {
            EXPECT_EQ(r.err, "");
            EXPECT_NE(sent.find("\r\n\r\n" + base64_lines_from(data, 0) + "\r\n--"), std::string::npos);
            EXPECT_TRUE(sent.ends_with("--\r\n.\r\n"));
        } else {
            EXPECT_EQ(r.err, smtp_failed);
            EXPECT_NE(sent.find("DATA\r\n"), std::string::npos);
            EXPECT_FALSE(sent.ends_with("\r\n.\r\n"));
            // What the user has is left alone.
            EXPECT_TRUE(read(path) == data.substr(0, 1000));
        }
        EXPECT_EQ(read(work_ + "telo.txt"), "Dobry den,\r\n.tecka\r\n");
        fs::remove(path);
    }
}

TEST_F(SendStreamTest, TheRunLogCountsEveryLineAndByteOfTheMessage)
{
    std::string data(100000, '\0');
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = char(k * 31 >> 2);
    write_file(in_cesta("data.dat"), data);
    write_file(work_ + "telo.txt", "prvni\r\n.druhy\rtreti\n\n" + std::string(70000, 'x'));
    for (const bool with_file : {true, false}) {
        SCOPED_TRACE(with_file ? "with a file" : "without files");
        if (with_file)
            set("Soubory", "Soubory", "data.dat");
        else
            unset("Soubory", "Soubory");
        const std::string log_path = work_ + "zanpost.log";
        fs::remove(log_path);
        set("Mail", "Protokol", log_path);
        ScriptedServer server({Conversation(), accepted_message()}, smtp_port);
        const Outcome r = run("SEND");
        EXPECT_EQ(r.err, "");
        // The message as it went out, its dot-stuffing undone, is what the log counts.
        const std::string& sent = server.transcript(1);
        const auto start = sent.find("DATA\r\n") + 6;
        const auto end = sent.rfind(".\r\n");
        ASSERT_LT(start, end);
        std::size_t lines = 0;
        std::size_t bytes = 0;
        for (std::size_t p = start; p < end;) {
            const std::size_t lf = sent.find("\r\n", p);
            bytes += lf + 2 - p - (sent[p] == '.' ? 1 : 0);
            ++lines;
            p = lf + 2;
        }
        const std::string count = "(message: " + std::to_string(lines) + " lines, " + std::to_string(bytes) + " bytes)";
        const std::string log = read(log_path);
        EXPECT_NE(log.find("> " + count + "\n"), std::string::npos) << count << "\n" << log;
        EXPECT_EQ(log.find("xxxxxxxx"), std::string::npos);
    }
}

TEST_F(SendStreamTest, MemoryStaysFlatWhateverTheSizeOfTheFileAndTheBody)
{
    if (sanitized) GTEST_SKIP() << "the sanitizers' own bookkeeping would dominate the memory measured";
    if (!fs::exists("/usr/bin/time")) GTEST_SKIP() << "no /usr/bin/time to measure the program's memory";
    // 64 MiB of file and 8 MB of body in a million short lines: held whole, either alone
    // would take the program far above the ceiling.
    std::string data(64 * 1024 * 1024, '\0');
    for (std::size_t k = 0; k < data.size(); ++k) data[k] = char(k * 2654435761u >> 13);
    write_file(in_cesta("velky.dat"), data);
    std::string body;
    for (int k = 0; k < 1000000; ++k) body += (k % 3 == 0 ? ".r" : "r") + std::to_string(k % 1000) + "\r\n";
    write_file(work_ + "telo.txt", body);
    set("Soubory", "Soubory", "velky.dat");

    ScriptedServer server({Conversation(), accepted_message()}, smtp_port);
    const Outcome r = run("SEND");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, notice);
    const std::string& sent = server.transcript(1);
    EXPECT_GT(sent.size(), data.size() / 3 * 4 + body.size());
    EXPECT_NE(sent.find(base64_lines_from(data, (data.size() / 45 - 100) * 45) + "\r\n--"), std::string::npos);
    EXPECT_NE(sent.find("\r\n..r999\r\n"), std::string::npos);
    EXPECT_TRUE(sent.ends_with("--\r\n.\r\n"));
    ASSERT_GE(r.peak_kb, 0);
    std::cout << "peak " << r.peak_kb << " KB for a file of " << data.size() / 1024 << " KB and a body of "
              << body.size() / 1024 << " KB\n";
    EXPECT_LT(r.peak_kb, 24 * 1024);
}

}  // namespace
}  // namespace zanpost::jobs_test
