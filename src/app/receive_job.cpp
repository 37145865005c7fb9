#include "app/config.h"
#include "app/jobs.h"
#include "app/mail_ledger.h"
#include "app/message_box.h"
#include "app/received_files.h"
#include "app/run_log.h"
#include "app/secure_setup.h"
#include "app/texts.h"
#include "app/tray.h"
#include "mime/header_text.h"
#include "mime/mime.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "protocols/mailbox.h"
#include "rtl/ascii.h"
#include "rtl/exceptions.h"
#include "rtl/file_io.h"
#include "rtl/string_list.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace zanpost {

namespace {

constexpr std::string_view marker = "ZAN_POST";

void ShowError(RunLog& log, const std::string& text)
{
    ShowMessageBox(log, text, texts::error_caption, platform::mb_iconerror);
}

// The ledgers of both ways in, or their lock files.
bool IsLedger(const TNastaveni& settings, const std::string& path, bool lock)
{
    for (const TServerNastaveni* server : {&settings.Pop3, &settings.Imap}) {
        if (server->Evidence.empty()) continue;
        if (SamePath(path, lock ? server->Evidence + ".lock" : server->Evidence)) return true;
    }
    return false;
}

// The program itself, its configuration, its ledgers and the body file it sends: nothing
// received is ever written over them, not even the output text.
bool IsProgramFile(const TNastaveni& settings, const std::string& path)
{
    const std::string own = platform::own_executable_path();
    if (!settings.Zprava.Telo.empty() && SamePath(path, settings.Zprava.Telo)) return true;
    if (IsLedger(settings, path, false)) return true;
    return SamePath(path, own) || SamePath(path, ConfigPath(own));
}

// Two GETs of one mailbox never run at once: the second waits on this file for the first.
std::string LedgerLockPath(const std::string& ledger) { return ledger + ".lock"; }

// The files a received name must never overwrite: the program's files and the output file.
bool IsProtectedPath(const TNastaveni& settings, const std::string& path)
{
    if (IsLedger(settings, path, true)) return true;
    const std::string& output = settings.Zprava.Telo_Get;
    return IsProgramFile(settings, path) || (!output.empty() && SamePath(path, output));
}

// The texts of the messages taken out in this session, for Telo_Get. They are written as the
// messages arrive into a temporary file beside it, which takes the place of Telo_Get once,
// just before the end of the session commits the removals (POP3's QUIT): the cost of a run grows with its messages, not
// with their square, and no text is held in memory.
class SessionText {
public:
    explicit SessionText(std::string path) : path_(std::move(path)) {}

    // A message's text begins; false when there is nowhere to write it.
    bool BeginMessage()
    {
        if (path_.empty()) return false;
        if (!file_) {
            try {
                file_.emplace(path_);
            } catch (const std::exception&) {
                return false;
            }
            session_start_ = file_->Mark();
        }
        message_start_ = file_->Mark();
        return true;
    }
    // False once anything of the file failed.
    bool Line(std::string_view line)
    {
        return file_ && file_->Write(line) && file_->Write("\r\n");
    }
    // The message stays on the server: its text is taken back.
    void DropMessage()
    {
        if (file_) file_->RewindTo(message_start_);
    }
    void KeepMessage() { ++kept_; }
    OutputFile::Mark Mark() { return file_->Mark(); }
    bool RewindTo(const OutputFile::Mark& mark) { return file_->RewindTo(mark); }
    // The session broke before its end: its removals are forgotten, so the texts of the
    // messages it took out must not reach Telo_Get; they come again next run.
    void DropSession()
    {
        if (file_ && kept_ > 0) file_->RewindTo(session_start_);
        kept_ = 0;
    }
    bool HasMessages() const noexcept { return kept_ > 0; }
    // Telo_Get replaced by the texts, on the disk. Raises EFCreateError; the temporary file is
    // removed and Telo_Get stays as it was.
    void Store()
    {
        IncomingFile file = std::move(*file_);
        file_.reset();
        kept_ = 0;
        file.Commit();
    }

private:
    std::string path_;
    std::optional<IncomingFile> file_;
    OutputFile::Mark session_start_{};
    OutputFile::Mark message_start_{};
    std::size_t kept_ = 0;
};

// One marked message as the parser hands it over: files decoded straight into temporary
// files in Cesta, text straight into the session's text. Nothing is renamed into place until
// the whole message has arrived and could be read. Boxes wait for the end of the message, so
// none stands in the way of the transfer.
class MessageUnpacker : public T_PartSink {
public:
    MessageUnpacker(SessionText& text, const TNastaveni& settings, RunLog& log)
        : text_(text), settings_(settings), log_(log)
    {
    }

