#pragma once
// The receive job's view of an incoming mailbox, whichever protocol reads it: the messages
// with their sender and subject, one message fetched line by line, messages taken out, and
// the end that makes the taking out hold. The job, its marker rule, its files and its ledger
// are written once above this; POP3 and IMAP differ only below it.
//
// Removals follow POP3's rule on both: asked for during a session, they take effect with
// Finish, and a session that breaks before it takes them with it. IMAP would remove at once;
// holding its removals back to Finish lets the job write the texts of the run to the disk
// first, as it does before POP3's QUIT.

#include "protocols/imap.h"
#include "protocols/pop3.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zanpost {

// One message as the listing shows it.
struct MailboxMessage {
    std::uint32_t key = 0;  // how the mailbox names it in this run: POP3 its number, IMAP its UID
    std::string id;         // what a ledger keeps it by across runs; empty when the server gave none
    std::int64_t size = 0;
    std::string from_text;     // the "From:" field from its seventh character on
    std::string subject_text;  // the "Subject:" field from its tenth character on
    bool summarized = false;   // the two fields were read
};

// Sender, BEL (7) and subject, the sender alone without a subject, or the key when no
// summary was read: what the marker is looked for in, as POP3's summary_entry.
std::string summary_entry(const MailboxMessage& message);

// What a mailbox tells as it goes, for whoever counts it (the run log's end line).
enum class MailboxEvent {
    fetched,    // one message: IMAP once it arrived whole, POP3 once RETR was answered
    deleted,    // messages deleted (on Gmail: moved to its Trash)
    moved,      // messages moved to the folder for taken messages
    flagged,    // messages only flagged \Deleted: the expunge is left to the server
    marked,     // POP3: messages marked deleted, which go only once QUIT is answered
    committed,  // POP3: QUIT answered, so what was marked is deleted
};

class Mailbox {
public:
    virtual ~Mailbox() = default;

    // The connection underneath: its settings, its trace.
    virtual T_TcpIp& Connection() = 0;
    bool Connected() { return Connection().Connected; }

    // What a ledger of this mailbox names it by: server, port, user (and folder).
    virtual std::string LedgerName() = 0;

    // Connects, logs in and opens the mailbox: POP3 also lists it with its unique ids, IMAP
    // selects the folder.
    virtual void Open() = 0;

    // Nothing where the ids of one session hold for the next as they are (POP3's unique ids,
    // listed whole every session); where they hold only within a generation, its number:
    // IMAP's UIDVALIDITY, 0 when the server gave none and its ids cannot be trusted.
    virtual std::optional<std::uint32_t> Generation() = 0;

    // Every message the mailbox holds, with key, id and size, where it lists them whole
    // (POP3); nothing where it lists only what lies above a key (IMAP).
    virtual void ForEachListed(const std::function<void(const MailboxMessage& message)>& each) = 0;

    // Reads the sender and subject of the messages whose key is above `above` (POP3: of
    // every message) and that `wanted` picks by key, and hands each to `each`. A message
    // whose summary the server refused comes unsummarized. `needed` hears of each summary
    // as soon as it is read: one it does not need may come to `each` with its sender and
    // subject empty, so that a full mailbox is never held with all of them.
    virtual void Summaries(std::uint32_t above, const std::function<bool(std::uint32_t key)>& wanted,
                           const std::function<bool(const MailboxMessage& message)>& needed,
                           const std::function<void(MailboxMessage& message)>& each) = 0;

    // Hands `sink` the lines of the message as they arrive, logging in again when the
    // session broke. Raises when the message cannot be had whole, also when the mailbox no
    // longer holds it; the lines handed over were then of a message cut short.
    virtual void Fetch(const MailboxMessage& message, const std::function<void(std::string& line)>& sink) = 0;

    // Asks for the message to be taken out at Finish. Raises when POP3 refuses it.
    virtual void Remove(const MailboxMessage& message) = 0;
    // The same for messages of an earlier session or run, by key; a refusal stops nothing.
    virtual void RemoveMany(const std::vector<std::uint32_t>& keys) = 0;

    // Makes the removals of this session take effect and says goodbye: POP3's QUIT; IMAP
    // moves or deletes them, then logs out. The keys it took out where the protocol tells
    // (IMAP); POP3 tells nothing, its next listing shows what is gone. Raises when the
    // removals may not have taken effect.
    virtual std::vector<std::uint32_t> Finish() = 0;
    // Ends the session without any of its removals. Never raises.
    virtual void EndWithoutFinish() noexcept = 0;

    // Hears the events of MailboxEvent, with the number of messages.
    std::function<void(MailboxEvent event, std::size_t count)> OnEvent;

protected:
    void Tell(MailboxEvent event, std::size_t count) const
    {
        if (OnEvent) OnEvent(event, count);
    }
};

// POP3: keys are the message numbers of the listing, ids its unique ids (UIDL). A session
// after a break checks that a number still names the same message before using it.
class Pop3Mailbox final : public Mailbox {
public:
    T_Pop3 client;

    T_TcpIp& Connection() override { return client; }
    std::string LedgerName() override;
    void Open() override;
    std::optional<std::uint32_t> Generation() override { return std::nullopt; }
    void ForEachListed(const std::function<void(const MailboxMessage& message)>& each) override;
    void Summaries(std::uint32_t above, const std::function<bool(std::uint32_t key)>& wanted,
                   const std::function<bool(const MailboxMessage& message)>& needed,
                   const std::function<void(MailboxMessage& message)>& each) override;
    void Fetch(const MailboxMessage& message, const std::function<void(std::string& line)>& sink) override;
    void Remove(const MailboxMessage& message) override;
    void RemoveMany(const std::vector<std::uint32_t>& keys) override;
    std::vector<std::uint32_t> Finish() override;
    void EndWithoutFinish() noexcept override;
};

// IMAP: one folder, keys and ids its UIDs. The summaries go above a UID, so a run pays only
// for the messages that arrived since the last. Nothing is ever marked read.
class ImapMailbox final : public Mailbox {
public:
    T_Imap client;
    std::string Folder = "INBOX";  // CP1250
    std::string MoveTo;            // CP1250; empty: taken messages are deleted

    T_TcpIp& Connection() override { return client; }
    std::string LedgerName() override;
    void Open() override;
    std::optional<std::uint32_t> Generation() override { return generation_; }
    void ForEachListed(const std::function<void(const MailboxMessage& message)>&) override {}
    void Summaries(std::uint32_t above, const std::function<bool(std::uint32_t key)>& wanted,
                   const std::function<bool(const MailboxMessage& message)>& needed,
                   const std::function<void(MailboxMessage& message)>& each) override;
    void Fetch(const MailboxMessage& message, const std::function<void(std::string& line)>& sink) override;
    void Remove(const MailboxMessage& message) override;
    void RemoveMany(const std::vector<std::uint32_t>& keys) override;
    std::vector<std::uint32_t> Finish() override;
    void EndWithoutFinish() noexcept override;

private:
    // Selects the folder of the session just logged in; raises for a folder nothing may be
    // taken out of, and for one whose UIDs are no longer those the run began with.
    void SelectFolder();
    // A session that broke took its removals with it; the next one is logged in.
    void Resume();

    std::uint32_t generation_ = 0;
    bool opened_ = false;
    bool renumbered_ = false;  // a later session found another UIDVALIDITY
    std::vector<std::uint32_t> removals_;  // asked for in this session
};

}  // namespace zanpost
