#include "app/jobs_test_harness.h"

#include "net/ip_misc.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zanpost::jobs_test {

namespace fs = std::filesystem;
using zanpost::testing::read_file;
using zanpost::testing::write_file;

std::string file_not_saved(std::string_view path)
{
    return error_box("Nepoda\u0159ilo se ulo\u017eit soubor \"" + std::string(path) + "\".");
}

const std::string smtp_failed = error_box(smtp_text);
const std::string pop3_not_connected = error_box(pop3_text);
const std::string message_not_fetched =
    error_box("Nepoda\u0159ilo se z\u00edskat do\u0161lou zpr\u00e1vu ze serveru p\u0159\u00edchoz\u00ed po\u0161ty (POP3).");
const std::string output_not_saved = error_box("Nepoda\u0159ilo se ulo\u017eit text zpr\u00e1vy.");
const std::string body_not_loaded_prefix = "ZanPost - Chyba: Nepoda\u0159ilo se nahr\u00e1t soubor ";

Snapshot snapshot(const fs::path& directory)
{
    Snapshot files;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        if (entry.is_regular_file()) files[entry.path().string()] = read_file(entry.path().string());
    return files;
}

JobTest::JobTest()
    : home_((root_.path() / "home").string() + "/"),
      work_((root_.path() / "work").string() + "/"),
      cesta_(work_ + "a/b/in/"),
      telo_get_(work_ + "prijato.txt"),
      exe_(home_ + "zanpost")
{
}

void JobTest::SetUp()
{
    if (std::getenv("ZANPOST_PRIVATE_NET") == nullptr)
        GTEST_SKIP() << "needs ports 25 and 110 of a private network: run through tests/app/run_in_netns";
    fs::create_directories(home_);
    fs::create_directories(cesta_);
    fs::copy_file(ZANPOST_EXE, exe_);

    for (const auto& [section, key, value] : office_settings(cesta_, telo_get_)) set(section, key, value);
}

void JobTest::set(const std::string& section, const std::string& key, const std::string& value)
{
    unset(section, key);
    for (auto& [name, keys] : ini_) {
        if (name == section) {
            keys.emplace_back(key, value);
            return;
        }
    }
    ini_.push_back({section, {{key, value}}});
}

void JobTest::unset(const std::string& section, const std::string& key)
{
    for (auto& [name, keys] : ini_)
        if (name == section) std::erase_if(keys, [&](const auto& entry) { return entry.first == key; });
}

void JobTest::write_ini()
{
    std::string ini;
    for (const auto& [name, keys] : ini_) {
        ini += "[" + name + "]\r\n";
        for (const auto& [key, value] : keys) ini += key + "=" + value + "\r\n";
    }
    write_file(home_ + "Zan_Post.ini", ini);
}

Outcome JobTest::run(const std::string& word)
{
    write_ini();

    const std::string logs = logs_.path().string() + "/";
    for (const char* log : {"out.txt", "err.txt", "rc.txt", "rss.txt"}) fs::remove(logs + log);
    // GNU time, where there is one, reports the peak resident size; it passes the exit
    // code through.
    const bool timed = fs::exists("/usr/bin/time");
    std::string command = "cd '" + work_ + "' && ";
    if (timed) command += "/usr/bin/time -f %M -o '" + logs + "rss.txt' ";
    command += "'" + exe_ + "' " + word + " >'" + logs + "out.txt' 2>" +
               (combined_output_ ? "&1" : "'" + logs + "err.txt'") + " </dev/null; echo $? >'" + logs + "rc.txt'";

    const auto start = std::chrono::steady_clock::now();
    const int shell = std::system(command.c_str());
    Outcome outcome;
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(shell, 0) << command;
    outcome.exit_code = std::atoi(read_file(logs + "rc.txt").c_str());
    outcome.out = read_file(logs + "out.txt");
    if (!combined_output_) outcome.err = read_file(logs + "err.txt");
    if (timed) {
        // The last line is the number; a line before it may tell of an exit code.
        std::istringstream report(read_file(logs + "rss.txt"));
        for (std::string line; std::getline(report, line);)
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
                outcome.peak_kb = std::atol(line.c_str());
    }
    return outcome;
}

std::string JobTest::read(const std::string& path) const { return read_file(path); }

bool JobTest::exists(const std::string& path) const { return fs::exists(path); }

std::vector<std::string> JobTest::changed(const Snapshot& before, const Snapshot& after) const
{
    std::vector<std::string> paths;
    for (const auto& [path, content] : after) {
        const auto old = before.find(path);
        if (old == before.end() || old->second != content) paths.push_back(path);
    }
    for (const auto& [path, content] : before)
        if (!after.contains(path)) paths.push_back(path);
    std::erase(paths, ledger_path());
    std::erase(paths, ledger_path() + ".lock");
    return paths;
}

void JobTest::without_ledger()
{
    const std::string directory = work_ + "no-ledger/";
    fs::create_directories(directory);
    set("POP3", "Evidence", directory);
}