    // Before the message: false when its text has nowhere to go.
    bool Begin(const std::string& summary)
    {
        text_ok_ = text_.BeginMessage() && text_.Line(summary);
        return text_ok_;
    }

    void BeginPart(const T_Attachment& part) override
    {
        current_ = Current{};
        current_.use = part.Use;
        current_.name = part.FileName;
        current_.encoding = part.Encoding;
        current_.has_disposition = !part.Disposition.empty();
        if (part.Use == t_part_use::text && text_ok_) part_mark_ = text_.Mark();
        // The parser has decided what each part is: a file with its decoded name, text
        // already in CP1250, or nothing for the reader.
        if (part.Use == t_part_use::file) {
            // Every name check before a byte is written.
            const auto storable = StorableName(part.FileName);
            const std::string path = settings_.Zprava.Cesta + storable.value_or(std::string());
            if (!storable || IsProtectedPath(settings_, path)) {
                SaveFailed(part.FileName);
                current_.use = t_part_use::skipped;
                return;
            }
            try {
                current_.file.emplace(path);
            } catch (const std::exception&) {
                SaveFailed(part.FileName);
                current_.use = t_part_use::skipped;
            }
        } else if (part.Use == t_part_use::text && part.Encoding == enc_base64) {
            if (!is_text_type(part.ContentType)) {
                // Bytes that are neither named nor text have nowhere to go.
                SaveFailed(part.FileName);
                current_.use = t_part_use::skipped;
                return;
            }
            lines_ = TextLines(text_charset(part.ContentType));
        }
    }

    void PartLine(std::string& line) override
    {
        switch (current_.use) {
        case t_part_use::file:
            // A part that came as text is the file's lines; the line break before the
            // delimiter belongs to the delimiter, so lines are joined, not terminated.
            if (current_.lines++ != 0) Write("\r\n");
            Write(line);
            break;
        case t_part_use::text: TextLine(line); break;
        case t_part_use::skipped: break;
        }
    }

    void PartBytes(std::string_view bytes) override
    {
        switch (current_.use) {
        case t_part_use::file: Write(bytes); break;
        case t_part_use::text:
            lines_.append(bytes, [this](std::string& line) { TextLine(line); });
            break;
        case t_part_use::skipped: break;
        }
    }

    void EndPart() override
    {
        if (current_.use == t_part_use::text && current_.encoding == enc_base64)
            lines_.finish([this](std::string& line) { TextLine(line); });
        if (current_.use == t_part_use::file) {
            // A name given only on Content-Type, without content, was never a file here.
            if (!current_.has_disposition && current_.file->Length() == 0) {
                current_.file->Discard();
            } else if (!current_.file->Finish()) {
                SaveFailed(current_.name);
            } else {
                stored_.push_back({std::move(*current_.file), current_.name, std::size_t(current_.file_bytes)});
            }
        }
        current_ = Current{};
    }

    void DropPart() override
    {
        // The preamble was written as text until a delimiter showed what it was.
        if (current_.use == t_part_use::text && text_ok_) text_ok_ = text_.RewindTo(part_mark_);
        current_ = Current{};
    }

