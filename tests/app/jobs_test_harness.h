#pragma once
// The real program, run against scripted mail servers. Its clients use the fixed ports 25
// and 110, which only a private network namespace can lend to a test: the executable runs
// through tests/app/run_in_netns, which sets ZANPOST_PRIVATE_NET; without it every case
// is skipped.
//
// Each test gets a fresh tree: home/ holds a copy of the program and its Zan_Post.ini,
// work/ is the current directory of the run, Cesta is work/a/b/in/ (deep enough that a
// name climbing out of it would land somewhere the test looks), Telo_Get is
// work/prijato.txt. What the program printed is captured: error boxes on standard error,
// the completion notice on standard output, each as "caption: text" in UTF-8.

#include "app/job_fixture.h"
#include "rtl/string_list.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zanpost::jobs_test {

using zanpost::testing::Conversation;
using zanpost::testing::ScriptedServer;
using zanpost::testing::TempDir;
using zanpost::testing::write_file;

inline constexpr std::uint16_t smtp_port = 25;
inline constexpr std::uint16_t pop3_port = 110;

struct Outcome {
    int exit_code = -1;
    std::string out;  // information boxes: the completion notice
    std::string err;  // error boxes
    double seconds = 0;
    long peak_kb = -1;  // peak resident size of the program; -1 when it could not be measured
};

// The boxes as the program prints them.
std::string file_not_saved(std::string_view path);
extern const std::string smtp_failed;
extern const std::string pop3_not_connected;
extern const std::string message_not_fetched;
extern const std::string output_not_saved;
extern const std::string body_not_loaded_prefix;

// Every regular file under a directory, by path, with its content.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const std::filesystem::path& directory);

class JobTest : public ::testing::Test {
protected:
    JobTest();
    void SetUp() override;

    // Writes Zan_Post.ini from the settings and runs the program with the word from work/.
    Outcome run(const std::string& word);
    // Writes Zan_Post.ini now, e.g. before a snapshot that run() must not count as changed.
    void write_ini();

    // Sets a key of the INI file (replacing it), or takes it out.
    void set(const std::string& section, const std::string& key, const std::string& value);
    void unset(const std::string& section, const std::string& key);

    std::string in_cesta(const std::string& name) const { return cesta_ + name; }
    std::string read(const std::string& path) const;
    bool exists(const std::string& path) const;
    // Paths under the test's tree whose content differs between the snapshots, added and
    // removed files included; the ledger beside the INI and its lock file, the program's
    // own records that the ledger tests look at themselves, are not counted.
    std::vector<std::string> changed(const Snapshot& before, const Snapshot& after) const;
    // The ledger of GET by default: Zan_Post.uidl beside the INI.
    std::string ledger_path() const { return home_ + "Zan_Post.uidl"; }
    // A ledger that cannot be read (a directory in its place): the run goes on as GET
    // always did, which is what the tests of that behaviour rely on.
    void without_ledger();
    Snapshot tree() const { return snapshot(root_.path()); }
    // What a run handed over, taken away as Tabulix takes it, so that what the next run
    // stores a second time shows: Telo_Get (empty when not written) and the names of the
    // files in Cesta, sorted.
    std::pair<std::string, std::vector<std::string>> take_handed_over();
    // Files in the tree whose name marks them as unfinished writes.
    std::vector<std::string> leftovers() const;

    // Both streams into `out`, in the order the boxes were shown.
    bool combined_output_ = false;

    TempDir root_;
    TempDir logs_;
    std::string home_;
    std::string work_;
    std::string cesta_;
    std::string telo_get_;
    std::string exe_;

private:
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> ini_;
};

// ---- POP3 --------------------------------------------------------------------------

using Message = StringList;

// A message of lines: From, Subject, then the extra header lines, an empty line, the body.
Message plain_message(const std::string& subject, const StringList& body, const StringList& extra_headers = {},
                      const std::string& from = "Centrala <centrala@firma.example>");

struct Part {
    StringList headers;
    StringList body;
};

struct MultipartShape {
    bool preamble = true;  // one empty line before the first delimiter, as ZanPost sends
    bool closed = true;    // the closing delimiter at the end
    std::string boundary = "=_ZP_b0undary";
};

Message multipart_message(const std::string& subject, const std::vector<Part>& parts, const MultipartShape& shape = {});

// A base64 part named by `disposition` (e.g. "attachment; filename=\"x.dat\"").
Part base64_part(const std::string& bytes, const std::string& disposition,
                 const std::string& content_type = "application/octet-stream");
std::string base64(std::string_view bytes);

// A branch office's daily message: subject "ZAN_POST <word>", the file "<letter>.dat" holding
// "soubor <LETTER>", and the text "text <LETTER>" that GET appends to Telo_Get.
Message office_message(const std::string& word, char letter);

// The size a POP3 server lists for a message: its lines, each with CR LF.
std::size_t size_of(const Message& message);

// Server answers, each ready for Conversation::reply (the final CR LF is added there).
std::string listing_answer(const std::vector<Message>& mailbox);
std::string top_answer(const Message& message);
std::string retr_answer(const Message& message);

// The unique id the scripted server gives message `number` (from 1), and its whole UIDL
// listing for a mailbox of `messages`.
std::string unique_id(std::size_t number);
std::string uidl_answer(std::size_t messages);

// Greeting, USER, PASS, LIST, UIDL (for a mailbox that is not empty) and the TOP of every
// message, last first, all answered.
Conversation pop3_login(const std::vector<Message>& mailbox);
// What the program sends for that: "USER u", "PASS p", "LIST", "UIDL", "TOP n 1" ...
// "TOP 1 1".
std::string login_transcript(std::size_t messages);

// ---- SMTP --------------------------------------------------------------------------

// The greeting command the program sends from this host.
std::string helo_line();

}  // namespace zanpost::jobs_test
