#include "message/mail.h"

#include "message/address.h"
#include "message/date.h"
#include "net/ip_misc.h"
#include "protocols/smtp.h"

#include <chrono>
#include <iterator>
#include <random>

namespace zanpost {

namespace {

// Header line `prefix` followed by the non-empty lines joined by ", ". Each field once:
// strict receivers refuse a message with two "To:" lines after the relay accepted it.
std::string joined_field(const char* prefix, const StringList& lines)
{
    std::string field = prefix;
    bool first = true;
    for (const auto& line : lines) {
        if (line.empty()) continue;
        if (!first) field += ", ";
        field += line;
        first = false;
    }
    return field;
}

// The envelope takes bare addresses: every address of every line, in order; a line without
// one adds nothing.
void add_addresses(StringList& envelope, const StringList& lines)
{
    for (const auto& line : lines) {
        for (std::int32_t n = 1;; ++n) {
            std::string address = extract_address(line, n);
            if (address.empty()) break;
            envelope.push_back(std::move(address));
        }
    }
}

}  // namespace

std::string message_id(std::int64_t seconds, const std::string& token, const std::string& host)
{
    std::string id = "<";
    id += std::to_string(seconds);
    id += '.';
    id += token;
    id += '@';
    id += host;
    id += '>';
    return id;
}

std::string message_id_token()
{
    // random_device alone has been deterministic on some MinGW runtimes; the clocks keep
    // two processes started in the same second apart even there.
    std::random_device device;
    const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto wall = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    std::seed_seq seed{device(), device(), static_cast<unsigned>(ticks), static_cast<unsigned>(ticks >> 32),
                       static_cast<unsigned>(wall), static_cast<unsigned>(wall >> 32)};
    std::mt19937_64 generator(seed);
    static constexpr char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::uniform_int_distribution<int> pick(0, 35);
    std::string token(10, '0');
    for (auto& c : token) c = alphabet[pick(generator)];
    return token;
}

void T_MailNews::Action()
{
    Compose(platform::local_now(), local_host_name(), message_id_token());
}

void T_MailNews::Compose(const platform::LocalDateTime& when, const std::string& host, const std::string& token)
{
    const bool move_body = BodyDisposable;
    BodyDisposable = false;

    MessageLines.reserve(MessageLines.size() + 9 + Header.size() + Body.size());
    MessageLines.insert(MessageLines.begin(), "From: " + From);
    if (!Sender.empty()) MessageLines.push_back("Sender: " + Sender);
    MessageLines.insert(MessageLines.begin() + 1,
                        "Message-ID: " + message_id(local_seconds_since_1970(when), token, host));
    MessageLines.insert(MessageLines.begin() + 2, "Date: " + internet_date(when));
    MessageLines.insert(MessageLines.begin() + 3, "Subject: " + Subject);
    if (!References.empty()) MessageLines.push_back("References: " + References);
    if (!ReplyTo.empty()) MessageLines.push_back("Reply-To: " + ReplyTo);
    MessageLines.insert(MessageLines.end(), Header.begin(), Header.end());
    MessageLines.emplace_back();
    if (move_body) {
        MessageLines.insert(MessageLines.end(), std::make_move_iterator(Body.begin()),
                            std::make_move_iterator(Body.end()));
        Body.clear();
    } else {
        MessageLines.insert(MessageLines.end(), Body.begin(), Body.end());
    }
}

void T_Mail::Action()
{
    if (SMTP == nullptr || Recipients.empty() || From.empty()) return;

    const bool mail_from_was_empty = SMTP->MailFrom.empty();
    // A sender text without an address gives the null sender "<>", as it always did.
    if (mail_from_was_empty) SMTP->MailFrom = extract_address(Sender.empty() ? From : Sender, 1);

    if (Disclose_Receipts)
        MessageLines.push_back("To: disclosed recipients list");
    else
        MessageLines.push_back(joined_field("To: ", Recipients));
    if (!CC.empty()) MessageLines.push_back(joined_field("CC: ", CC));

    // With no address at all the dialogue still runs, and the server refuses the message:
    // the user learns of it rather than of a message that went nowhere.
    SMTP->MailTo.clear();
    add_addresses(SMTP->MailTo, Recipients);
    add_addresses(SMTP->MailTo, CC);
    add_addresses(SMTP->MailTo, BCC);

    T_MailNews::Action();

    // The composed lines are handed over, not copied: a large attachment is held once.
    SMTP->MailData = std::move(MessageLines);
    MessageLines.clear();
    SMTP->MoreData = MoreBody;
    try {
        SMTP->Action();
    } catch (...) {
        SMTP->MoreData = nullptr;
        // A failed delivery leaves the composed message in MessageLines.
        MessageLines = SMTP->MailData;
        throw;
    }
    SMTP->MoreData = nullptr;

    if (mail_from_was_empty) SMTP->MailFrom.clear();
}

}  // namespace zanpost
