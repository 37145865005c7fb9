// The jobs where their outcome is decided before any connection: a wrong or missing setting,
// a file that cannot be attached, a mailbox another GET holds. They run in this process with
// the settings read from an INI file and every server pointed at a listener of its own on a
// free loopback port, so no root and no private network are needed; nothing may reach them.
// Boxes print on POSIX (errors to standard error, the notice to standard output), which is
// what is compared.

#include "app/config.h"
#include "app/job_fixture.h"
#include "app/jobs.h"
#include "app/oauth_token.h"
#include "app/program.h"
#include "platform/files.h"
#include "platform/sockets.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace zanpost {
namespace {

namespace fs = std::filesystem;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using jobs_test::error_box;
using jobs_test::imap_text;
using jobs_test::notice;
using jobs_test::pop3_text;
using jobs_test::smtp_text;
using zanpost::testing::read_file;
using zanpost::testing::TempDir;
using zanpost::testing::write_file;
using namespace std::string_literals;

const std::string bad_value = "Chybn\u00e1 hodnota v Zan_Post.ini: ";
const std::string command_failed =
    "P\u0159\u00edkaz pro heslo (HesloPrikaz) selhal, nic nevypsal nebo nedob\u011bhl v\u010das.";

// A port that takes connections and answers none: whether anything connected shows at
// once, without a server to wait for.
class Listener {
public:
    Listener() : socket_(platform::socket_listen_loopback(port_)) {}
    ~Listener() { platform::socket_close(socket_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    std::uint16_t port() const { return port_; }
    bool reached() const
    {
        pollfd waiting{socket_, POLLIN, 0};
        return ::poll(&waiting, 1, 0) != 0;
    }

private:
    std::uint16_t port_ = 0;
    platform::SocketHandle socket_;
};

struct Outcome {
    int exit_code = -1;
    std::string out;  // information boxes: the completion notice
    std::string err;  // error boxes
    double seconds = 0;
    bool connected = false;  // to any of the three servers
};

// The tree of the end-to-end job tests: home/ holds Zan_Post.ini, Cesta is work/a/b/in/,
// Telo_Get work/prijato.txt; SEND has a body and one file to attach.
class OfflineJobTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(home_);
        fs::create_directories(cesta_);
        for (const auto& [section, key, value] : jobs_test::office_settings(cesta_, telo_get_)) set(section, key, value);
        set("Mail", "Telo", work_ + "telo.txt");
        set("Mail", "Protokol", log_);
        set("Soubory", "Soubory", "data.dat");
        write_file(work_ + "telo.txt", body_);
        write_file(in_cesta("data.dat"), data_);
        write_file(telo_get_, "z minula\r\n");
    }

    // Sets a key of the INI file, replacing it.
    void set(const std::string& section, const std::string& key, const std::string& value)
    {
        std::erase_if(ini_, [&](const auto& entry) { return std::get<0>(entry) == section && std::get<1>(entry) == key; });
        ini_.emplace_back(section, key, value);
    }

    // Reads the INI as the program does and runs its dispatch for `word` with the real jobs.
    Outcome run(const std::string& word)
    {
        std::string text;
        for (const char* section : {"Mail", "Soubory", "Upozorneni", "SMTP", "POP3", "IMAP"}) {
            text += "["s + section + "]\r\n";
            for (const auto& [name, key, value] : ini_)
                if (name == section) text += key + "=" + value + "\r\n";
        }
        write_file(home_ + "Zan_Post.ini", text);
        TNastaveni settings = ReadConfig(home_ + "Zan_Post.ini");
        const Listener smtp, pop3, imap;
        EXPECT_TRUE(smtp.port() != 0 && pop3.port() != 0 && imap.port() != 0);
        settings.Smtp.Port = smtp.port();
        settings.Pop3.Port = pop3.port();
        settings.Imap.Port = imap.port();
        const ProgramSteps steps{[&] { return settings; }, SendJob, ReceiveJob, EnrolJob};

        Outcome outcome;
        const auto start = std::chrono::steady_clock::now();
        CaptureStdout();
        CaptureStderr();
        outcome.exit_code = RunProgram({word}, steps);
        outcome.err = GetCapturedStderr();
        outcome.out = GetCapturedStdout();
        outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        outcome.connected = smtp.reached() || pop3.reached() || imap.reached();
        return outcome;
    }

    std::string in_cesta(const std::string& name) const { return cesta_ + name; }