    // After the message: renames its files into place, shows its boxes. False when
    // something of it could not be stored, so that it stays on the server for the next run.
    bool Finish(bool unreadable)
    {
        if (unreadable) {
            // Content nested too deep to read: nothing of it is stored, the message stays.
            stored_.clear();
            ShowError(log_, texts::text_not_decoded);
            return false;
        }
        for (const std::string& box : boxes_) ShowError(log_, box);
        bool complete = boxes_.empty();
        for (auto& file : stored_) {
            try {
                file.file.Commit();
                log_.Stored(file.file.Path(), file.bytes);
            } catch (const std::exception&) {
                SaveFailed(file.name);
                ShowError(log_, boxes_.back());
                complete = false;
            }
        }
        stored_.clear();
        if (!text_ok_) {
            ShowError(log_, texts::output_not_saved);
            complete = false;
        }
        return complete;
    }

private:
    struct Current {
        t_part_use use = t_part_use::skipped;
        std::string name;
        t_transfer_encoding encoding = enc_none;
        bool has_disposition = false;
        std::optional<IncomingFile> file;
        std::size_t lines = 0;
        long long file_bytes = 0;
    };
    struct Stored {
        IncomingFile file;
        std::string name;
        std::size_t bytes = 0;
    };

    static std::string text_charset(const std::string& content_type)
    {
        return header_parameter(content_type, "charset");
    }

    void Write(std::string_view bytes)
    {
        current_.file_bytes += static_cast<long long>(bytes.size());
        current_.file->Write(bytes);
    }

    void TextLine(const std::string& line)
    {
        if (text_ok_) text_ok_ = text_.Line(line);
    }

    void SaveFailed(const std::string& name)
    {
        boxes_.push_back(texts::file_not_saved + ("\"" + settings_.Zprava.Cesta + name + "\"."));
    }

    SessionText& text_;
    const TNastaveni& settings_;
    RunLog& log_;
    bool text_ok_ = false;
    Current current_;
    OutputFile::Mark part_mark_{};
    TextLines lines_;
    std::vector<Stored> stored_;
    std::vector<std::string> boxes_;
};

// The ledger of the mailbox for one run ([POP3] or [IMAP] Evidence). It decides how the run
// treats the exactly-once promise: with a ledger that serves, a stored message is recorded
// before it is taken out and never stored again; without one the run behaves as GET always
// has. A mailbox listed whole (POP3) is kept by its unique ids, seen and stored; one read
// above a position (IMAP) by that position and the messages stored and not yet taken out.
class RunLedger {
public:
    enum class Mode {
        none,        // no ledger: every message is looked at, nothing is recorded
        learn_only,  // as none, but what this run saw unmarked is recorded for the next
        full,        // known messages are skipped, stored ones taken out without a fetch
    };

    RunLedger(const std::string& path, const std::string& mailbox, RunLog& log) : ledger_(path, mailbox), log_(log) {}

    // Takes the mailbox for this run: a GET of it that is still running is waited for, at
    // most `timeout` seconds (0: without a limit), so that it runs on the ledger the other
    // left. False when the other one held it all that time.
    bool Begin(int timeout)
    {
        const std::string& path = ledger_.Path();
        if (path.empty()) return true;
        const auto start = std::chrono::steady_clock::now();
        lock_ = platform::FileLock::acquire(LedgerLockPath(path), timeout);
        if (!lock_) {
            if (timeout > 0 && std::chrono::steady_clock::now() - start >= std::chrono::seconds(timeout)) return false;
            // Not for want of time: no lock file can be made beside the ledger, nor, most
            // likely, the ledger itself.
            log_.Cause("No lock beside the ledger " + path + " can be made: this run goes without the ledger");
            return true;
        }
        switch (ledger_.Load()) {
        case MailLedger::Loaded::fresh:
        case MailLedger::Loaded::loaded: mode_ = Mode::full; break;
        case MailLedger::Loaded::other_mailbox:
            log_.Cause("Ledger " + path + " is of another mailbox: a new one is begun");
            mode_ = Mode::full;
            break;
        case MailLedger::Loaded::corrupt:
            log_.Cause("Ledger " + path + " is damaged: this run goes without it and begins a new one");
            mode_ = Mode::learn_only;
            break;
        case MailLedger::Loaded::unreadable:
            log_.Cause("Ledger " + path + " cannot be read: this run goes without it");
            break;
        }
        return true;
    }

