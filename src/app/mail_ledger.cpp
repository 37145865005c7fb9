#include "app/mail_ledger.h"

#include "app/received_files.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "rtl/file_io.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>
#include <iterator>
#include <numeric>
#include <utility>

namespace zanpost {

namespace {

constexpr std::string_view header = "ZanPost ledger 1";
constexpr std::string_view mailbox_key = "mailbox ";
constexpr std::string_view above_key = "above ";
// Far beyond any mailbox (20,000 messages take about 1 MB); a file larger than this is not
// one the program wrote, and reading it must not make the run large.
constexpr long long largest_ledger = 64LL * 1024 * 1024;

std::optional<std::int64_t> parse_number(std::string_view text)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

// "2026-12-07" to 20261207; nothing for anything else.
std::optional<std::int32_t> parse_date(std::string_view text)
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    const auto year = parse_number(text.substr(0, 4));
    const auto month = parse_number(text.substr(5, 2));
    const auto day = parse_number(text.substr(8, 2));
    if (!year || !month || !day || *month < 1 || *month > 12 || *day < 1 || *day > 31) return std::nullopt;
    return std::int32_t(*year * 10000 + *month * 100 + *day);
}

std::string date_text(std::int32_t day)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", int(day / 10000), int(day / 100 % 100), int(day % 100));
    return text;
}

// "S 4711 2026-12-07 id" or "U 4711 - id"; the id goes to the end of `ids`.
std::optional<MailLedger::Entry> parse_entry(std::string_view line, std::string& ids)
{
    if (line.size() < 2 || line[1] != ' ') return std::nullopt;
    MailLedger::Entry entry;
    if (line[0] == char(MailLedger::State::seen))
        entry.state = MailLedger::State::seen;
    else if (line[0] == char(MailLedger::State::stored))
        entry.state = MailLedger::State::stored;
    else
        return std::nullopt;
    line.remove_prefix(2);
    const std::size_t size_end = line.find(' ');
    if (size_end == std::string_view::npos) return std::nullopt;
    const auto size = parse_number(line.substr(0, size_end));
    if (!size) return std::nullopt;
    entry.size = *size;
    line.remove_prefix(size_end + 1);
    const std::size_t date_end = line.find(' ');
    if (date_end == std::string_view::npos || date_end + 1 == line.size()) return std::nullopt;
    const std::string_view date = line.substr(0, date_end);
    if (entry.state == MailLedger::State::stored) {
        const auto day = parse_date(date);
        if (!day) return std::nullopt;
        entry.stored_on = *day;
    } else if (date != "-") {
        return std::nullopt;
    }
    const std::string_view id = line.substr(date_end + 1);
    entry.id_at = std::uint32_t(ids.size());
    entry.id_length = std::uint32_t(id.size());
    ids += id;
    return entry;
}

// "3857529045 4711"
std::optional<MailLedger::Position> parse_position(std::string_view text)
{
    const std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    const auto generation = parse_number(text.substr(0, blank));
    const auto highest = parse_number(text.substr(blank + 1));
    constexpr std::int64_t largest = 0xFFFFFFFF;
    if (!generation || !highest || *generation > largest || *highest > largest) return std::nullopt;
    return MailLedger::Position{std::uint32_t(*generation), std::uint32_t(*highest)};
}

std::string entry_line(const MailLedger::Entry& entry, std::string_view id)
{
    return std::string(1, char(entry.state)) + " " + std::to_string(entry.size) + " " +
           (entry.state == MailLedger::State::stored ? date_text(entry.stored_on) : std::string("-")) + " " +
           std::string(id) + "\r\n";
}

}  // namespace

std::int32_t LedgerToday()
{
    const platform::LocalDateTime now = platform::local_now();
    return std::int32_t(now.year * 10000 + now.month * 100 + now.day);
}

MailLedger::MailLedger(std::string path, std::string mailbox) : path_(std::move(path)), mailbox_(std::move(mailbox))
{
}

MailLedger::Loaded MailLedger::Load()
{
    entries_.clear();
    added_.clear();
    ids_.clear();
    above_.reset();
    changed_ = false;
    if (!platform::is_regular_file(path_)) {
        // Nothing there is a first run; anything else there (a directory) cannot be a
        // ledger, and writing one in its place would fail as well.
        return platform::same_file(path_, path_) ? Loaded::unreadable : Loaded::fresh;
    }
    const long long length = file_length(path_);
    if (length < 0) return Loaded::unreadable;
    if (length > largest_ledger) return Loaded::corrupt;
    std::string content;
    try {
        content = read_whole_file(path_);
    } catch (const std::exception&) {
        return Loaded::unreadable;
    }

    std::vector<Entry> entries;
    std::string ids;
    std::optional<Position> above;
    entries.reserve(std::size_t(std::count(content.begin(), content.end(), '\n')));
    ids.reserve(content.size());
    std::string_view rest = content;
    std::size_t line_number = 0;
    bool ours = false;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++line_number;
        if (line_number == 1) {
            if (line != header) return Loaded::corrupt;
            continue;
        }
        if (line_number == 2) {
            if (!line.starts_with(mailbox_key)) return Loaded::corrupt;
            ours = line.substr(mailbox_key.size()) == mailbox_;
            continue;
        }
        if (line_number == 3 && line.starts_with(above_key)) {
            above = parse_position(line.substr(above_key.size()));
            if (!above) return Loaded::corrupt;
            continue;
        }
        auto entry = parse_entry(line, ids);
        if (!entry) return Loaded::corrupt;
        entries.push_back(std::move(*entry));
    }
    if (line_number < 2) return Loaded::corrupt;
    if (!ours) {
        // Saved over at the end of the run: the ids of one mailbox tell nothing of another.
        changed_ = true;
        return Loaded::other_mailbox;
    }
    // Written in order; a file put together by hand may not be.
    const auto by_id = [&ids](const Entry& a, const Entry& b) {
        return std::string_view(ids).substr(a.id_at, a.id_length) < std::string_view(ids).substr(b.id_at, b.id_length);
    };
    if (!std::is_sorted(entries.begin(), entries.end(), by_id)) std::stable_sort(entries.begin(), entries.end(), by_id);
    entries_ = std::move(entries);
    ids_ = std::move(ids);
    // Room was made for whole lines; the ids stay for the run.
    ids_.shrink_to_fit();
    above_ = above;
    return Loaded::loaded;
}