    TempDir root_;
    std::string home_ = (root_.path() / "home").string() + "/";
    std::string work_ = (root_.path() / "work").string() + "/";
    std::string cesta_ = work_ + "a/b/in/";
    std::string telo_get_ = work_ + "prijato.txt";
    std::string log_ = work_ + "zanpost.log";
    std::string body_ = "Dobry den,\r\n.tecka\r\n=\r\n";
    std::string data_ = "binarni\x00\x01\xFF data"s;
    std::vector<std::tuple<std::string, std::string, std::string>> ini_;
};

struct StopCase {
    const char* what;
    const char* job;
    std::vector<std::tuple<std::string, std::string, std::string>> settings;
    std::string box;
};

// A value that is not allowed, a password command that fails or no usable sender: the
// job's box (with the cause where there is one), then the notice; nothing is sent,
// fetched or changed, and the log names the cause without the command's output.
TEST_F(OfflineJobTest, AWrongSettingStopsTheJobBeforeAnyConnection)
{
    // What ReadServer says of each value is its own table's; here each section's slip is one
    // row, enough to show that its job stops on it.
    const auto bad = [](const std::string& job_text, const char* key) { return job_text + "\n" + bad_value + key; };
    const std::vector<StopCase> cases = {
        {"SMTP mode typo", "SEND", {{"SMTP", "Sifrovani", "STARTLS"}}, bad(smtp_text, "[SMTP] Sifrovani")},
        {"SMTP bad value and no sender", "SEND", {{"SMTP", "Port", "x"}, {"Mail", "Odesilatel", "nobody"}},
         bad(smtp_text, "[SMTP] Port")},
        {"SMTP password command fails", "SEND",
         {{"SMTP", "Uzivatel", "ucetni"}, {"SMTP", "HesloPrikaz", "echo leaked-token; exit 1"}},
         smtp_text + "\n" + command_failed},
        {"no sender", "SEND", {{"Mail", "Odesilatel", ""}}, smtp_text},
        {"sender without an address", "SEND", {{"Mail", "Odesilatel", "Ucetni bez adresy"}}, smtp_text},
        {"POP3 mode typo", "GET", {{"POP3", "Sifrovani", "ssl"}}, bad(pop3_text, "[POP3] Sifrovani")},
        {"POP3 password command silent", "GET", {{"POP3", "HesloPrikaz", "true"}}, pop3_text + "\n" + command_failed},
        {"neither POP3 nor IMAP", "GET", {{"Mail", "Prijem", "IMAP4"}}, bad(pop3_text, "[Mail] Prijem")},
        {"IMAP port word", "GET", {{"Mail", "Prijem", "IMAP"}, {"IMAP", "Port", "imaps"}}, bad(imap_text, "[IMAP] Port")},
        {"USER is POP3's", "GET", {{"Mail", "Prijem", "imap"}, {"IMAP", "Overeni", "USER"}},
         bad(imap_text, "[IMAP] Overeni")},
        {"moved into the folder it is read from", "GET", {{"Mail", "Prijem", "IMAP"}, {"IMAP", "Presun", "inbox"}},
         bad(imap_text, "[IMAP] Presun")},
        {"IMAP password command fails", "GET",
         {{"Mail", "Prijem", "IMAP"}, {"IMAP", "HesloPrikaz", "echo leaked-token; exit 1"}},
         imap_text + "\n" + command_failed},
    };
    const auto fixture = ini_;
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.what);
        ini_ = fixture;
        fs::remove(log_);
        for (const auto& [section, key, value] : c.settings) set(section, key, value);
        const Outcome r = run(c.job);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, error_box(c.box));
        EXPECT_EQ(r.out, notice);
        EXPECT_FALSE(r.connected);
        EXPECT_EQ(read_file(telo_get_), "z minula\r\n");
        EXPECT_EQ(read_file(work_ + "telo.txt"), body_);
        EXPECT_EQ(read_file(in_cesta("data.dat")), data_);
        const std::string log = read_file(log_);
        EXPECT_NE(log.find(" start ZanPost "), std::string::npos) << log;
        EXPECT_NE(log.find(" ? "), std::string::npos) << log;  // the cause behind the box
        EXPECT_EQ(log.find("leaked-token"), std::string::npos) << log;
    }
}

// A message without one of its files must not go out as if it were complete: the failure
// ends the program through its top level, before any connection. What is not a regular file
// is not attached either, and SEND never waits on it.
TEST_F(OfflineJobTest, AFileThatCannotBeAttachedEndsTheProgramBeforeAnyConnection)
{
    const std::string fifo = in_cesta("roura");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directory(in_cesta("adresar"));
    std::string climb;
    for (int k = 0; k < 20; ++k) climb += "../";
    for (const std::string& name : {"chybi.dat"s, "roura"s, "adresar"s, climb + "dev/null"}) {
        SCOPED_TRACE(name);
        set("Soubory", "Soubory", "data.dat," + name);
        // A job that opens the FIFO would wait for a writer for ever: one comes after a
        // while, so that such a run ends and fails instead of hanging the test.
        std::atomic<bool> finished = false;
        std::thread rescue([&] {
            for (int k = 0; k < 50 && !finished; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        });
        const Outcome r = run("SEND");
        finished = true;
        rescue.join();
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "Application Error: EFOpenError: Cannot open file " + in_cesta(name) + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_LT(r.seconds, 4.0);
        EXPECT_FALSE(r.connected);
        EXPECT_EQ(read_file(in_cesta("data.dat")), data_);
        // The job's log has ended before the box that ends the program.
        const std::string log = read_file(log_);
        EXPECT_NE(log.find(" end SEND: sent nothing"), std::string::npos) << log;
        EXPECT_EQ(log.find("Application Error"), std::string::npos) << log;
    }
}

// A GET of the same mailbox that holds its ledger longer than Timeout keeps this one from
// the mailbox altogether: the connect box, and nothing fetched or written.
TEST_F(OfflineJobTest, AFirstGetThatRunsLongerThanTheTimeoutKeepsTheSecondFromTheMailbox)
{
    set("Mail", "Timeout", "1");
    fs::remove(telo_get_);
    const auto held = platform::FileLock::acquire(home_ + "Zan_Post.uidl.lock", 1);
    ASSERT_TRUE(held);
    const Outcome r = run("GET");
    EXPECT_EQ(r.err, error_box(pop3_text));
    EXPECT_EQ(r.out, notice);
    EXPECT_LT(r.seconds, 4.0);
    EXPECT_FALSE(r.connected);
    EXPECT_NE(read_file(log_).find("Another GET of this mailbox"), std::string::npos);
    EXPECT_FALSE(fs::exists(telo_get_));
}

}  // namespace
}  // namespace zanpost