    // The mailbox is open: can its ids serve? A mailbox listed whole must give every message
    // a unique id; the UIDs of a folder need its UIDVALIDITY, and a new one makes every UID
    // the ledger holds name another message, so the run looks at the whole folder again.
    void Opened(Mailbox& mailbox)
    {
        generation_ = mailbox.Generation();
        if (mode_ == Mode::none) return;
        if (!generation_) {
            bool ids = true;
            mailbox.ForEachListed([&](const MailboxMessage& message) {
                if (!ids || !message.id.empty()) return;
                log_.Cause("No unique id (UIDL) for message " + std::to_string(message.key) +
                           ": this run goes without the ledger");
                ids = false;
            });
            if (ids) usable_ = true;
            else mode_ = Mode::none;
            return;
        }
        if (*generation_ == 0) {
            log_.Cause("No UIDVALIDITY for the folder: this run goes without the ledger");
            mode_ = Mode::none;
            return;
        }
        const std::optional<MailLedger::Position>& above = ledger_.Above();
        if (above && above->generation != *generation_) {
            log_.Cause("The folder's UIDVALIDITY changed from " + std::to_string(above->generation) + " to " +
                       std::to_string(*generation_) + ": every message is looked at again");
            ledger_.Clear();
        }
        // Nothing is listed below the position: every entry stays until it is taken out.
        ledger_.KeepAll();
        if (mode_ == Mode::full && ledger_.Above()) above_ = ledger_.Above()->highest;
        highest_ = above_;
        usable_ = true;
    }

    bool Full() const noexcept { return mode_ == Mode::full && usable_; }

    // The key above which the summaries are asked for; 0: all of them.
    std::uint32_t Above() const noexcept { return above_; }

    // What an earlier run recorded of a message listed with its id; nothing when the run
    // must look at it.
    const MailLedger::Entry* Known(const MailboxMessage& message)
    {
        if (mode_ == Mode::none || !usable_) return nullptr;
        const MailLedger::Entry* entry = ledger_.Listed(message.id, message.size);
        return mode_ == Mode::full ? entry : nullptr;
    }

    // The keys of the messages earlier runs stored in a mailbox read above a position, where
    // they are not listed: they are taken out unfetched, or passed over where they are gone.
    std::vector<std::uint32_t> StoredEarlier() const
    {
        std::vector<std::uint32_t> keys;
        if (!generation_ || !Full()) return keys;
        for (const MailLedger::Entry& entry : ledger_.Entries()) {
            if (entry.state != MailLedger::State::stored) continue;
            const std::string_view id = ledger_.Id(entry);
            std::uint32_t key = 0;
            const auto [end, error] = std::from_chars(id.data(), id.data() + id.size(), key);
            if (error == std::errc() && end == id.data() + id.size() && key > 0) keys.push_back(key);
        }
        return keys;
    }

    // Room for the entries of this many messages new to the ledger, their ids `id_bytes`.
    void Expect(std::size_t messages, std::size_t id_bytes)
    {
        if (mode_ != Mode::none && usable_) ledger_.Reserve(messages, id_bytes);
    }

    // The summary of a message was read. Above a position it moves the position on, though
    // never past a marked message that was not stored.
    void Looked(const MailboxMessage& message, bool marked)
    {
        if (mode_ == Mode::none || !usable_) return;
        if (generation_) {
            highest_ = std::max(highest_, message.key);
            if (marked) unstored_.push_back(message.key);
        } else if (!marked && message.summarized) {
            ledger_.MarkSeen(message.id, message.size);
        }
    }

    // Every summary asked for was read: the position may move.
    void ListingRead() { listing_read_ = true; }

    // The message's files and text are stored: from now on it is never stored again.
    void Stored(const MailboxMessage& message)
    {
        std::erase(unstored_, message.key);
        if (!Full() || message.id.empty()) return;
        ledger_.MarkStored(message.id, message.size, LedgerToday());
        stored_.push_back(message);
    }

    // The texts of this run's stored messages did not reach Telo_Get: they must come again.
    void TextsLost()
    {
        for (const MailboxMessage& message : stored_) {
            ledger_.Forget(message.id);
            unstored_.push_back(message.key);
        }
        stored_.clear();
    }