std::pair<std::string, std::vector<std::string>> JobTest::take_handed_over()
{
    std::pair<std::string, std::vector<std::string>> handed;
    if (exists(telo_get_)) handed.first = read(telo_get_);
    fs::remove(telo_get_);
    for (const auto& entry : fs::directory_iterator(cesta_)) handed.second.push_back(entry.path().filename().string());
    std::sort(handed.second.begin(), handed.second.end());
    for (const std::string& name : handed.second) fs::remove(in_cesta(name));
    return handed;
}

std::vector<std::string> JobTest::leftovers() const
{
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root_.path()))
        if (entry.path().string().find(".zptmp") != std::string::npos) found.push_back(entry.path().string());
    return found;
}

// ---- messages ----------------------------------------------------------------------

Message plain_message(const std::string& subject, const StringList& body, const StringList& extra_headers,
                      const std::string& from)
{
    Message m{"From: " + from, "Subject: " + subject, "Date: Mon, 7 Dec 2026 08:00:00 +0100"};
    m.insert(m.end(), extra_headers.begin(), extra_headers.end());
    m.push_back("");
    m.insert(m.end(), body.begin(), body.end());
    return m;
}

Message multipart_message(const std::string& subject, const std::vector<Part>& parts, const MultipartShape& shape)
{
    Message m = plain_message(subject, {},
                              {"MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"" + shape.boundary + "\""});
    if (shape.preamble) m.push_back("");
    for (const Part& part : parts) {
        m.push_back("--" + shape.boundary);
        m.insert(m.end(), part.headers.begin(), part.headers.end());
        m.push_back("");
        m.insert(m.end(), part.body.begin(), part.body.end());
    }
    if (shape.closed) m.push_back("--" + shape.boundary + "--");
    return m;
}

std::string base64(std::string_view bytes)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k) out += k <= n ? alphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

Part base64_part(const std::string& bytes, const std::string& disposition, const std::string& content_type)
{
    Part part{{"Content-Type: " + content_type, "Content-Transfer-Encoding: base64"}, {}};
    if (!disposition.empty()) part.headers.push_back("Content-Disposition: " + disposition);
    const std::string encoded = base64(bytes);
    for (std::size_t i = 0; i < encoded.size(); i += 76) part.body.push_back(encoded.substr(i, 76));
    return part;
}

Message office_message(const std::string& word, char letter)
{
    const std::string upper(1, static_cast<char>(letter - 'a' + 'A'));
    return multipart_message("ZAN_POST " + word,
                             {base64_part("soubor " + upper, "attachment; filename=\"" + std::string(1, letter) + ".dat\""),
                              Part{{"Content-Type: text/plain"}, {"text " + upper}}});
}

namespace {

std::string stuffed(const std::string& line) { return !line.empty() && line.front() == '.' ? "." + line : line; }

}  // namespace

std::size_t size_of(const Message& message)
{
    std::size_t size = 0;
    for (const auto& line : message) size += line.size() + 2;
    return size;
}

std::string listing_answer(const std::vector<Message>& mailbox)
{
    std::string answer = "+OK " + std::to_string(mailbox.size()) + " messages";
    for (std::size_t k = 0; k < mailbox.size(); ++k)
        answer += "\r\n" + std::to_string(k + 1) + " " + std::to_string(size_of(mailbox[k]));
    return answer + "\r\n.";
}

std::string top_answer(const Message& message)
{
    std::string answer = "+OK";
    std::size_t k = 0;
    for (; k < message.size() && !message[k].empty(); ++k) answer += "\r\n" + stuffed(message[k]);
    // The empty line and the first body line.
    for (std::size_t end = std::min(message.size(), k + 2); k < end; ++k) answer += "\r\n" + stuffed(message[k]);
    return answer + "\r\n.";
}

std::string retr_answer(const Message& message)
{
    std::string answer = "+OK";
    answer.reserve(size_of(message) + 16);
    for (const auto& line : message) {
        answer += "\r\n";
        answer += stuffed(line);
    }
    return answer + "\r\n.";
}

std::string uidl_answer(std::size_t messages)
{
    std::string answer = "+OK";
    for (std::size_t k = 1; k <= messages; ++k) answer += "\r\n" + std::to_string(k) + " " + unique_id(k);
    return answer + "\r\n.";
}

std::string unique_id(std::size_t number) { return "zp-id-" + std::to_string(number); }

Conversation pop3_login(const std::vector<Message>& mailbox)
{
    Conversation c;
    c.say("+OK POP3 ready").reply("+OK").reply("+OK logged in").reply(listing_answer(mailbox));
    if (!mailbox.empty()) c.reply(uidl_answer(mailbox.size()));
    for (std::size_t k = mailbox.size(); k > 0; --k) c.reply(top_answer(mailbox[k - 1]));
    return c;
}

std::string login_transcript(std::size_t messages)
{
    std::string sent = "USER u\r\nPASS p\r\nLIST\r\n";
    if (messages != 0) sent += "UIDL\r\n";
    for (std::size_t k = messages; k > 0; --k) sent += "TOP " + std::to_string(k) + " 1\r\n";
    return sent;
}

std::string helo_line() { return "HELO " + local_host_name() + "\r\n"; }

}  // namespace zanpost::jobs_test
