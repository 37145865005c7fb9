#include "protocols/mailbox.h"

#include "rtl/ascii.h"

#include <algorithm>
#include <limits>

namespace zanpost {

std::string ImapMailbox::LedgerName()
{
    return "imap " + ascii_lower(client.Hostname) + " " + std::to_string(client.Port) + " " + client.UserName + " " +
           Folder;
}

void ImapMailbox::Open()
{
    client.Login();
    SelectFolder();
}

namespace {

EProtocolError renumbered(const std::string& folder)
{
    return EProtocolError("IMAP", "The UIDVALIDITY of " + folder + " changed during the run", T_Imap::refused);
}

}  // namespace

void ImapMailbox::SelectFolder()
{
    removals_.clear();
    const ImapFolder folder = client.Select(Folder);
    if (folder.read_only) {
        client.Logout();
        throw EProtocolError("IMAP", "Folder " + Folder + " is read-only: no message could be taken out of it",
                             T_Imap::refused);
    }
    if (opened_ && folder.uid_validity != generation_) {
        // Every UID the run holds may name another message now: nothing more of this run.
        client.Logout();
        renumbered_ = true;
        throw renumbered(Folder);
    }
    generation_ = folder.uid_validity;
    opened_ = true;
}

void ImapMailbox::Resume()
{
    if (client.Connected) return;
    if (renumbered_) throw renumbered(Folder);
    // A UIDVALIDITY of 0 promises nothing from one session to the next.
    if (generation_ == 0)
        throw EProtocolError("IMAP", "The connection broke and " + Folder + " has no UIDVALIDITY to resume by",
                             T_Imap::refused);
    client.Login();
    SelectFolder();
}

void ImapMailbox::Summaries(std::uint32_t above, const std::function<bool(std::uint32_t key)>& wanted,
                            const std::function<bool(const MailboxMessage& message)>&,
                            const std::function<void(MailboxMessage& message)>& each)
{
    if (above == std::numeric_limits<std::uint32_t>::max()) return;
    MailboxMessage message;
    client.Headers(above + 1, [&](ImapSummary& summary) {
        if (!wanted(summary.uid)) return;
        message.key = summary.uid;
        message.id = std::to_string(summary.uid);
        message.size = std::int64_t(summary.size);
        message.from_text = std::move(summary.from_text);
        message.subject_text = std::move(summary.subject_text);
        message.summarized = true;
        each(message);
    });
}

void ImapMailbox::Fetch(const MailboxMessage& message, const std::function<void(std::string& line)>& sink)
{
    Resume();
    if (!client.Fetch(message.key, std::uint64_t(message.size), sink))
        throw EProtocolError("IMAP", "Message " + std::to_string(message.key) + " is no longer in " + Folder,
                             T_Imap::refused);
    Tell(MailboxEvent::fetched, 1);
}

void ImapMailbox::Remove(const MailboxMessage& message)
{
    Resume();
    removals_.push_back(message.key);
}

void ImapMailbox::RemoveMany(const std::vector<std::uint32_t>& keys)
{
    Resume();
    removals_.insert(removals_.end(), keys.begin(), keys.end());
}

std::vector<std::uint32_t> ImapMailbox::Finish()
{
    std::vector<std::uint32_t> removed = std::move(removals_);
    removals_.clear();
    // Asked for twice (stored by an earlier run and seen again), counted once.
    std::sort(removed.begin(), removed.end());
    removed.erase(std::unique(removed.begin(), removed.end()), removed.end());
    // The session they were asked for in broke: none of them was sent.
    if (!client.Connected) return {};
    if (!removed.empty()) {
        const ImapRemoval how = client.Remove(removed, MoveTo);
        Tell(how == ImapRemoval::flagged ? MailboxEvent::flagged
             : MoveTo.empty()            ? MailboxEvent::deleted
                                         : MailboxEvent::moved,
             removed.size());
    }
    client.Logout();
    return removed;
}

void ImapMailbox::EndWithoutFinish() noexcept
{
    removals_.clear();
    // LOGOUT commits nothing: nothing of the removals was sent.
    client.Logout();
}

}  // namespace zanpost