    // Saved once the whole listing went through it, so that no entry of a message still on
    // the server is dropped for having been missed.
    void Save()
    {
        if (mode_ == Mode::none || !usable_) return;
        if (generation_) {
            // A run that only learns leaves no position, so that the next one, with a ledger
            // to record what it stores, looks at the whole folder.
            std::optional<MailLedger::Position> position = ledger_.Above();
            if (mode_ != Mode::full) {
                position.reset();
            } else if (listing_read_) {
                std::uint32_t highest = highest_;
                for (const std::uint32_t key : unstored_) highest = std::min(highest, key - 1);
                position = MailLedger::Position{*generation_, highest};
            }
            ledger_.SetAbove(position);
        }
        if (!ledger_.Changed()) return;
        if (!ledger_.Save()) log_.Cause("Ledger " + ledger_.Path() + " cannot be written");
    }

    // The server has taken these messages out (IMAP answers for each command): their entries
    // would only have them asked for again.
    void TakenOut(const std::vector<std::uint32_t>& keys)
    {
        if (!generation_ || keys.empty() || mode_ == Mode::none || !usable_) return;
        for (const std::uint32_t key : keys) ledger_.Forget(std::to_string(key));
        Save();
    }

private:
    MailLedger ledger_;
    std::optional<platform::FileLock> lock_;  // held until the run has ended
    RunLog& log_;
    Mode mode_ = Mode::none;
    bool usable_ = false;  // the mailbox's ids can serve
    std::optional<std::uint32_t> generation_;  // of a mailbox read above a position
    std::uint32_t above_ = 0;
    std::uint32_t highest_ = 0;
    bool listing_read_ = false;
    std::vector<std::uint32_t> unstored_;  // marked, above the position, not stored
    std::vector<MailboxMessage> stored_;   // stored in this run
};

// The boxes of a run name the protocol the mailbox is read by.
struct ReceiveBoxes {
    const char* not_connected;
    const char* not_fetched;
};

// The mailbox of [Mail] Prijem with its client set up from the INI file. Raises before any
// connection for a wrong value, a failed password command or no OAuth token.
std::unique_ptr<Mailbox> MakeMailbox(const TNastaveni& settings, RunLog& log)
{
    const TZprava& Zprava = settings.Zprava;
    if (Zprava.Prijem == TPrijem::chybny) throw EConfigValueError("[Mail] Prijem");
    std::unique_ptr<Mailbox> mailbox;
    if (Zprava.Prijem == TPrijem::imap) {
        auto imap = std::make_unique<ImapMailbox>();
        imap->client.Hostname = settings.Imap.Server;
        imap->Folder = settings.Imap.Slozka;
        imap->MoveTo = settings.Imap.Presun;
        PrepareImap(imap->client, settings.Imap, Zprava, &log, settings.OAuth);
        mailbox = std::move(imap);
    } else {
        auto pop3 = std::make_unique<Pop3Mailbox>();
        pop3->client.Hostname = Zprava.POP3;
        PreparePop3(pop3->client, settings.Pop3, Zprava, &log, settings.OAuth);
        mailbox = std::move(pop3);
    }
    T_TcpIp& connection = mailbox->Connection();
    connection.Timeout = Zprava.Timeout;
    if (log.Active()) connection.OnTrace = [&log](const std::string& line, TTraceLevel level) { log.Trace(line, level); };
    mailbox->OnEvent = [&log](MailboxEvent event, std::size_t count) {
        switch (event) {
        case MailboxEvent::fetched: log.Fetched(); break;
        case MailboxEvent::deleted: log.Removed(count, RunLog::Removal::deleted); break;
        case MailboxEvent::moved: log.Removed(count, RunLog::Removal::moved); break;
        case MailboxEvent::marked: log.Marked(count); break;
        case MailboxEvent::committed: log.Committed(); break;
        case MailboxEvent::flagged:
            log.Removed(count, RunLog::Removal::flagged);
            log.Cause("The server offers neither MOVE nor UIDPLUS: " + std::to_string(count) +
                      " messages are only flagged \\Deleted, and the server expunges them when it will");
            break;
        }
    };
    return mailbox;
}

}  // namespace

