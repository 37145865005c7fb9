#include "message/mail.h"

#include "message/address.h"
#include "message/date.h"
#include "net/ip_misc.h"
#include "protocols/smtp.h"

#include <chrono>
#include <random>
#include <utility>

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
    Send({}, line_source(Body, MoreBody));
}

void T_MailNews::Send(const StringList& content_header, const MessageSource& body)
{
    Compose(platform::local_now(), local_host_name(), message_id_token(), content_header, body);
}

StringList T_MailNews::HeaderBlock(const platform::LocalDateTime& when, const std::string& host,
                                   const std::string& token, const StringList& to_lines,
                                   const StringList& content_header) const
{
    StringList header{"From: " + From, "Message-ID: " + message_id(local_seconds_since_1970(when), token, host),
                      "Date: " + internet_date(when), "Subject: " + Subject};
    header.insert(header.end(), to_lines.begin(), to_lines.end());
    if (!Sender.empty()) header.push_back("Sender: " + Sender);
    if (!References.empty()) header.push_back("References: " + References);
    if (!ReplyTo.empty()) header.push_back("Reply-To: " + ReplyTo);
    header.insert(header.end(), Header.begin(), Header.end());
    header.insert(header.end(), content_header.begin(), content_header.end());
    header.emplace_back();
    return header;
}

void T_MailNews::Compose(const platform::LocalDateTime& when, const std::string& host, const std::string& token,
                         const StringList& content_header, const MessageSource& body)
{
    MessageLines = HeaderBlock(when, host, token, {}, content_header);
    // The body's CR LF lines, which may run across blocks; an unfinished last one is a line too.
    std::string rest;
    std::string block;
    while (body && body(block)) {
        rest += block;
        std::size_t start = 0;
        for (auto end = rest.find("\r\n"); end != std::string::npos; end = rest.find("\r\n", start)) {
            MessageLines.emplace_back(rest, start, end - start);
            start = end + 2;
        }
        rest.erase(0, start);
    }
    if (!rest.empty()) MessageLines.push_back(std::move(rest));
}

void T_Mail::Send(const StringList& content_header, const MessageSource& body)
{
    if (SMTP == nullptr || Recipients.empty() || From.empty()) return;

    // A sender text without an address gives the null sender "<>", as it always did.
    const std::string mail_from =
        SMTP->MailFrom.empty() ? extract_address(Sender.empty() ? From : Sender, 1) : SMTP->MailFrom;

    StringList to_lines{Disclose_Receipts ? std::string("To: disclosed recipients list")
                                          : joined_field("To: ", Recipients)};
    if (!CC.empty()) to_lines.push_back(joined_field("CC: ", CC));

    // With no address at all the dialogue still runs, and the server refuses the message:
    // the user learns of it rather than of a message that went nowhere.
    StringList envelope;
    add_addresses(envelope, Recipients);
    add_addresses(envelope, CC);
    add_addresses(envelope, BCC);

    const StringList header =
        HeaderBlock(platform::local_now(), local_host_name(), message_id_token(), to_lines, content_header);
    SMTP->Send(mail_from, envelope, line_source(header, body));
}

}  // namespace zanpost