void MailLedger::SetAbove(std::optional<Position> position)
{
    if (position == above_) return;
    above_ = position;
    changed_ = true;
}

void MailLedger::KeepAll()
{
    for (Entry& entry : entries_) entry.listed = true;
}

void MailLedger::Clear()
{
    changed_ = changed_ || !entries_.empty() || !added_.empty() || above_.has_value();
    entries_.clear();
    added_.clear();
    ids_.clear();
    above_.reset();
}

MailLedger::Entry* MailLedger::Find(std::string_view id)
{
    const auto at = std::lower_bound(entries_.begin(), entries_.end(), id,
                                     [this](const Entry& entry, std::string_view key) { return Id(entry) < key; });
    return at != entries_.end() && Id(*at) == id ? &*at : nullptr;
}

const MailLedger::Entry* MailLedger::Listed(std::string_view id, std::int64_t size)
{
    Entry* entry = Find(id);
    if (entry == nullptr) return nullptr;
    if (entry->size != size) {
        // Another message under an id the ledger knew: it is new, and the old entry goes.
        entry->listed = false;
        changed_ = true;
        return nullptr;
    }
    entry->listed = true;
    return entry;
}

MailLedger::Entry& MailLedger::Upsert(std::string_view id, std::int64_t size)
{
    changed_ = true;
    if (Entry* entry = Find(id)) {
        entry->size = size;
        entry->listed = true;
        return *entry;
    }
    // Kept apart and merged when saved: the first run over a full mailbox adds thousands.
    Entry& entry = added_.emplace_back();
    entry.id_at = std::uint32_t(ids_.size());
    entry.id_length = std::uint32_t(id.size());
    ids_ += id;
    entry.size = size;
    entry.listed = true;
    return entry;
}

void MailLedger::MarkSeen(std::string_view id, std::int64_t size)
{
    Entry& entry = Upsert(id, size);
    entry.state = State::seen;
    entry.stored_on = 0;
}

void MailLedger::MarkStored(std::string_view id, std::int64_t size, std::int32_t stored_on)
{
    Entry& entry = Upsert(id, size);
    entry.state = State::stored;
    entry.stored_on = stored_on;
}

void MailLedger::Forget(std::string_view id)
{
    changed_ = true;
    if (Entry* entry = Find(id)) entry->listed = false;
    for (Entry& entry : added_)
        if (Id(entry) == id) entry.listed = false;
}

bool MailLedger::Save()
{
    // The added entries in the order of their ids, the same id in the order it came: sorted
    // by position rather than moved, so that sorting holds no second copy of them.
    std::vector<std::uint32_t> order(added_.size());
    std::iota(order.begin(), order.end(), std::uint32_t(0));
    std::sort(order.begin(), order.end(), [this](std::uint32_t a, std::uint32_t b) {
        const std::string_view x = Id(added_[a]);
        const std::string_view y = Id(added_[b]);
        return x < y || (x == y && a < b);
    });
    try {
        IncomingFile file(path_);
        bool ok = file.Write(std::string(header) + "\r\n" + std::string(mailbox_key) + mailbox_ + "\r\n");
        if (ok && above_)
            ok = file.Write(std::string(above_key) + std::to_string(above_->generation) + " " +
                            std::to_string(above_->highest) + "\r\n");
        auto old = entries_.begin();
        auto added = order.begin();
        while (ok && (old != entries_.end() || added != order.end())) {
            const Entry* next = nullptr;
            if (added == order.end() || (old != entries_.end() && Id(*old) < Id(added_[*added]))) {
                next = &*old++;
            } else {
                // The same id listed twice (a confused server) is one entry: the last word on
                // it. An added id the old entries also hold cannot happen (Upsert finds them).
                while (std::next(added) != order.end() && Id(added_[*std::next(added)]) == Id(added_[*added])) ++added;
                if (old != entries_.end() && Id(*old) == Id(added_[*added])) ++old;
                next = &added_[*added++];
            }
            if (next->listed) ok = file.Write(entry_line(*next, Id(*next)));
        }
        if (!ok) return false;
        file.Commit();
    } catch (const std::exception&) {
        return false;
    }
    changed_ = false;
    return true;
}

}  // namespace zanpost
