#include "protocols/mailbox.h"

#include "rtl/ascii.h"

namespace zanpost {

namespace {

void take_listed(const t_reply& listed, std::uint32_t key, MailboxMessage& message)
{
    message.key = key;
    message.id = listed.uid;
    message.size = listed.size;
    const t_summary& summary = summary_of(listed);
    message.from_text = summary.from_text;
    message.subject_text = summary.subject_text;
    message.summarized = listed.summarized;
}

}  // namespace

std::string summary_entry(const MailboxMessage& message)
{
    if (!message.summarized) return std::to_string(message.key);
    if (message.subject_text.empty()) return message.from_text;
    return message.from_text + '\x07' + message.subject_text;
}

std::string Pop3Mailbox::LedgerName()
{
    return ascii_lower(client.Hostname) + " " + std::to_string(client.Port) + " " + client.UserName;
}

void Pop3Mailbox::Open()
{
    client.Login();
    client.GetUniqueIds();
}

void Pop3Mailbox::ForEachListed(const std::function<void(const MailboxMessage& message)>& each)
{
    MailboxMessage message;
    for (std::size_t i = 0; i < client.Messages.size(); ++i) {
        take_listed(client.Messages[i], std::uint32_t(i + 1), message);
        each(message);
    }
}

void Pop3Mailbox::Summaries(std::uint32_t, const std::function<bool(std::uint32_t key)>& wanted,
                            const std::function<bool(const MailboxMessage& message)>& needed,
                            const std::function<void(MailboxMessage& message)>& each)
{
    MailboxMessage read;
    client.GetSummaries([&wanted](std::size_t i) { return wanted(std::uint32_t(i + 1)); },
                        [&](std::size_t i) {
                            take_listed(client.Messages[i], std::uint32_t(i + 1), read);
                            return needed(read);
                        });
    // As the summaries saw them: a session after a break lists anew.
    const std::vector<t_reply>& seen = client.SeenMessages();
    MailboxMessage message;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (!wanted(std::uint32_t(i + 1))) continue;
        take_listed(seen[i], std::uint32_t(i + 1), message);
        each(message);
    }
}

void Pop3Mailbox::Fetch(const MailboxMessage& message, const std::function<void(std::string& line)>& sink)
{
    // Counted when the server agrees to send it, as the run log has always counted POP3's.
    client.Retrieve(std::int32_t(message.key), sink, [this] { Tell(MailboxEvent::fetched, 1); });
}

void Pop3Mailbox::Remove(const MailboxMessage& message)
{
    client.Delete(std::int32_t(message.key));
    Tell(MailboxEvent::marked, 1);
}

void Pop3Mailbox::RemoveMany(const std::vector<std::uint32_t>& keys)
{
    const std::vector<std::int32_t> numbers(keys.begin(), keys.end());
    client.DeleteMany(numbers, [this](std::int32_t, bool marked) {
        if (marked) Tell(MailboxEvent::marked, 1);
    });
}

std::vector<std::uint32_t> Pop3Mailbox::Finish()
{
    // Logout returns from a live session only once QUIT was answered "+OK".
    const bool quitting = client.Connected;
    client.Logout();
    if (quitting) Tell(MailboxEvent::committed, 1);
    return {};
}

void Pop3Mailbox::EndWithoutFinish() noexcept { client.EndWithoutQuit(); }

}  // namespace zanpost
