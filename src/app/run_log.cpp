#include "app/run_log.h"

#include "message/date.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "rtl/ascii.h"
#include "rtl/file_io.h"

#include <algorithm>
#include <cstdio>

namespace zanpost {

namespace {

constexpr const char mask[] = "*****";

std::string two(int value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02d", value % 100);
    return text;
}

// "13:05:22.104"
std::string clock_text(const platform::LocalDateTime& now)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", now.hour, now.minute, now.second, now.millisecond);
    return text;
}

// "2026-12-07T13:05:22+01:00": local time with its distance from universal time.
std::string iso_time(const platform::LocalDateTime& now)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", now.year, now.month, now.day, now.hour,
                  now.minute, now.second);
    const std::int32_t ahead = -timezone_bias();
    const std::int32_t minutes = ahead < 0 ? -ahead : ahead;
    return std::string(text) + (ahead < 0 ? "-" : "+") + two(minutes / 60) + ":" + two(minutes % 60);
}

// A mechanism name is a short word of letters, digits and hyphens; anything else after
// "AUTH " may be a credential sent as an initial response.
bool looks_like_mechanism(std::string_view word)
{
    if (word.empty() || word.size() > 20) return false;
    return std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

bool starts_with_word(const std::string& upper, std::string_view word)
{
    return upper.size() >= word.size() && upper.compare(0, word.size(), word) == 0 &&
           (upper.size() == word.size() || upper[word.size()] == ' ');
}

// A server's request for the next step of a login: SMTP 334, POP3 "+" (not "+OK").
bool is_auth_continuation(const std::string& line)
{
    if (line.starts_with("334")) return true;
    return line == "+" || line.starts_with("+ ");
}

// One entry is one line: what a server sends cannot start a line of its own.
std::string one_line(std::string text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

}  // namespace

std::string MaskTraceLine(const std::string& line, TTraceLevel level, bool& in_auth)
{
    if (level == trace_sent) {
        // Every line the client sends while a login is under way carries a credential.
        if (in_auth) return mask;
        const std::string upper = ascii_upper(line.substr(0, 5));
        if (starts_with_word(upper, "PASS")) return std::string("PASS ") + mask;
        if (starts_with_word(upper, "APOP")) return std::string("APOP ") + mask;
        if (starts_with_word(upper, "AUTH")) {
            in_auth = true;
            const std::string rest = line.size() > 5 ? line.substr(5) : std::string();
            const std::size_t blank = rest.find(' ');
            const std::string mechanism = rest.substr(0, blank);
            if (!looks_like_mechanism(mechanism)) return std::string("AUTH ") + mask;
            return "AUTH " + mechanism + (blank == std::string::npos ? "" : std::string(" ") + mask);
        }
        return line;
    }
    if (level == trace_received && in_auth) {
        if (is_auth_continuation(line)) return line.starts_with("334") ? std::string("334 ") + mask : std::string("+ ") + mask;
        in_auth = false;  // the server's verdict on the login ends the exchange
    }
    return line;
}

RunLog::RunLog(std::string path, const std::string& version, const std::string& job)
    : path_(std::move(path)), job_(job)
{
    if (path_.empty()) return;
    // A path that cannot take a line (a directory, a missing folder) is given up at once,
    // before anything could be renamed.
    if (!append_to_file(path_, "")) {
        path_.clear();
        return;
    }
    if (file_length(path_) > static_cast<long long>(run_log_limit))
        platform::rename_replacing(path_, path_ + ".old");
    const std::string line =
        iso_time(platform::local_now()) + " start ZanPost " + (version.empty() ? "?" : version) + " " + job + "\n";
    if (!append_to_file(path_, line)) path_.clear();
}

RunLog::~RunLog()
{
    if (!Active()) return;
    try {
        FlushCount();
        std::string summary;
        if (job_ == "SEND") {
            if (messages_sent_ > 0)
                summary = "sent 1 message (" + std::to_string(sent_lines_) + " lines, " + std::to_string(sent_bytes_) +
                          " bytes)";
            else
                summary = "sent nothing";
            summary += ", recipients accepted " + std::to_string(recipients_accepted_) + ", refused " +
                       std::to_string(recipients_refused_);
        } else {
            summary = "fetched " + std::to_string(messages_fetched_) + ", files stored " + std::to_string(stored_paths_.size()) +
                      ", deleted " + std::to_string(messages_deleted_);
            if (messages_deleted_ > 0 && !quit_confirmed_) summary += " (QUIT unanswered: the server keeps them)";
            if (messages_moved_ > 0) summary += ", moved " + std::to_string(messages_moved_);
            if (messages_flagged_ > 0)
                summary += ", flagged " + std::to_string(messages_flagged_) + " (the server expunges them)";
        }
        summary += ", boxes " + std::to_string(boxes_);
        append_to_file(path_, iso_time(platform::local_now()) + " end " + job_ + ": " + summary + "\n");
    } catch (...) {
        // Even without memory for the last line the job has ended as it did.
    }
}

void RunLog::AddSecret(const std::string& secret)
{
    // A secret of one or two characters would mask half the log and hide nothing.
    if (secret.size() >= 3) secrets_.push_back(secret);
}

std::string RunLog::Scrub(std::string text) const
{
    for (const std::string& secret : secrets_) {
        for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + sizeof mask - 1))
            text.replace(at, secret.size(), mask);
    }
    return one_line(std::move(text));
}

