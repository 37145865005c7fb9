#pragma once
// What earlier runs learnt of one mailbox ([POP3] Evidence), so that a GET pays only for new
// mail and never stores a message twice. Keyed by the server's unique id of a message and
// its size: a message seen unmarked is not looked at again, a message stored is deleted
// without being fetched again, also when the deletion of the run that stored it was lost
// with its connection or with the answer to QUIT.
//
// The file is text, one entry per line after a header that names the mailbox:
//
//     ZanPost ledger 1
//     mailbox 127.0.0.1 110 ucetni
//     S 4711 2026-12-07 00000001570c2df1
//     U 2048 - 00000002570c2df1
//
// (state, size, the date a stored message was stored, the unique id to the end of the line).
// Nothing in it depends on POP3 beyond a message having an id and a size.
//
// A mailbox read only above a position (an IMAP folder, read above the highest UID an
// earlier run looked at) keeps that position in a line after the mailbox line,
//
//     above 3857529045 4711
//
// (the folder's UIDVALIDITY and the highest UID), and as entries only the messages stored
// and not yet seen taken out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zanpost {

class MailLedger {
public:
    enum class State : char { seen = 'U', stored = 'S' };

    // Its id is kept with all the others in one string (Id reads it): a mailbox of tens of
    // thousands would otherwise cost an allocation per entry, most ids (Dovecot's have 16
    // characters) being too long for a std::string's own buffer.
    struct Entry {
        std::uint32_t id_at = 0;
        std::uint32_t id_length = 0;
        std::int64_t size = 0;
        std::int32_t stored_on = 0;  // YYYYMMDD for a stored message, 0 otherwise
        State state = State::seen;
        bool listed = false;  // on the server in this run: only listed entries are kept
    };

    // How the file was found.
    enum class Loaded {
        fresh,          // no file yet: an empty ledger
        loaded,         // read whole
        unreadable,     // there, but could not be read
        corrupt,        // read, but not a ledger of this program (or damaged)
        other_mailbox,  // a ledger of another server or user: an empty ledger
    };

    // `mailbox` names the mailbox ("server port user"); a file that names another is not
    // used, since the ids of one server say nothing about another's messages.
    MailLedger(std::string path, std::string mailbox);

    const std::string& Path() const noexcept { return path_; }

    // Reads the file, replacing what was known. After anything but fresh or loaded the
    // ledger is empty; whether to go on with it is the caller's choice.
    Loaded Load();

    // Where a reader that lists only what lies above a key stopped: the generation its keys
    // belong to (UIDVALIDITY) and the highest key looked at.
    struct Position {
        std::uint32_t generation = 0;
        std::uint32_t highest = 0;
        bool operator==(const Position&) const = default;
    };
    const std::optional<Position>& Above() const noexcept { return above_; }
    void SetAbove(std::optional<Position> position);

    // The entries as loaded (sorted by id).
    const std::vector<Entry>& Entries() const noexcept { return entries_; }
    // The id of one of this ledger's entries.
    std::string_view Id(const Entry& entry) const noexcept
    {
        return std::string_view(ids_).substr(entry.id_at, entry.id_length);
    }
    // Every loaded entry is kept by the next Save, listed or not: a reader that lists only
    // what lies above its position cannot tell which messages are gone.
    void KeepAll();
    // Forgets every entry and the position: the ids no longer name the same messages.
    void Clear();

    // The entry of a message listed with this id and size, marking it listed; nothing
    // when the ledger does not know it - a new id, or an id the server now gives a message
    // of another size (ids may be reused), whose old entry is then forgotten.
    const Entry* Listed(std::string_view id, std::int64_t size);

    // Records a listed message for the next Save.
    void MarkSeen(std::string_view id, std::int64_t size);
    void MarkStored(std::string_view id, std::int64_t size, std::int32_t stored_on);
    // Takes back what was recorded of a message: its text could not be kept after all, so
    // it must be fetched again.
    void Forget(std::string_view id);

    // Room for this many more new entries whose ids take `id_bytes` together, so that the
    // first run over a full mailbox does not hold the entries twice while they grow.
    void Reserve(std::size_t more, std::size_t id_bytes)
    {
        added_.reserve(added_.size() + more);
        ids_.reserve(ids_.size() + id_bytes);
    }

    // True when Save would write something other than what was loaded.
    bool Changed() const noexcept { return changed_; }

    // Writes the listed entries (the rest are of messages gone from the server) under a
    // temporary name, flushes it and renames it into place. False when that failed; the
    // file is then as it was.
    bool Save();

private:
    Entry* Find(std::string_view id);
    Entry& Upsert(std::string_view id, std::int64_t size);

    std::string path_;
    std::string mailbox_;
    std::vector<Entry> entries_;  // sorted by id
    std::vector<Entry> added_;    // ids new to this run, in the order they came
    std::string ids_;             // the ids of both, one after the other
    std::optional<Position> above_;
    bool changed_ = false;
};

// Today's local date as a stored entry records it, YYYYMMDD.
std::int32_t LedgerToday();

}  // namespace zanpost