void ReceiveJob(const TNastaveni& settings, RunLog& log)
{
    const TZprava& Zprava = settings.Zprava;
    TrayIcon icon;
    const bool imap = Zprava.Prijem == TPrijem::imap;
    const ReceiveBoxes boxes = imap ? ReceiveBoxes{texts::imap_not_connected, texts::imap_message_not_fetched}
                                    : ReceiveBoxes{texts::pop3_not_connected, texts::message_not_fetched};
    const TServerNastaveni& server = imap ? settings.Imap : settings.Pop3;
    // Before this run makes a file of its own: what killed runs left half-written.
    for (const std::string& removed : RemoveLeftoverTemporaries({Zprava.Cesta, Zprava.Telo_Get, server.Evidence}))
        log.Cause("Removed " + removed + ", left half-written by a run that was killed");
    {
        T_Mime parser;
        std::unique_ptr<Mailbox> mailbox;
        SessionText text(Zprava.Telo_Get);
        std::optional<RunLedger> ledger;

        try {
            mailbox = MakeMailbox(settings, log);
            // An output file that names one of the program's own files (an easy slip in the
            // INI) would be overwritten by the first message: nothing is fetched at all, and
            // nothing deleted, not even what an earlier run stored.
            const bool output_allowed = !IsProgramFile(settings, Zprava.Telo_Get);
            ledger.emplace(output_allowed ? server.Evidence : std::string(), mailbox->LedgerName(), log);
            if (!ledger->Begin(Zprava.Timeout))
                throw Exception("EMailboxBusy", "Another GET of this mailbox held " + LedgerLockPath(server.Evidence) +
                                                    " for " + std::to_string(Zprava.Timeout) + " seconds");
            mailbox->Open();
            ledger->Opened(*mailbox);
            // What an earlier run saw unmarked is not asked for again; what it stored is
            // taken out without being fetched: its files and text were handed over then.
            std::vector<std::uint32_t> stored_before = ledger->StoredEarlier();
            std::vector<bool> known;  // by key, where the mailbox is listed whole
            std::size_t unknown = 0;
            std::size_t unknown_id_bytes = 0;
            mailbox->ForEachListed([&](const MailboxMessage& message) {
                if (known.size() < message.key) known.resize(message.key);
                const MailLedger::Entry* entry = ledger->Known(message);
                if (entry == nullptr) {
                    ++unknown;
                    unknown_id_bytes += message.id.size();
                    return;
                }
                known[message.key - 1] = true;
                if (entry->state == MailLedger::State::stored) stored_before.push_back(message.key);
            });
            ledger->Expect(unknown, unknown_id_bytes);
            // The marked messages with the text after the marker; only these summaries are
            // kept, so a full office mailbox costs no more than its listing.
            std::vector<std::pair<MailboxMessage, std::string>> marked;
            mailbox->Summaries(
                ledger->Above(), [&known](std::uint32_t key) { return key > known.size() || !known[key - 1]; },
                // An unmarked message's summary says all it has to say as it is read: its
                // sender and subject are not held for the whole mailbox.
                [](const MailboxMessage& message) {
                    return ascii_upper(decode_header_text(summary_entry(message))).find(marker) != std::string::npos;
                },
                [&](MailboxMessage& message) {
                    // Above a position that stayed below a marked message that failed, one
                    // stored after it comes again: it is taken out with stored_before.
                    const bool stored = ledger->Known(message) != nullptr;
                    // Encoded words and folds read as the sender wrote them, in CP1250.
                    std::string entry = decode_header_text(summary_entry(message));
                    const std::size_t p = stored ? std::string::npos : ascii_upper(entry).find(marker);
                    ledger->Looked(message, p != std::string::npos);
                    if (p != std::string::npos) marked.emplace_back(std::move(message), entry.substr(p + marker.size()));
                });
            ledger->ListingRead();
            known = std::vector<bool>();
            if (!stored_before.empty()) mailbox->RemoveMany(stored_before);
            bool output_refusal_shown = false;
            std::size_t fetching = 0;
            // Stored in a session that broke: its removals went with it. A later session of
            // this run takes them out; failing that, the next run does.
            std::vector<std::uint32_t> stored_undeleted;
            std::vector<std::uint32_t> stored_in_session;

            for (const auto& [message, marker_text] : marked) {
                icon.ShowProgress(MessageStep(++fetching, marked.size()));
                if (!output_allowed) {
                    if (!output_refusal_shown) ShowError(log, texts::output_not_saved);
                    output_refusal_shown = true;
                    continue;
                }

                MessageUnpacker unpacker(text, settings, log);
                unpacker.Begin(marker_text);
                bool kept = false;
                try {
                    // Parsed as it arrives: every part goes straight to its file or to the
                    // text, never held whole.
                    parser.StartParse(message.size > 0 ? std::size_t(message.size) : 0, &unpacker);
                    mailbox->Fetch(message, [&parser, &log](std::string& line) {
                        log.CountReceived(line);
                        parser.ParseLine(line);
                    });
                    parser.FinishParse();
                    // A message that is not taken out is fetched again next run; its text must
                    // arrive once, with its files, in the run that finally takes it out.
                    if (unpacker.Finish(parser.Unreadable())) {
                        if (ledger->Full()) {
                            // Recorded before its removal is asked for: whatever becomes of
                            // the removal, the message is never stored again.
                            text.KeepMessage();
                            ledger->Stored(message);
                            stored_in_session.push_back(message.key);
                            kept = true;
                            mailbox->Remove(message);
                        } else {
                            mailbox->Remove(message);
                            text.KeepMessage();
                            kept = true;
                        }
                    }
                } catch (const std::exception& failure) {
                    // The parse may have stopped halfway; its part files go with the unpacker.
                    parser.StartParse();
                    ShowError(log, FailureText(boxes.not_fetched, failure, log));
                }
                if (!kept) text.DropMessage();
                if (!mailbox->Connected()) {
                    // A broken connection ends its session without its removals, and those
                    // messages come again. Without a ledger their texts are taken back, to
                    // arrive with them; with one they stay, and the messages are only taken
                    // out again.
                    if (!ledger->Full()) text.DropSession();
                    stored_undeleted.insert(stored_undeleted.end(), stored_in_session.begin(), stored_in_session.end());
                    stored_in_session.clear();
                }
            }
            if (!stored_undeleted.empty() && mailbox->Connected()) {
                try {
                    mailbox->RemoveMany(stored_undeleted);
                } catch (const std::exception&) {
                    // Recorded as stored: the next run takes them out.
                }
            }
            // The texts are on the disk before the end of the session lets the removals take
            // effect, and the ledger after them: a ledger that names a message stored whose
            // text was lost would keep it from ever arriving. When the texts cannot be
            // written, the session ends without its removals; an earlier output file stays
            // as it was whenever no message was taken out.
            if (text.HasMessages() && (mailbox->Connected() || ledger->Full())) {
                try {
                    text.Store();
                    log.Stored(Zprava.Telo_Get);
                } catch (const std::exception&) {
                    mailbox->EndWithoutFinish();
                    ledger->TextsLost();
                    ShowError(log, texts::output_not_saved);
                }
            }
            ledger->Save();
            ledger->TakenOut(mailbox->Finish());
        } catch (const std::exception& failure) {
            // What the run learnt before it failed still serves the next one.
            if (ledger) ledger->Save();
            // A refused plain password shows the box it always has; a configuration that chose
            // its server's security ([POP3] keys) is told the cause too.
            if (!imap && dynamic_cast<const ELoginRefused*>(&failure) != nullptr && settings.Pop3.Nastaveno)
                ShowError(log, FailureText(boxes.not_connected, ESecureError(SecureCause::auth_refused, failure.what()), log));
            else
                ShowError(log, FailureText(boxes.not_connected, failure, log));
        }
    }
    FinishNotice(settings.Upozorneni, log);
}

}  // namespace zanpost