void RunLog::Write(char mark, const std::string& text)
{
    if (!Active()) return;
    const std::string line = clock_text(platform::local_now()) + " " + mark + " " + Scrub(text) + "\n";
    if (!append_to_file(path_, line)) path_.clear();
}

void RunLog::FlushCount()
{
    if (count_mark_ == 0) return;
    const char mark = count_mark_;
    count_mark_ = 0;
    Write(mark, "(message: " + std::to_string(count_lines_) + " lines, " + std::to_string(count_bytes_) + " bytes)");
    if (mark == '>') {
        sent_lines_ = count_lines_;
        sent_bytes_ = count_bytes_;
    }
    count_lines_ = 0;
    count_bytes_ = 0;
}

void RunLog::Trace(const std::string& line, TTraceLevel level)
{
    // The byte counts of every block would bury the dialogue (and would cut a count of
    // message contents in pieces).
    if (!Active() || level == trace_traffic) return;
    try {
        FlushCount();
        switch (level) {
        case trace_sent: Write('>', MaskTraceLine(line, level, in_auth_)); break;
        case trace_received: Write('<', MaskTraceLine(line, level, in_auth_)); break;
        case trace_socket: Write('=', line); break;
        case trace_security: Write('!', line); break;
        case trace_traffic: break;
        }
    } catch (...) {
        // The log never fails the job that it watches.
    }
}

void RunLog::Box(const std::string& caption, const std::string& text)
{
    if (!Active()) return;
    try {
        FlushCount();
        ++boxes_;
        std::string shown = text;
        for (std::size_t at = shown.find('\n'); at != std::string::npos; at = shown.find('\n', at))
            shown.replace(at, 1, " | ");
        Write('#', caption + ": " + shown);
    } catch (...) {
    }
}

void RunLog::Cause(const std::string& text)
{
    if (!Active()) return;
    try {
        FlushCount();
        Write('?', text);
    } catch (...) {
    }
}

void RunLog::Stored(const std::string& path, std::size_t bytes)
{
    StoredLine(path + " (" + std::to_string(bytes) + " bytes)", path);
}

void RunLog::Stored(const std::string& path) { StoredLine(path, path); }

void RunLog::StoredLine(const std::string& what, const std::string& path)
{
    if (!Active()) return;
    try {
        FlushCount();
        // A file named twice (the output text of a run of several sessions) is one file.
        if (std::find(stored_paths_.begin(), stored_paths_.end(), path) == stored_paths_.end())
            stored_paths_.push_back(path);
        Write('+', "stored " + what);
    } catch (...) {
    }
}

void RunLog::CountSentText(std::string_view bytes)
{
    if (!Active()) return;
    if (count_mark_ != '>') {
        FlushCount();
        count_mark_ = '>';
    }
    count_lines_ += static_cast<decltype(count_lines_)>(std::count(bytes.begin(), bytes.end(), '\n'));
    count_bytes_ += bytes.size();
}

void RunLog::RecipientAccepted() { ++recipients_accepted_; }

void RunLog::RecipientRefused() { ++recipients_refused_; }

void RunLog::MessageAccepted() { ++messages_sent_; }

void RunLog::Fetched() { ++messages_fetched_; }

void RunLog::Removed(std::size_t count, Removal how)
{
    // Taken out when answered: nothing waits for a QUIT.
    quit_confirmed_ = true;
    switch (how) {
    case Removal::deleted: messages_deleted_ += int(count); break;
    case Removal::moved: messages_moved_ += count; break;
    case Removal::flagged: messages_flagged_ += count; break;
    }
}

void RunLog::Marked(std::size_t count) { messages_deleted_ += int(count); }

void RunLog::Committed() { quit_confirmed_ = true; }

void RunLog::CountReceived(const std::string& line)
{
    if (!Active()) return;
    if (count_mark_ != '<') {
        FlushCount();
        count_mark_ = '<';
    }
    ++count_lines_;
    count_bytes_ += line.size() + 2;
}

}  // namespace zanpost
