#pragma once
// The run log ([Mail] Protokol): what a run said to its server and heard back, for whoever
// has to find out later why a job failed. One file, appended to by every run, renamed to
// name + ".old" when it has grown past 1 MiB. Writing it never fails a job: a log that
// cannot be written is silently given up.
//
// No secret reaches it: the command lines go through a filter that masks passwords, APOP
// digests and every line of an AUTH exchange, and each secret the job registers is masked
// wherever it would appear. Message contents appear only as a count of lines and bytes.

#include "net/trace.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zanpost {

// Size from which a log is renamed to name + ".old" when a run starts.
inline constexpr std::uint64_t run_log_limit = 1024 * 1024;

// Makes one dialogue line safe to keep. `in_auth` is the filter's state across lines: set
// by an AUTH command, cleared by the server's final answer to it.
std::string MaskTraceLine(const std::string& line, TTraceLevel level, bool& in_auth);

class RunLog {
public:
    // Starts the log of one run of `job` ("SEND", "GET"): rotates the file when it is too
    // large and writes the start line. An empty path: no log, every call does nothing.
    RunLog(std::string path, const std::string& version, const std::string& job);
    // Writes the end line.
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    bool Active() const noexcept { return !path_.empty(); }

    // Masked wherever it would appear from now on (a password, a token).
    void AddSecret(const std::string& secret);

    // For a client's OnTrace: commands, status lines, socket events and the TLS session.
    void Trace(const std::string& line, TTraceLevel level);
    // A message box the user was shown (CP1250 text as it is).
    void Box(const std::string& caption, const std::string& text);
    // Why a job failed: the failure's own words.
    void Cause(const std::string& text);
    // A file the job stored, with its size when the job has it at hand.
    void Stored(const std::string& path, std::size_t bytes);
    void Stored(const std::string& path);

    // Message contents as they go out, lines ending in CR LF a block at a time (a block may
    // end inside a line), or one line as it comes in: only counted. The count is written as
    // one line before the next dialogue line (or at the end).
    void CountSentText(std::string_view bytes);
    void CountReceived(const std::string& line);

    // What the end line counts, as the clients tell it.
    // SEND: each recipient the server accepted or refused; the message accepted after its
    // contents (told with the counted contents above, it is "sent 1 message").
    void RecipientAccepted();
    void RecipientRefused();
    void MessageAccepted();
    // GET: one message fetched; messages taken out, which holds once their command was
    // answered (IMAP).
    enum class Removal { deleted, moved, flagged };
    void Fetched();
    void Removed(std::size_t count, Removal how);
    // POP3: messages marked deleted, which hold only once QUIT is answered; that answer.
    void Marked(std::size_t count);
    void Committed();

private:
    void Write(char mark, const std::string& text);
    void StoredLine(const std::string& what, const std::string& path);
    void FlushCount();
    std::string Scrub(std::string text) const;

    std::string path_;
    std::string job_;
    std::vector<std::string> secrets_;
    bool in_auth_ = false;

    // Contents counted and not yet written.
    char count_mark_ = 0;
    std::uint64_t count_lines_ = 0;
    std::uint64_t count_bytes_ = 0;

    // What the end line tells, as the clients told it.
    int recipients_accepted_ = 0;
    int recipients_refused_ = 0;
    int messages_sent_ = 0;         // SMTP: accepted after the contents
    std::uint64_t sent_lines_ = 0;
    std::uint64_t sent_bytes_ = 0;
    int messages_fetched_ = 0;      // POP3: RETR answered; IMAP: arrived whole
    int messages_deleted_ = 0;      // POP3: marked; IMAP: deleted
    std::size_t messages_moved_ = 0;    // IMAP: moved to the folder for taken messages
    std::size_t messages_flagged_ = 0;  // IMAP: only flagged \Deleted, for the server to expunge
    std::vector<std::string> stored_paths_;
    bool quit_confirmed_ = false;   // POP3: QUIT answered +OK, so the deletions hold
    int boxes_ = 0;
};

}  // namespace zanpost
